"""Supervised, contained execution of untrusted command-line tools from asyncio."""

import asyncio
import os
from collections.abc import Sequence
from pathlib import Path
from typing import final

class SupervisorError(Exception):
    """A failure of the supervisor itself: the command could not be validated,
    started or supervised. ``str()`` is the error's fixed message.

    ``code``, ``phase`` and ``retryable`` are always set; ``executable``,
    ``termination`` and ``stderr_tail`` only when the error carries them
    (reading an absent one raises AttributeError).
    """

    code: str
    phase: str
    retryable: bool
    executable: str
    termination: str
    stderr_tail: str

@final
class Command:
    """One command to run: argv (the first element is the executable), working
    directory, environment built from nothing (``env`` plus the ``inherit_env``
    names copied from this process), time limit in seconds and byte limits for
    standard input, output and error. Immutable.

    Raises TypeError for an argument of the wrong type (a str argv included),
    OverflowError for a negative or oversized byte limit, and ValueError for an
    empty argv or executable, a timeout that is not a finite positive number,
    or a byte limit of zero.
    """

    def __new__(
        cls,
        argv: Sequence[str],
        *,
        cwd: str | os.PathLike[str] | None = None,
        env: dict[str, str] | None = None,
        inherit_env: Sequence[str] | None = None,
        timeout: float = 5.0,
        max_stdin_bytes: int = 65536,
        max_stdout_bytes: int = 65536,
        max_stderr_bytes: int = 16384,
    ) -> Command: ...
    @property
    def argv(self) -> list[str]:
        """The command line, as a new list of str."""
    @property
    def cwd(self) -> Path | None:
        """The working directory as a pathlib.Path, or None."""

@final
class Policy:
    """The containment a run asks for: network "host" or "disabled",
    enforcement "best_effort" or "required", and filesystem: None for no
    filesystem isolation, or a sequence of (path, access names) grants, each
    access name "read", "write" or "append". Immutable; no attribute is readable.

    Raises TypeError for an argument of the wrong type, and ValueError for an
    unknown network, enforcement or access name, or a grant that is not a pair.
    """

    def __new__(
        cls,
        *,
        network: str = "host",
        enforcement: str = "best_effort",
        filesystem: Sequence[tuple[str | os.PathLike[str], Sequence[str]]] | None = None,
    ) -> Policy: ...

@final
class RunResult:
    """The outcome of a finished run. Immutable; instances come only from run()."""

    @property
    def stdout(self) -> bytes:
        """Captured standard output (at most the command's limit), as new bytes."""
    @property
    def stderr(self) -> bytes:
        """Captured standard error (at most the command's limit), as new bytes."""
    @property
    def termination(self) -> str:
        """How the run ended: "exited", "timed_out", "cancelled",
        "stdout_limit_exceeded" or "stderr_limit_exceeded"."""
    @property
    def enforcement(self) -> str:
        """The containment level the child ran under: "enforced", "degraded",
        "unavailable" or "trusted"."""
    @property
    def requested_executable(self) -> str:
        """The executable as requested."""
    @property
    def canonical_executable(self) -> str | None:
        """The resolved executable that ran, or None."""
    @property
    def exit_code(self) -> int | None:
        """The exit status if the child exited, else None."""
    @property
    def signal(self) -> int | None:
        """The signal that ended the child, else None."""
    @property
    def success(self) -> bool:
        """True only for an exit with status 0."""
    def stdout_text(self, encoding: str, errors: str) -> str:
        """The captured standard output decoded with codecs.decode(). Raises
        TypeError unless both arguments are str, and whatever the codec raises
        (LookupError for an unknown encoding, UnicodeDecodeError under a strict
        handler)."""
    def stderr_text(self, encoding: str, errors: str) -> str:
        """The captured standard error decoded with codecs.decode(); raises as
        stdout_text() does."""

@final
class CancellationToken:
    """A sticky cancellation flag shared with every run it is passed to. Safe to
    use from any thread. Raises TypeError when given arguments."""

    def __new__(cls) -> CancellationToken: ...
    def cancel(self) -> None:
        """Requests cancellation of every run holding this token; their children
        are killed with their process groups. Never raises."""
    def cancelled(self) -> bool:
        """True once cancel() has been called (or a run holding the token was
        dropped or raised), else False."""

def run(
    command: Command,
    *,
    policy: Policy | None = None,
    input: bytes | None = None,
    cancellation: CancellationToken | None = None,
) -> asyncio.Future[RunResult]:
    """Runs command under supervision; the future resolves to its RunResult.
    The run starts at once, whether or not the future is awaited.

    Raises at the call: TypeError for an argument of the wrong type, and
    RuntimeError when no asyncio event loop is running in this thread or the
    interpreter is exiting.
    Raises when awaited: SupervisorError when the command cannot be validated,
    started or supervised (the token, if any, is then cancelled), RuntimeError
    when the runtime's worker failed. A timeout, a cancellation, an output
    limit, a non-zero exit or a signal are not errors: the RunResult says so.
    """

def platform_capabilities() -> dict[str, bool | str]:
    """A new dict describing the containment this build offers on this host:
    "containment" (the host-wide level) and ten booleans."""
