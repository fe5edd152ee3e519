"""Streams under faults: the interpreter exiting with streams open, and
references, descriptors or children left behind by many streams ending on
every path."""

import asyncio
import gc
import os
import sys

import pytest

from quellar import CancellationToken, Command, SupervisorError, stream
from support import all_pids, check_clean_exit, open_fd_count, proc_stat, run_python


# Opens a stream whose group (a leader deaf to SIGTERM and a background
# member) records its pids in argv[1], and waits until they are written.
OPEN_STREAM = """
    import asyncio, pathlib, sys
    from quellar import Command, stream

    PIDS = pathlib.Path(sys.argv[1])
    SCRIPT = 'trap "" TERM; sleep 60 & echo "$$ $!" > "$0"; wait'

    async def open_stream():
        output = await stream(Command(["/bin/sh", "-c", SCRIPT, str(PIDS)]))
        while not (PIDS.exists() and PIDS.read_text().endswith("\\n")):
            await asyncio.sleep(0.01)
        return output
"""


def child_pids() -> list[int]:
    """The pids of this process's children that are still running."""
    children = []
    for pid in all_pids():
        fields = proc_stat(pid)
        if fields is not None and int(fields[1]) == os.getpid() and fields[0] not in ("Z", "X"):
            children.append(pid)
    return children


class TestInterpreterExit:
    def test_exit_with_a_stream_open(self, tmp_path):
        pids = tmp_path / "pids"
        script = OPEN_STREAM + """
    kept = []

    async def main():
        output = await open_stream()
        assert (await output.__anext__()).kind == "started"
        kept.append(output)  # still open when the interpreter exits
    asyncio.run(main())
    """
        check_clean_exit(run_python(script, str(pids)), pids)

    def test_exit_while_a_loop_in_another_thread_awaits_an_event(self, tmp_path):
        # The loop keeps running in a daemon thread, its task waiting for an
        # event that the child's death will produce during the exit.
        pids = tmp_path / "pids"
        script = OPEN_STREAM + """
    import threading
    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()

    async def consume():
        output = await open_stream()
        async for _ in output:
            pass

    asyncio.run_coroutine_threadsafe(consume(), loop)
    while not (PIDS.exists() and PIDS.read_text().endswith("\\n")):
        pass
    """
        check_clean_exit(run_python(script, str(pids)), pids)

    def test_no_stream_starts_once_the_exit_hook_ran(self):
        script = """
        import asyncio, atexit

        def late():
            from quellar import Command, stream

            async def attempt():
                try:
                    stream(Command(["/bin/sleep", "60"]))
                except RuntimeError as error:
                    print(error)

            asyncio.run(attempt())

        atexit.register(late)
        import quellar
        """
        result = run_python(script)
        assert result.returncode == 0, result.stderr
        assert result.stdout == "the interpreter is exiting: no stream can start\n"


async def read_all(command, **kwargs):
    try:
        async for _ in await stream(command, **kwargs):
            pass
    except SupervisorError as error:
        assert error.code == "output_too_large"


async def close_running():
    output = await stream(Command(["/bin/sleep", "5"]))
    await output.__anext__()
    pending = output.__anext__()  # waits for an event, then gives up
    pending.cancel()
    assert (await output.aclose()).termination == "cancelled"


async def drop_unread():
    await stream(Command(["/bin/sleep", "5"]))


async def never_delivered():
    # The awaiter gives up before the stream exists.
    stream(Command(["/bin/sleep", "5"])).cancel()


async def fail_to_start():
    try:
        await stream(Command(["bin/relative"]))
    except SupervisorError as error:
        assert error.code == "relative_executable"


PRE_CANCELLED = CancellationToken()
PRE_CANCELLED.cancel()

# Streams that end by themselves: the child exits, passes its limit, or
# never starts.
ENDING_BY_THEMSELVES = [
    lambda: read_all(Command(["/bin/echo", "x"]), capture=True),
    lambda: read_all(Command(["/usr/bin/yes"], max_stdout_bytes=20000)),
    fail_to_start,
]
# Streams whose child the driver stops: cancellation, aclose(), a stream
# dropped unread or never delivered.
STOPPED_EARLY = [
    lambda: read_all(Command(["/bin/sleep", "5"]), cancellation=PRE_CANCELLED),
    close_running,
    drop_unread,
    never_delivered,
]


class TestLeaks:
    WARM_UP_ROUNDS = 3
    ROUNDS = 8
    PER_PATH = 40

    async def one_round(self, paths):
        await asyncio.gather(*(path() for path in paths for _ in range(self.PER_PATH)))

    async def settle(self):
        # Streams stopped early give their children a grace of 250 ms.
        for _ in range(10):
            await asyncio.sleep(0.2)
            gc.collect()
            if not child_pids():
                break

    async def measure(self, paths):
        for _ in range(self.WARM_UP_ROUNDS):  # runtime threads, caches, free lists
            await self.one_round(paths)
        await self.settle()
        blocks, fds = sys.getallocatedblocks(), open_fd_count()
        for _ in range(self.ROUNDS):
            await self.one_round(paths)
        await self.settle()
        return sys.getallocatedblocks() - blocks, open_fd_count() - fds

    async def test_many_streams_leave_no_object_or_child_behind(self):
        blocks, _ = await self.measure(ENDING_BY_THEMSELVES + STOPPED_EARLY)
        assert child_pids() == []
        # 320 streams on each path: one object leaked per stream on any path
        # adds at least 320 blocks; free lists and caches move by less than
        # 100 once warm.
        assert blocks < 200

    async def test_streams_ending_by_themselves_leave_no_descriptor(self):
        _, fds = await self.measure(ENDING_BY_THEMSELVES)
        assert fds <= 0

    async def test_streams_stopped_early_leave_no_descriptor(self):
        _, fds = await self.measure(STOPPED_EARLY)
        assert fds <= 0
