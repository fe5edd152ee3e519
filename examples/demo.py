"""A short tour of quellar: a few real commands run under supervision, each
printed with the RunResult it produced, one command followed live, and
commands contained (network disabled, filesystem grants).

    .venv/bin/python examples/demo.py      (or ./scripts/demo.sh from a fresh clone)
"""

import asyncio
import shutil
import tempfile
import time

import quellar
from quellar import CancellationToken, Command, Policy, SupervisorError


def show(title: str, result: quellar.RunResult) -> None:
    print(f"== {title}")
    print(f"   {result!r}")
    if result.stdout:
        print("   stdout: " + result.stdout_text("utf-8", "replace").rstrip().replace("\n", "\n           "))
    if result.stderr:
        print("   stderr: " + result.stderr_text("utf-8", "replace").rstrip().replace("\n", "\n           "))


async def main() -> None:
    print("platform capabilities:", quellar.platform_capabilities())
    print()

    # Output is captured; the environment starts empty except for what is given.
    show(
        "uname and an explicit environment",
        await quellar.run(
            Command(["/bin/sh", "-c", 'uname -sr; echo "GREETING=$GREETING"; env | wc -l'], env={"GREETING": "hello"})
        ),
    )

    # Standard input is fed from bytes.
    show("input through sort", await quellar.run(Command(["/usr/bin/sort"]), input=b"pear\napple\nfig\n"))

    # A non-zero exit is a result, not an exception.
    show("a failing command", await quellar.run(Command(["/bin/sh", "-c", "echo oops >&2; exit 3"])))

    # The time limit kills the whole process group, background children included.
    show(
        "a time limit of 0.3 s",
        await quellar.run(Command(["/bin/sh", "-c", "echo started; sleep 30 & wait"], timeout=0.3)),
    )

    # Output beyond the limit is never kept, and the run stops.
    show(
        "an output limit of 16 bytes",
        await quellar.run(Command(["/usr/bin/yes", "quellar"], max_stdout_bytes=16)),
    )

    # A token cancels every run that holds it, from anywhere.
    token = CancellationToken()
    pending = quellar.run(Command(["/bin/sleep", "30"]), cancellation=token)
    await asyncio.sleep(0.2)
    token.cancel()
    show("cancelled after 0.2 s", await pending)

    # Streaming: the events arrive while the command runs; the time limit
    # stops it gracefully (SIGTERM to its group 125 ms after the deadline,
    # SIGKILL at 250 ms if it is still there).
    print("== a streamed command (time limit 1 s)")
    started = time.monotonic()
    script = 'for i in 1 2 3; do echo "tick $i"; echo "tock $i" >&2; sleep 0.3; done; sleep 30'
    output = await quellar.stream(Command(["/bin/sh", "-c", script], timeout=1.0), capture=True)
    async for event in output:
        stamp = f"   +{time.monotonic() - started:4.2f} s  {event.kind:<7}"
        if event.kind in ("stdout", "stderr"):
            print(f"{stamp} {event.data!r}")
        elif event.kind == "exited":
            print(f"{stamp} {event.result!r}")
        else:
            print(stamp)

    await contained()

    # Failures of the supervisor itself are SupervisorError, with stable fields.
    try:
        await quellar.run(Command(["/bin/true"], cwd="relative/dir"), policy=Policy())
    except SupervisorError as error:
        print("== a request that cannot run")
        print(f"   SupervisorError: {error} (code={error.code}, phase={error.phase})")


async def contained() -> None:
    """Containment: the same kind of commands, now under a policy."""
    caps = quellar.platform_capabilities()
    if not (caps["filesystem_isolation"] and caps["network_isolation"]):
        print("== (this host offers no filesystem or network isolation: contained runs skipped)")
        return

    # Network "disabled": no socket but Unix-domain ones. (Without grants the
    # command sees only the system directories, so the system's Python.)
    probe = (
        "import socket\n"
        "try:\n"
        "    socket.create_connection(('127.0.0.1', 9), timeout=1)\n"
        "except OSError as e:\n"
        "    print('connect refused:', type(e).__name__, e.errno)\n"
        "a, b = socket.socketpair()\n"
        "a.send(b'unix sockets still work'); print(b.recv(64).decode())\n"
    )
    if shutil.which("python3", path="/usr/bin"):
        show(
            'network "disabled"',
            await quellar.run(Command(["/usr/bin/python3", "-c", probe]), policy=Policy(network="disabled")),
        )

    # Filesystem grants: a writable work directory, nothing else of the host
    # beyond the system directories (no home, no /etc/shadow, no other users' files).
    work = tempfile.mkdtemp(prefix="quellar-demo-")
    try:
        script = (
            "echo notes > notes.txt && cat notes.txt; "
            "cat /etc/shadow 2>&1 | head -1; "
            "touch /tmp/outside 2>&1; "
            "ls /root 2>&1 | head -1"
        )
        show(
            f"filesystem grants: only {work} (read, write)",
            await quellar.run(
                Command(["/bin/sh", "-c", script], cwd=work),
                policy=Policy(filesystem=[(work, ["read", "write"])], network="disabled"),
            ),
        )
        # Contained, a run keeps to itself: its own session (no terminal), a
        # /proc showing only its own processes, and nothing it starts in the
        # background survives it (the run returns as soon as the shell exits).
        script = (
            "sleep 30 & setsid sleep 30 & "
            "echo processes: $(ls /proc | grep -c '^[0-9]'); "
            "cat /dev/tty 2>&1 | head -1; echo shell done"
        )
        started = time.monotonic()
        result = await quellar.run(
            Command(["/bin/sh", "-c", script], timeout=60), policy=Policy(network="disabled")
        )
        show(f"background processes die with the run (returned in {time.monotonic() - started:.2f} s)", result)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    asyncio.run(main())
