"""The `quellar` command line: one program run under supervision from a shell.

Built on the package's public API only, so that it behaves exactly as a
Python caller of stream() would see the same run.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import math
import os
import shutil
import signal
import sys
from collections.abc import Sequence
from importlib import metadata

from quellar import (
    CancellationToken,
    Command,
    OutputStream,
    Policy,
    RunResult,
    SupervisorError,
    platform_capabilities,
    stream,
)

# The statuses coreutils' `timeout` uses, so that scripts can tell them apart
# from the program's own.
EXIT_TIMED_OUT = 124
EXIT_SUPERVISOR_FAILED = 125
EXIT_NOT_FOUND = 127

# Command needs a finite time limit and byte limits; without the options the
# command line sets none that a real run would meet.
NO_TIME_LIMIT = 10 * 365 * 24 * 3600.0
NO_OUTPUT_LIMIT = 2**64 - 1

# Signals that stop this command stop the program first: its whole group gets
# the graceful stop (SIGTERM, then SIGKILL), then quellar exits with 128 + N.
# Without this an interrupted quellar would leave the program running, since
# it leads a process group of its own and gets no terminal signal itself.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

RUN_DESCRIPTION = """\
Runs PROGRAM under supervision and exits with its status. Its standard output
and error are copied to quellar's own as they arrive; its standard input is
closed. It starts from an empty environment (only --env and --inherit-env),
leads a process group of its own, and is stopped with that whole group.

PROGRAM is an absolute path, or a bare name that quellar looks up on its own
PATH (the library itself takes absolute paths only). Relative paths given to
--cwd, --read and --write are taken from the current directory.

Containment: --read and --write grant access to a path (a write grant
includes reading); with any grant, nothing else but the system's directories
is readable. --network disabled forbids every socket but Unix-domain ones.
"""

RUN_EPILOG = """\
exit status:
  N        the program exited with status N
  128+N    the program was killed by signal N
  124      the time limit ran out (the group was stopped)
  125      the supervisor failed, an output limit was passed, or quellar
           could not write to its own standard output or error (a full
           disk, a closed descriptor: the program is stopped); one line
           "quellar: CODE: MESSAGE" on standard error names the error
           (CODE "output_too_large" or "stderr_too_large" for the limits,
           "write_failed" for a failed write)
  141      a reader of quellar's output went away (`quellar run ... | head`)
           while the program was still writing: the program was stopped
  127      a bare PROGRAM was not found on PATH
  130      quellar was interrupted (Ctrl-C): the program's group was stopped
           first; SIGTERM and SIGHUP likewise give 143 and 129
  2        the command line itself is wrong
"""


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line and returns its exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.subcommand == "capabilities":
        print(json.dumps(platform_capabilities(), indent=2))
        return 0
    return _run_command(args, args.parser)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quellar",
        description="Run untrusted command-line tools: supervised, contained, bounded.",
    )
    parser.add_argument("--version", action="version", version=f"quellar {_version()}")
    subcommands = parser.add_subparsers(dest="subcommand", required=True, metavar="COMMAND")

    run = subcommands.add_parser(
        "run",
        help="run a program under supervision",
        description=RUN_DESCRIPTION,
        epilog=RUN_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="%(prog)s [options] -- PROGRAM [ARGS...]",
    )
    run.add_argument("--timeout", metavar="S", type=_seconds,
                     help="stop the program after S seconds (default: no limit)")
    run.add_argument("--network", choices=("host", "disabled"), default="host",
                     help="network access (default: host)")
    run.add_argument("--read", metavar="PATH", action="append", default=[],
                     help="grant reading PATH (repeatable)")
    run.add_argument("--write", metavar="PATH", action="append", default=[],
                     help="grant reading and writing PATH (repeatable)")
    run.add_argument("--cwd", metavar="DIR", help="working directory of the program")
    run.add_argument("--env", metavar="NAME=VALUE", action="append", default=[], type=_assignment,
                     help="set an environment variable (repeatable)")
    run.add_argument("--inherit-env", metavar="NAME", action="append", default=[],
                     help="copy a variable from quellar's environment (repeatable)")
    run.add_argument("--max-output", metavar="BYTES", type=_byte_count,
                     help="stop the program once it writes more than BYTES to its standard "
                          "output, or to its standard error; quellar then exits with 125 "
                          "(default: no limit)")
    run.add_argument("--enforcement", choices=("best_effort", "required"), default="best_effort",
                     help="whether containment the host cannot provide fails the run "
                          "(default: best_effort)")
    run.add_argument("command", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    run.set_defaults(parser=run)

    subcommands.add_parser(
        "capabilities",
        help="print what containment this host offers, as JSON",
        description="Prints platform_capabilities() as a JSON object.",
    )
    return parser


def _run_command(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    argv = list(args.command)
    # Older argparse versions hand the separator through with the remainder.
    if argv and argv[0] == "--":
        argv = argv[1:]
    if not argv:
        parser.error("PROGRAM is missing")

    program = argv[0]
    if program and "/" not in program:
        found = shutil.which(program)
        if found is None:
            print(f"quellar: {program}: not found on PATH", file=sys.stderr)
            return EXIT_NOT_FOUND
        argv[0] = os.path.abspath(found)

    limit = args.max_output if args.max_output is not None else NO_OUTPUT_LIMIT
    grants: list[tuple[str, tuple[str, ...]]] = [(os.path.abspath(path), ("read",)) for path in args.read]
    grants += [(os.path.abspath(path), ("read", "write")) for path in args.write]
    try:
        command = Command(
            argv,
            cwd=os.path.abspath(args.cwd) if args.cwd is not None else None,
            env=dict(args.env),
            inherit_env=args.inherit_env,
            timeout=args.timeout if args.timeout is not None else NO_TIME_LIMIT,
            max_stdout_bytes=limit,
            max_stderr_bytes=limit,
        )
        policy = Policy(network=args.network, enforcement=args.enforcement,
                        filesystem=grants or None)
    except (TypeError, ValueError) as error:
        parser.error(str(error))
    return asyncio.run(_supervise(command, policy))


class _WriteInterrupted(Exception):
    """Raised by a stop signal's handler into a write that blocks."""


