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
