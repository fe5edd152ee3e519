"""stream() with real processes: the events and their order, capture, output
limits, timeouts and cancellation with the child stopped, aclose(), streams
dropped unread, awaitables cancelled by asyncio, back-pressure, fairness to
the event loop, and argument errors."""

import asyncio
import gc
import pathlib
import time

import pytest

from quellar import (
    CancellationToken,
    Command,
    OutputEvent,
    OutputStream,
    Policy,
    RunResult,
    SupervisorError,
    stream,
)
from support import delivery_arrived, proc_stat, process_gone, shell, wait_for_file

# Records the shell's pid in argv[1], then lives until stopped, ignoring
# SIGTERM: only the SIGKILL at the end of the grace stops it.
STUBBORN = "echo $$ > \"$0\"; trap '' TERM; while :; do sleep 1; done"

RESULT_FIELDS = (
    "stdout",
    "stderr",
    "termination",
    "enforcement",
    "requested_executable",
    "canonical_executable",
    "exit_code",
    "signal",
    "success",
)


def fields(result: RunResult) -> tuple:
    return tuple(getattr(result, name) for name in RESULT_FIELDS)


async def collect(output: OutputStream) -> list[OutputEvent]:
    return [event async for event in output]


def joined(events: list[OutputEvent], kind: str) -> bytes:
    return b"".join(event.data for event in events if event.kind == kind)


def bytes_written(pid: int) -> int:
    for line in pathlib.Path(f"/proc/{pid}/io").read_text().splitlines():
        if line.startswith("wchar:"):
            return int(line.split()[1])
    raise AssertionError("no wchar in /proc/<pid>/io")


def resident_bytes() -> int:
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS in /proc/self/status")


async def stubborn(tmp_path: pathlib.Path, **kwargs) -> tuple[OutputStream, int]:
    """A stream of STUBBORN, and the pid it records."""
    pid_file = tmp_path / "pid"
    output = await stream(Command(["/bin/sh", "-c", STUBBORN, str(pid_file)], **kwargs))
    return output, int(await wait_for_file(pid_file))


class TestEvents:
    async def test_order_and_final_result(self):
        output = await stream(shell("printf 'hi\\n'"))
        events = await collect(output)
        assert [e.kind for e in events][0] == "started"
        assert [e.kind for e in events][-1] == "exited"
        assert {e.kind for e in events[1:-1]} == {"stdout"}
        assert joined(events, "stdout") == b"hi\n"
        for event in events[:-1]:
            assert event.result is None
        assert events[0].data == b"" and events[-1].data == b""
        result = events[-1].result
        assert isinstance(result, RunResult)
        assert (result.termination, result.exit_code, result.signal, result.success) == (
            "exited",
            0,
            None,
            True,
        )
        assert result.requested_executable == "/bin/sh"
        with pytest.raises(StopAsyncIteration):
            await output.__anext__()
        # The result taken with the exit event is what aclose() gives.
        closed = await output.aclose()
        assert closed is not result
        assert fields(closed) == fields(result)

    @pytest.mark.parametrize("capture", [True, False])
    async def test_capture(self, capture):
        output = await stream(shell("printf out; printf err >&2"), capture=capture)
        events = await collect(output)
        assert joined(events, "stdout") == b"out"
        assert joined(events, "stderr") == b"err"
        result = events[-1].result
        expected = (b"out", b"err") if capture else (b"", b"")
        assert (result.stdout, result.stderr) == expected

    async def test_each_output_keeps_its_order(self):
        script = "i=0; while [ $i -lt 300 ]; do echo out$i; echo err$i >&2; i=$((i+1)); done"
        events = await collect(await stream(shell(script)))
        assert joined(events, "stdout") == b"".join(b"out%d\n" % i for i in range(300))
        assert joined(events, "stderr") == b"".join(b"err%d\n" % i for i in range(300))

    async def test_a_failing_child_is_a_result(self):
        events = await collect(await stream(shell("echo oops >&2; kill -9 $$")))
        result = events[-1].result
        assert (result.termination, result.exit_code, result.signal, result.success) == (
            "exited",
            None,
            9,
            False,
        )

    async def test_event_attributes(self):
        events = await collect(await stream(Command(["/bin/echo", "x"])))
        chunk = next(e for e in events if e.kind == "stdout")
        assert chunk.data == chunk.data
        assert chunk.data is not chunk.data
        assert repr(chunk) == "<OutputEvent 'stdout' b'x\\n'>"
        with pytest.raises(AttributeError):
            chunk.kind = "stderr"

    async def test_builtin_anext_with_a_default(self):
        output = await stream(Command(["/bin/true"]))
        kinds = []
        while (event := await anext(output, None)) is not None:
            kinds.append(event.kind)
        assert kinds == ["started", "exited"]

    async def test_work_starts_at_the_call(self):
        # An awaitable that is never awaited still takes its event: the next
        # call gets the one after it.
        output = await stream(shell("echo one; sleep 0.2; echo two"))
        assert (await output.__anext__()).kind == "started"
        first = output.__anext__()
        second = output.__anext__()
        assert (await second).data == b"two\n"
        assert (await first).data == b"one\n"

    async def test_concurrent_calls_get_events_in_call_order(self):
        output = await stream(shell("for i in 1 2 3; do sleep 0.1; echo $i; done"))
        assert (await output.__anext__()).kind == "started"
        events = await asyncio.gather(*(output.__anext__() for _ in range(4)))
        assert [e.data for e in events[:3]] == [b"1\n", b"2\n", b"3\n"]
        assert events[3].kind == "exited"


