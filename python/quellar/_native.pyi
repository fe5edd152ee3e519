"""Supervised, contained execution of untrusted command-line tools from asyncio."""

import asyncio
import os
from collections.abc import Awaitable, Sequence
from pathlib import Path
from typing import final

class SupervisorError(Exception):
    """A failure of the supervisor itself: the command could not be validated,
    started or supervised. ``str()`` is the error's fixed message.

    ``code``, ``phase`` and ``retryable`` are always set; ``executable``,
    ``termination`` and ``stderr_tail`` only when the error carries them
    (reading an absent one raises AttributeError).

    A failed start ("spawn_failed") keeps its fixed message and says why
    through ``__cause__``: an OSError (the subclass its errno selects, as
    subprocess raises it) with ``errno`` and ``strerror`` for an operating
    system error, ``filename`` when one path is at fault (the program, the
    working directory), and an attribute ``stage`` when the sandbox launcher
    failed ("profile", "enforce", "exec", ...); ``errno``, ``strerror`` and
    ``filename`` are None, and ``stage`` is absent, where they do not apply
    (a NUL byte in an argument gives an OSError with only its message).
    Every other error has no ``__cause__``.
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
    access name "read", "write" or "append" (an empty sequence isolates and
    grants nothing). Network "disabled" runs the command in the sandbox even
    without filesystem grants, so it also confines the filesystem to the base
    profile (the system directories, readable only). Immutable; no attribute
    is readable.

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
    """The outcome of a finished run. Immutable; instances come only from run()
    and from the end of a stream()."""

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
class OutputEvent:
    """One event of a streamed command: "started", a chunk of "stdout" or
    "stderr" as it was read, or "exited" with the RunResult. Immutable;
    instances come only from OutputStream."""

    @property
    def kind(self) -> str:
        """"started", "stdout", "stderr" or "exited"."""
    @property
    def data(self) -> bytes:
        """The chunk of a "stdout" or "stderr" event, as new bytes; empty for
        the others."""
    @property
    def result(self) -> RunResult | None:
        """The final RunResult of an "exited" event; None for the others."""

@final
class OutputStream:
    """The events of a streamed command, as an asynchronous iterator:
    "started", then "stdout" and "stderr" chunks as they are read, then
    "exited" with the RunResult. Instances come only from stream().

    Dropping the stream without closing it stops the child (SIGTERM to its
    group, SIGKILL after the grace) once no awaitable of it is pending.
    """

    def __aiter__(self) -> OutputStream: ...
    def __anext__(self) -> Awaitable[OutputEvent]:
        """Claims the next event at the call: the n-th call gets the n-th
        event, whatever order the awaitables are awaited in. The event is
        taken only when the awaitable is awaited: one dropped unawaited
        leaves its event to the next call.
        When the event is already there the awaitable is complete at once;
        otherwise it is a future of the running loop.

        If asyncio cancels that future before it completes (a timeout around
        the await, a cancelled task), its event is not lost: the next
        __anext__() call gets it.

        Raises RuntimeError at the call when no asyncio event loop is running,
        or when awaitables of this stream are pending on another loop.
        When awaited: StopAsyncIteration at the end, SupervisorError when the
        stream failed (code "output_too_large", "stderr_too_large",
        "stdout_read_failed", "stderr_read_failed" or "execution_failed";
        StopAsyncIteration follows).
        """
    def aclose(self) -> Awaitable[RunResult | None]:
        """Cancels the stream at the call, then returns an awaitable of its
        final RunResult: the one of the "exited" event if it has been taken
        already, else the one the stopped child gives (termination "cancelled"
        while it still ran), or None when the stream ended without one. Events
        not yet taken are discarded. Raises RuntimeError at the call when no
        asyncio event loop is running, and SupervisorError when awaited if the
        stream failed (an output limit, a read failure)."""
    def cancel(self) -> None:
        """Cancels the stream and returns None at once: the child is stopped
        (SIGTERM to its group, SIGKILL after the grace) and the iteration ends
        with an "exited" event whose termination is "cancelled"."""

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

def stream(
    command: Command,
    *,
    policy: Policy | None = None,
    cancellation: CancellationToken | None = None,
    capture: bool = False,
) -> asyncio.Future[OutputStream]:
    """Starts command under supervision; the future resolves to the
    OutputStream of its events. The child starts at once, with its standard
    input closed. The time limit and a cancellation (the token,
    OutputStream.cancel() or aclose(), or this future cancelled before it
    holds the stream, which also cancels the token) stop it gracefully (its group gets
    SIGTERM after 125 ms, SIGKILL after 250 ms) and end the iteration with an
    "exited" event whose termination is "timed_out" or "cancelled". With
    capture, the final RunResult also holds all the output (within the
    limits); without it, its stdout and stderr are empty.

    Raises at the call: TypeError for an argument of the wrong type, and
    RuntimeError when no asyncio event loop is running in this thread or the
    interpreter is exiting.
    Raises when awaited: SupervisorError when the command cannot be validated
    or started, RuntimeError when the runtime's worker failed.
    """
