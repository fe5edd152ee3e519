"""A cancelled await loses nothing: under asyncio.timeout(), wait_for(),
Task.cancel() and task groups with tiny timeouts, every byte the child wrote
still arrives, in order, and so does the "exited" event; and what an
awaitable holds is freed with it."""

import asyncio
import contextvars
import gc
import random
import builtins
import weakref

import pytest

from quellar import Command, SupervisorError, stream
from support import process_gone, shell, wait_for_file

# 400 lines in bursts of 20, so that events arrive while awaits time out.
SCRIPT = "i=0; while [ $i -lt 400 ]; do echo line$i; i=$((i+1)); [ $((i % 20)) = 0 ] && sleep 0.005; done"
EXPECTED = b"".join(b"line%d\n" % i for i in range(400))
TINY = [0, 1e-6, 1e-5, 1e-4, 1e-3]


async def next_via_timeout(output, delay):
    async with asyncio.timeout(delay):
        return await output.__anext__()


async def next_via_wait_for(output, delay):
    return await asyncio.wait_for(output.__anext__(), delay)


async def next_via_task(output, delay):
    async def take():
        return await output.__anext__()

    task = asyncio.create_task(take())
    await asyncio.sleep(delay)
    task.cancel()
    return await task


class Interrupt(Exception):
    pass


# Python 3.10 has neither task groups nor exception groups.
ExceptionGroups = getattr(builtins, "BaseExceptionGroup", ())


async def next_via_task_group(output, delay):
    async def take():
        return await output.__anext__()

    async def interrupt():
        await asyncio.sleep(delay)
        raise Interrupt

    try:
        async with asyncio.TaskGroup() as group:
            task = group.create_task(take())
            group.create_task(interrupt())
    except ExceptionGroups:
        pass
    # The group cancelled the taking task, unless it had finished first.
    if task.cancelled():
        raise asyncio.CancelledError
    return task.result()


PATTERNS = {
    "timeout": next_via_timeout,
    "wait_for": next_via_wait_for,
    "task": next_via_task,
    "task_group": next_via_task_group,
}


async def read_through_cancellations(pattern, seed):
    chooser = random.Random(seed)
    output = await stream(shell(SCRIPT))
    data, kinds = [], []
    while True:
        try:
            event = await PATTERNS[pattern](output, chooser.choice(TINY))
        except (asyncio.TimeoutError, asyncio.CancelledError):
            continue
        except StopAsyncIteration:
            break
        kinds.append(event.kind)
        data.append(event.data)
    return b"".join(data), kinds


class TestNothingLost:
    @pytest.mark.parametrize("pattern", list(PATTERNS))
    async def test_every_byte_and_the_exit_arrive(self, pattern):
        if pattern == "timeout" and not hasattr(asyncio, "timeout"):
            pytest.skip("asyncio.timeout is new in Python 3.11")
        if pattern == "task_group" and not hasattr(asyncio, "TaskGroup"):
            pytest.skip("asyncio.TaskGroup is new in Python 3.11")
        results = await asyncio.gather(*(read_through_cancellations(pattern, seed) for seed in range(6)))
        for data, kinds in results:
            assert data == EXPECTED
            assert kinds[0] == "started" and kinds[-1] == "exited"
            assert kinds.count("exited") == 1

    async def test_an_awaitable_dropped_unawaited_leaves_its_event(self):
        output = await stream(shell("echo one; echo two"))
        assert (await output.__anext__()).kind == "started"
        dropped = output.__anext__()  # its event is taken only when awaited
        del dropped
        gc.collect()
        events = [event async for event in output]
        assert b"".join(e.data for e in events) == b"one\ntwo\n"
        assert events[-1].kind == "exited"


class Marker:
    pass


class TestReferencesAreCollectable:
    @pytest.mark.parametrize("through_wait_for", [False, True])
    async def test_a_raising_awaitable_kept_in_its_frame(self, through_wait_for):
        # The awaitable holds the exception it raised, whose traceback holds
        # the frame that holds the awaitable: a cycle the collector must see
        # through, or the frame and all it holds stay.
        async def keep_the_awaitable():
            marker = Marker()
            output = await stream(shell("echo x"))
            async for _ in output:
                pass
            pending = output.__anext__()  # the end is there: it raises at once
            try:
                await (asyncio.wait_for(pending, 10) if through_wait_for else pending)
            except StopAsyncIteration:
                pass
            return weakref.ref(marker)

        references = [await keep_the_awaitable() for _ in range(5)]
        await asyncio.sleep(0)
        gc.collect()
        assert [reference() for reference in references] == [None] * 5

    async def test_a_stream_reachable_from_its_own_context_is_stopped_when_dropped(self, tmp_path):
        variable = contextvars.ContextVar("stream")
        pid_file = tmp_path / "pid"

        async def hold():
            output = await stream(Command(["/bin/sh", "-c", 'echo $$ > "$0"; exec sleep 30', str(pid_file)]))
            variable.set(output)
            assert (await output.__anext__()).kind == "started"
            # An await that gives up: the stream's machinery meets this context.
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(output.__anext__(), 0.01)

        task = asyncio.create_task(hold())
        await task
        pid = int(await wait_for_file(pid_file))
        del task
        # The handle that woke this step holds the finished task until the
        # step ends.
        await asyncio.sleep(0)
        gc.collect()
        assert process_gone(pid, within=2)