class TestLimits:
    @pytest.mark.parametrize(
        "script, limit, kind, code, phase",
        [
            ("head -c 100000 /dev/zero", "max_stdout_bytes", "stdout", "output_too_large", "stdout"),
            ("head -c 100000 /dev/zero >&2", "max_stderr_bytes", "stderr", "stderr_too_large", "stderr"),
        ],
    )
    async def test_limit_error_then_the_end(self, script, limit, kind, code, phase):
        output = await stream(shell(script, **{limit: 1000}))
        events = []
        with pytest.raises(SupervisorError) as caught:
            async for event in output:
                events.append(event)
        # Exactly the limit is delivered, then the error, then nothing.
        assert len(joined(events, kind)) == 1000
        assert (caught.value.code, caught.value.phase) == (code, phase)
        assert not hasattr(caught.value, "executable")
        with pytest.raises(StopAsyncIteration):
            await output.__anext__()
        assert await output.aclose() is None

    async def test_a_reader_past_its_limit_lets_go_of_the_pipe(self, tmp_path):
        # The child keeps writing after the limit: its writes must fail at
        # once (the pipe is closed), not block until the child is killed.
        marker = tmp_path / "write-failed"
        script = f"trap '' TERM PIPE; while printf x; do :; done; echo > {marker}"
        output = await stream(shell(script, max_stdout_bytes=10))
        with pytest.raises(SupervisorError):
            async for _ in output:
                pass
        assert await wait_for_file(marker) == "\n"

    async def test_exactly_the_limit_is_no_error(self):
        output = await stream(shell("head -c 1000 /dev/zero", max_stdout_bytes=1000))
        events = await collect(output)
        assert len(joined(events, "stdout")) == 1000
        assert events[-1].result.termination == "exited"


