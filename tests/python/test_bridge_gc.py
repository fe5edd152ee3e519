"""What the bridge leaves for the garbage collector: a task left waiting on a
stream when its loop closes, the context of the caller that first used a
loop, and an awaitable whose private claim slot was overwritten."""

import asyncio
import contextvars
import gc
import subprocess
import sys
import textwrap
import time
import weakref

from quellar import Command, run, stream
from support import process_gone, shell, wait_for_file


class Marker:
    pass


def test_a_task_waiting_in_async_for_when_its_loop_closes_is_collected_and_its_child_stopped(tmp_path):
    # The task waits on a waker the stream holds, and its frame holds the
    # stream: a cycle only the collector can break, once it sees it.
    pid_file = tmp_path / "pid"

    async def consume(output):
        async for _ in output:
            pass

    async def start():
        output = await stream(Command(["/bin/sh", "-c", 'echo $$ > "$0"; exec sleep 60', str(pid_file)],
                                      timeout=120))
        task = asyncio.ensure_future(consume(output))
        pid = int(await wait_for_file(pid_file))
        await asyncio.sleep(0.1)  # the task is in its `async for`, waiting
        assert not task.done()
        return weakref.ref(task), pid

    loop = asyncio.new_event_loop()
    try:
        task, pid = loop.run_until_complete(start())
    finally:
        loop.close()
    del loop
    gc.collect()
    assert task() is None
    assert process_gone(pid, within=5)


async def test_a_task_left_to_itself_lives_while_its_loop_can_wake_it():
    # Only the loop refers to these tasks, as to one waiting on a socket.
    kinds = []
    closed = []

    async def consume():
        output = await stream(shell("sleep 0.5; echo late"))
        async for event in output:
            kinds.append(event.kind)

    async def close():
        output = await stream(shell("trap '' TERM; sleep 30"))
        closed.append(await output.aclose())  # SIGKILL comes after the grace

    tasks = [weakref.ref(asyncio.ensure_future(coroutine)) for coroutine in (consume(), close())]
    await asyncio.sleep(0.2)
    gc.collect()
    assert all(task() is not None for task in tasks)
    deadline = time.monotonic() + 10
    while any(task() is not None and not task().done() for task in tasks) and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
    assert kinds == ["started", "stdout", "exited"]
    assert len(closed) == 1 and closed[0].termination == "cancelled"


async def test_the_first_callers_context_is_not_kept_by_the_loop():
    # The first run on a loop sets the loop up (its reader and the timer
    # watching it): they must not keep that caller's context variables.
    variable = contextvars.ContextVar("marker")

    async def first_caller():
        marker = Marker()
        variable.set(marker)
        assert (await run(Command(["/bin/true"]))).success
        output = await stream(Command(["/bin/true"]))
        async for _ in output:
            pass
        return weakref.ref(marker)

    reference = await asyncio.create_task(first_caller())
    await asyncio.sleep(0)
    gc.collect()
    assert reference() is None


def test_an_awaitable_whose_claim_slot_was_overwritten_raises_and_leaves_its_event():
    # In a child interpreter: a regression would crash it, not the suite.
    script = """
        import asyncio
        from quellar import Command, stream

        async def main():
            output = await stream(Command(["/bin/sh", "-c", "sleep 0.3; echo late"]))
            assert (await output.__anext__()).kind == "started"
            pending = output.__anext__()  # the output is not there yet
            assert type(pending).__name__ == "_NextEvent", type(pending)
            pending._quellar_claim = 1 << 64
            try:
                await pending
            except TypeError as error:
                print("TypeError:", error)
            try:
                pending.result()
            except asyncio.InvalidStateError:
                print("not done")
            event = await output.__anext__()
            print(event.kind, event.data)
            rest = [event.kind async for event in output]
            print(rest)

        asyncio.run(main())
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("TypeError: ") and "_quellar_claim" in lines[0]
    assert lines[1:] == ["not done", "stdout b'late\\n'", "['exited']"]