class _Stops:
    """What STOP_SIGNALS do while the program runs: the first one received is
    recorded, and the token is cancelled.

    The loop's own handlers (loop.add_signal_handler) run only when the loop
    does, and never while a write holds it: a reader that stops reading
    (`quellar run -- yes | sleep 60`) would block the write, and with it the
    signal, for as long as the reader lives. So a Python-level handler sits
    on top of the loop's (which still gets the signal, through the loop's
    wake-up descriptor, and cancels the token): it interrupts a write that is
    in progress, whose descriptor is then given up."""

    def __init__(self, loop: asyncio.AbstractEventLoop, token: CancellationToken) -> None:
        self._loop = loop
        self._token = token
        self.stopped_by: int | None = None
        self.writing = False

    def __enter__(self) -> _Stops:
        for signum in STOP_SIGNALS:
            self._loop.add_signal_handler(signum, self._stop, signum)
            signal.signal(signum, self._interrupt)
        return self

    def __exit__(self, *exc_info: object) -> None:
        for signum in STOP_SIGNALS:
            self._loop.remove_signal_handler(signum)

    def _stop(self, signum: int) -> None:
        if self.stopped_by is None:
            self.stopped_by = signum
        self._token.cancel()

    def _interrupt(self, signum: int, frame: object) -> None:
        if self.stopped_by is None:
            self.stopped_by = signum
        if self.writing:
            raise _WriteInterrupted


async def _supervise(command: Command, policy: Policy) -> int:
    token = CancellationToken()
    with _Stops(asyncio.get_running_loop(), token) as stops:
        try:
            output = await stream(command, policy=policy, cancellation=token)
            result, copied = await _copy_output(output, token, stops)
        except SupervisorError as error:
            print(f"quellar: {error.code}: {error}", file=sys.stderr)
            return EXIT_SUPERVISOR_FAILED
    if result.termination == "cancelled" and stops.stopped_by is not None:
        return 128 + stops.stopped_by
    if copied.failure is not None:
        _report(f"quellar: write_failed: {copied.failure}")
        return EXIT_SUPERVISOR_FAILED
    if result.termination == "cancelled" and copied.reader_gone:
        return 128 + signal.SIGPIPE
    return _status(result)


class _Copied:
    """How copying the program's output went: whether a reader of quellar's
    output went away, and the first write that failed otherwise."""

    def __init__(self) -> None:
        self.reader_gone = False
        self.failure: str | None = None


async def _copy_output(output: OutputStream, token: CancellationToken,
                       stops: _Stops) -> tuple[RunResult, _Copied]:
    """Writes each chunk to the same descriptor the program wrote it to, as it
    arrives. Returns the final result, and how the copy went."""
    result: RunResult | None = None
    copied = _Copied()
    closed: set[int] = set()
    async for event in output:
        if event.kind in ("stdout", "stderr"):
            fd = 1 if event.kind == "stdout" else 2
            if fd in closed:
                continue
            error = _write_all(fd, event.data, stops)
            if error is not None:
                # Nobody reads this stream any more (`quellar run ... | head`),
                # or it cannot take the output: the program is stopped, as a
                # shell pipeline's writer would be. What it still writes there
                # is dropped.
                closed.add(fd)
                token.cancel()
                if isinstance(error, BrokenPipeError):
                    copied.reader_gone = True
                elif not isinstance(error, _WriteInterrupted) and copied.failure is None:
                    name = "output" if fd == 1 else "error"
                    copied.failure = f"cannot write to standard {name}: {error.strerror or error}"
        elif event.kind == "exited":
            result = event.result
    if result is None:
        raise RuntimeError("the stream ended without a result")
    return result, copied


def _write_all(fd: int, data: bytes, stops: _Stops) -> OSError | _WriteInterrupted | None:
    """Writes data unbuffered. Returns None once it is written, else what
    ended the write: BrokenPipeError when the reader is gone, another OSError
    when the descriptor cannot take it, _WriteInterrupted when a stop signal
    came while the write was blocked."""
    view = memoryview(data)
    try:
        while view:
            stops.writing = True
            try:
                written = os.write(fd, view)
            finally:
                stops.writing = False
            view = view[written:]
    except (OSError, _WriteInterrupted) as error:
        return error
    return None


def _report(line: str) -> None:
    """One line on standard error, which may be the descriptor that failed."""
    try:
        print(line, file=sys.stderr, flush=True)
    except OSError:
        pass


def _status(result: RunResult) -> int:
    if result.termination == "timed_out":
        return EXIT_TIMED_OUT
    if result.exit_code is not None:
        return result.exit_code
    if result.signal is not None:
        return 128 + result.signal
    # Neither an exit nor a signal: a stop of quellar's own, which the caller
    # has already mapped.
    return EXIT_SUPERVISOR_FAILED


def _version() -> str:
    try:
        return metadata.version("quellar")
    except metadata.PackageNotFoundError:
        return "unknown"


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text!r}")
    return value


def _byte_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of bytes: {text!r}") from None
    if not 0 < value <= NO_OUTPUT_LIMIT:
        raise argparse.ArgumentTypeError(f"must be between 1 and {NO_OUTPUT_LIMIT}: {text!r}")
    return value


def _assignment(text: str) -> tuple[str, str]:
    name, equals, value = text.partition("=")
    if not equals or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE: {text!r}")
    return name, value