class TestStopping:
    async def test_timeout_stops_a_child_that_ignores_sigterm(self, tmp_path):
        started = time.monotonic()
        output, pid = await stubborn(tmp_path, timeout=0.5)
        events = await collect(output)
        elapsed = time.monotonic() - started
        assert events[-1].kind == "exited"
        result = events[-1].result
        assert (result.termination, result.exit_code, result.signal, result.success) == (
            "timed_out",
            None,
            None,
            False,
        )
        assert 0.5 <= elapsed < 5
        assert process_gone(pid)

    async def test_timeout_of_a_child_that_exits_on_sigterm(self):
        events = await collect(await stream(Command(["/bin/sleep", "10"], timeout=0.5)))
        assert [e.kind for e in events] == ["started", "exited"]
        assert events[-1].result.termination == "timed_out"

    @pytest.mark.parametrize("how", ["method", "token"])
    async def test_cancellation_while_running(self, tmp_path, how):
        token = CancellationToken()
        pid_file = tmp_path / "pid"
        output = await stream(
            Command(["/bin/sh", "-c", STUBBORN, str(pid_file)]), cancellation=token
        )
        pid = int(await wait_for_file(pid_file))
        if how == "method":
            assert output.cancel() is None
        else:
            token.cancel()
        events = await asyncio.wait_for(collect(output), 10)
        assert events[-1].result.termination == "cancelled"
        assert process_gone(pid)
        # The stream never cancels the caller's token itself.
        assert token.cancelled() == (how == "token")

    async def test_a_stream_leaves_the_callers_token_alone(self):
        token = CancellationToken()
        await collect(await stream(Command(["/bin/sleep", "10"], timeout=0.2), cancellation=token))
        assert not token.cancelled()

    async def test_already_cancelled_token(self):
        token = CancellationToken()
        token.cancel()
        started = time.monotonic()
        events = await collect(await stream(Command(["/bin/sleep", "10"]), cancellation=token))
        assert [e.kind for e in events] == ["started", "exited"]
        assert events[-1].result.termination == "cancelled"
        assert time.monotonic() - started < 5

    async def test_aclose_on_a_running_stream(self, tmp_path):
        output, pid = await stubborn(tmp_path)
        result = await asyncio.wait_for(output.aclose(), 10)
        assert result.termination == "cancelled"
        assert process_gone(pid)
        with pytest.raises(StopAsyncIteration):
            await output.__anext__()
        # Closing again gives the same result.
        assert fields(await output.aclose()) == fields(result)

    async def test_aclose_returns_the_result_already_taken(self):
        output = await stream(shell("echo done"), capture=True)
        events = await collect(output)
        closed = await output.aclose()
        assert fields(closed) == fields(events[-1].result)
        assert closed.stdout == b"done\n"

    async def test_aclose_discards_what_was_not_taken(self):
        output = await stream(shell("echo one; echo two"), capture=True)
        await asyncio.sleep(1)  # both lines and the exit are queued
        result = await output.aclose()
        # The child had exited: its own exit stands, and capture holds it all.
        assert result.termination == "exited"
        assert result.stdout == b"one\ntwo\n"
        with pytest.raises(StopAsyncIteration):
            await output.__anext__()


class TestGroupStop:
    """Stopping a stream signals the group it started, whether or not the
    leader is still there: the leader exits at once, a background member
    holds the output open, and the stop must reach it."""

    SCRIPT = 'sleep 30 & echo $! > "$0"; exit 0'

    async def start(self, tmp_path, **kwargs):
        pid_file = tmp_path / "member"
        output = await stream(Command(["/bin/sh", "-c", self.SCRIPT, str(pid_file)], **kwargs))
        return output, int(await wait_for_file(pid_file))

    async def test_timeout(self, tmp_path):
        output, member = await self.start(tmp_path, timeout=0.3)
        events = await collect(output)
        assert events[-1].result.termination == "timed_out"
        assert process_gone(member, within=1)

    async def test_aclose(self, tmp_path):
        output, member = await self.start(tmp_path)
        assert (await output.aclose()).termination == "cancelled"
        assert process_gone(member, within=1)

    async def test_cancel(self, tmp_path):
        output, member = await self.start(tmp_path)
        output.cancel()
        assert (await collect(output))[-1].result.termination == "cancelled"
        assert process_gone(member, within=1)

    async def test_drop(self, tmp_path):
        output, member = await self.start(tmp_path)
        assert (await output.__anext__()).kind == "started"
        del output
        await asyncio.sleep(0)
        gc.collect()
        assert process_gone(member, within=1.5)


class TestDropped:
    async def test_a_dropped_stream_stops_its_child(self, tmp_path):
        output, pid = await stubborn(tmp_path)
        del output
        # The future that delivered it (held by the loop's running callback
        # until this step ends) holds it too.
        await asyncio.sleep(0)
        gc.collect()
        assert process_gone(pid, within=5)

    async def test_a_stream_nobody_received_stops_its_child(self, tmp_path):
        # The awaiter gave up before the stream was delivered: its token is
        # cancelled, and the runtime stops the child by itself (the loop is
        # blocked below while it does).
        pid_file = tmp_path / "pid"
        token = CancellationToken()
        future = stream(Command(["/bin/sh", "-c", STUBBORN, str(pid_file)]), cancellation=token)
        future.cancel()
        assert token.cancelled()
        pid = int(await wait_for_file(pid_file))
        assert process_gone(pid, within=5)

    async def test_a_stream_handed_over_but_not_yet_received_stops_its_child(self, tmp_path):
        # The stream has reached the loop (its child running) when the
        # awaiter gives up, before the loop could settle the future.
        pid_file = tmp_path / "pid"
        token = CancellationToken()
        future = stream(Command(["/bin/sh", "-c", STUBBORN, str(pid_file)]), cancellation=token)
        assert delivery_arrived(asyncio.get_running_loop()), "the stream did not arrive"
        assert future.cancel()
        assert token.cancelled()
        pid = int(await wait_for_file(pid_file))
        assert process_gone(pid, within=5)

    async def test_a_cancelled_task_awaiting_the_stream(self, tmp_path):
        pid_file = tmp_path / "pid"

        async def consume():
            async for _ in await stream(Command(["/bin/sh", "-c", STUBBORN, str(pid_file)])):
                pass

        task = asyncio.create_task(consume())
        pid = int(await wait_for_file(pid_file))
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert process_gone(pid, within=5)

    async def test_a_pending_awaitable_keeps_the_stream(self):
        output = await stream(shell("sleep 0.3; echo late"))
        assert (await output.__anext__()).kind == "started"
        pending = output.__anext__()
        del output
        await asyncio.sleep(0)
        gc.collect()
        assert (await asyncio.wait_for(pending, 10)).data == b"late\n"

    @pytest.mark.parametrize("cancel_first", [True, False])
    async def test_a_cancelled_awaitable_does_not_keep_the_stream(self, tmp_path, cancel_first):
        output, pid = await stubborn(tmp_path)
        assert (await output.__anext__()).kind == "started"
        pending = output.__anext__()
        if cancel_first:
            pending.cancel()
            del output
        else:
            del output
            await asyncio.sleep(0)
            gc.collect()
            assert not process_gone(pid, within=0.5)  # the pending awaitable holds it
            pending.cancel()
        gc.collect()
        await asyncio.sleep(0.05)  # the future's callbacks run
        assert process_gone(pid, within=5)


class TestCancelledAwaitable:
    async def test_an_event_arriving_later_goes_to_the_next_call(self):
        output = await stream(shell("sleep 0.5; echo one; echo two"))
        assert (await output.__anext__()).kind == "started"
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(output.__anext__(), 0.05)
        events = await collect(output)
        assert joined(events, "stdout") == b"one\ntwo\n"

    async def test_an_event_already_on_its_way_goes_to_the_next_call(self):
        # The event reaches the awaitable's future while the loop is busy;
        # asyncio cancels the future before the loop gets to hand it over.
        loop = asyncio.get_running_loop()
        output = await stream(shell("sleep 0.3; echo one; sleep 0.3; echo two"))
        assert (await output.__anext__()).kind == "started"
        pending = output.__anext__()
        assert delivery_arrived(loop), "the event did not arrive"
        pending.cancel()
        assert (await output.__anext__()).data == b"one\n"
        assert (await output.__anext__()).data == b"two\n"

    async def test_a_cancelled_task_loses_no_event(self):
        output = await stream(shell("for i in 1 2 3 4 5; do sleep 0.1; echo $i; done"))
        seen = []

        async def consume():
            async for event in output:
                seen.append(event)

        # Tasks cancelled at arbitrary moments, each followed by another.
        for _ in range(6):
            task = asyncio.create_task(consume())
            await asyncio.sleep(0.07)
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
        seen.extend(await collect(output))
        assert joined(seen, "stdout") == b"1\n2\n3\n4\n5\n"
        assert seen[-1].kind == "exited"

    async def test_aclose_raises_an_error_kept_for_the_next_call(self):
        loop = asyncio.get_running_loop()
        # Past the limit, the child (deaf to SIGTERM) is stopped with a 100 ms
        # grace before the error comes: it reaches a future that asyncio
        # cancels before the loop hands it over.
        script = "trap '' TERM; head -c 5000 /dev/zero; sleep 10"
        output = await stream(shell(script, max_stdout_bytes=10))
        received = 0
        while received < 10:
            received += len((await output.__anext__()).data)
        pending = output.__anext__()
        assert isinstance(pending, asyncio.Future)
        assert delivery_arrived(loop), "the error did not arrive"
        pending.cancel()
        with pytest.raises(SupervisorError) as caught:
            await output.aclose()
        assert caught.value.code == "output_too_large"


class TestBackPressure:
    async def test_a_paused_consumer_blocks_the_child_not_memory(self, tmp_path):
        pid_file = tmp_path / "pid"
        output = await stream(
            shell(f'echo $$ > "{pid_file}"; exec yes', max_stdout_bytes=1 << 40)
        )
        pid = int(await wait_for_file(pid_file))
        received = 0
        async for event in output:
            received += len(event.data)
            if received > 64 << 20:
                break
        # Paused: the queues fill, then the child blocks on its full pipe.
        await asyncio.sleep(0.5)
        before = resident_bytes()
        written = bytes_written(pid)
        await asyncio.sleep(1.0)
        assert bytes_written(pid) == written, "the child kept writing"
        assert proc_stat(pid)[0] == "S"
        assert resident_bytes() - before < 4 << 20
        # Iteration resumes where it stopped.
        event = await output.__anext__()
        assert event.kind == "stdout" and set(event.data) <= set(b"y\n")
        result = await output.aclose()
        assert result.termination == "cancelled"
        assert process_gone(pid)


class TestFairness:
    async def test_a_consumer_that_never_waits_still_lets_the_loop_run(self):
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0)

        task = asyncio.create_task(ticker())
        await asyncio.sleep(0)
        output = await stream(Command(["/usr/bin/yes"], max_stdout_bytes=1 << 40))
        await asyncio.sleep(0.2)  # the queues are full from here on
        start = ticks
        count = 0
        async for _ in output:
            # Slower than the child: an event is always waiting.
            spin = time.perf_counter() + 0.0002
            while time.perf_counter() < spin:
                pass
            count += 1
            if count == 1000:
                break
        assert ticks - start >= 10
        task.cancel()
        await output.aclose()


class TestCallErrors:
    @pytest.mark.parametrize(
        "kwargs, parameter",
        [
            ({"command": ["/bin/true"]}, "command"),
            ({"command": Command(["/bin/true"]), "policy": "host"}, "policy"),
            ({"command": Command(["/bin/true"]), "cancellation": True}, "cancellation"),
            ({"command": Command(["/bin/true"]), "capture": 1}, "capture"),
            ({"command": Command(["/bin/true"]), "capture": None}, "capture"),
        ],
    )
    async def test_wrong_types_name_the_parameter(self, kwargs, parameter):
        with pytest.raises(TypeError, match=f"'{parameter}'"):
            stream(**kwargs)

    async def test_binding(self):
        with pytest.raises(TypeError, match="positional"):
            stream(Command(["/bin/true"]), Policy())
        output = await stream(command=Command(["/bin/true"]), policy=Policy(), capture=False)
        assert (await collect(output))[-1].result.success

    def test_no_running_loop(self):
        with pytest.raises(RuntimeError, match="no running event loop"):
            stream(Command(["/bin/true"]))

    def test_iterating_needs_a_running_loop(self):
        async def start():
            return await stream(Command(["/bin/true"]))

        output = asyncio.run(start())
        with pytest.raises(RuntimeError, match="no running event loop"):
            output.__anext__()
        with pytest.raises(RuntimeError, match="no running event loop"):
            output.aclose()

    def test_pending_awaitables_tie_the_stream_to_their_loop(self):
        first, second = asyncio.new_event_loop(), asyncio.new_event_loop()
        try:

            async def start():
                output = await stream(shell("sleep 0.5; echo late"))
                assert (await output.__anext__()).kind == "started"
                return output, output.__anext__()  # pending: the child is silent

            output, pending = first.run_until_complete(start())

            async def elsewhere():
                with pytest.raises(RuntimeError, match="another event loop"):
                    output.__anext__()

            second.run_until_complete(elsewhere())
            async def finish():
                event = await asyncio.wait_for(pending, 10)
                await output.aclose()
                return event

            assert first.run_until_complete(finish()).data == b"late\n"
        finally:
            first.close()
            second.close()

    def test_aclose_without_a_loop_still_stops_the_child(self, tmp_path):
        async def start():
            return await stubborn(tmp_path)

        output, pid = asyncio.run(start())
        with pytest.raises(RuntimeError, match="no running event loop"):
            output.aclose()
        assert process_gone(pid)

    def test_a_loop_in_another_thread_keeps_its_pending_awaitable(self, tmp_path):
        # Loop A's thread is held while the event for its pending awaitable
        # arrives; a call from loop B must refuse before settling anything of
        # A's, or A's task would be woken from the wrong thread.
        import threading

        go, ready = threading.Event(), threading.Event()
        shared = {}
        marker = tmp_path / "go"

        async def on_a():
            output = await stream(shell(f"while [ ! -e {marker} ]; do sleep 0.01; done; echo late"))
            assert (await output.__anext__()).kind == "started"
            shared["output"], shared["pending"] = output, output.__anext__()
            assert isinstance(shared["pending"], asyncio.Future)
            marker.touch()
            shared["loop"] = asyncio.get_running_loop()
            ready.set()
            go.wait(10)  # holds loop A's thread
            return await asyncio.wait_for(shared["pending"], 10)

        result = {}
        thread = threading.Thread(target=lambda: result.setdefault("event", asyncio.run(on_a())))
        thread.start()
        assert ready.wait(10)
        arrived = delivery_arrived(shared["loop"])

        async def on_b():
            with pytest.raises(RuntimeError, match="another event loop"):
                shared["output"].__anext__()
            with pytest.raises(RuntimeError, match="another event loop"):
                shared["output"].aclose()
            return shared["pending"].done()

        settled_elsewhere = asyncio.run(on_b())
        go.set()
        thread.join(10)
        assert arrived, "the event for loop A did not arrive while its thread was held"
        assert not settled_elsewhere
        assert result["event"].data == b"late\n"

    async def test_start_failures_are_raised_when_awaited(self):
        with pytest.raises(SupervisorError) as caught:
            await stream(Command(["bin/relative"]))
        assert (caught.value.code, caught.value.phase) == ("relative_executable", "validate")
        # A spawn failure keeps the executable it was about.
        with pytest.raises(SupervisorError) as caught:
            await stream(Command(["/bin/true"], cwd="/nonexistent/quellar-test"))
        assert (caught.value.code, caught.value.phase) == ("spawn_failed", "spawn")
        assert caught.value.executable == "/bin/true"
