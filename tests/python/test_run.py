"""run() with real processes: outcomes, timeouts and cancellation with the
process group killed, input, output limits, decoding, argument errors."""

import asyncio
import os
import pathlib
import signal
import time

import pytest

from quellar import CancellationToken, Command, Policy, RunResult, SupervisorError, run
from support import (
    GROUP_SCRIPT,
    delivery_arrived,
    kill_all,
    process_gone,
    recorded_pids,
    run_python,
    shell,
    wait_for_file,
)


def group_pids(text: str) -> list[int]:
    return [int(pid) for pid in text.split()]


class TestOutcomes:
    async def test_success_with_captured_output(self):
        result = await run(shell("printf out; printf err >&2"))
        assert isinstance(result, RunResult)
        assert result.termination == "exited"
        assert result.exit_code == 0
        assert result.signal is None
        assert result.success is True
        assert result.stdout == b"out"
        assert result.stderr == b"err"
        assert result.enforcement == "degraded"
        assert result.requested_executable == "/bin/sh"
        assert result.canonical_executable == os.path.realpath("/bin/sh")

    async def test_bytes_are_new_objects_each_access(self):
        result = await run(Command(["/bin/echo", "x"]))
        assert result.stdout == result.stdout
        assert result.stdout is not result.stdout

    async def test_exit_code(self):
        result = await run(shell("exit 3"))
        assert (result.termination, result.exit_code, result.signal) == ("exited", 3, None)
        assert result.success is False

    async def test_killed_by_a_signal_from_outside(self):
        result = await run(shell("kill -9 $$"))
        assert (result.termination, result.exit_code, result.signal) == ("exited", None, 9)
        assert result.success is False

    async def test_stdout_limit(self):
        result = await run(
            Command(["/usr/bin/head", "-c", "100000", "/dev/zero"], max_stdout_bytes=1000)
        )
        assert result.termination == "stdout_limit_exceeded"
        assert result.success is False
        assert (result.exit_code, result.signal) == (None, None)
        assert len(result.stdout) <= 1000

    async def test_stderr_limit(self):
        result = await run(shell("head -c 100000 /dev/zero >&2", max_stderr_bytes=500))
        assert result.termination == "stderr_limit_exceeded"
        assert len(result.stderr) <= 500

    async def test_environment_is_built_from_nothing(self, monkeypatch):
        monkeypatch.setenv("QUELLAR_TEST_INHERITED", "yes")
        monkeypatch.setenv("QUELLAR_TEST_NOT_LISTED", "no")
        result = await run(
            Command(["/usr/bin/env"], env={"B": "2", "A": "1"}, inherit_env=["QUELLAR_TEST_INHERITED"])
        )
        lines = sorted(result.stdout.decode().splitlines())
        assert lines == ["A=1", "B=2", "QUELLAR_TEST_INHERITED=yes"]

    async def test_inherited_values_are_read_at_the_call(self, monkeypatch):
        # On the calling thread, as os.environ holds them then; the runtime's
        # threads never read the environment (getenv races putenv).
        monkeypatch.setenv("QUELLAR_TEST_INHERITED", "at-the-call")
        future = run(Command(["/usr/bin/env"], inherit_env=["QUELLAR_TEST_INHERITED"]))
        monkeypatch.setenv("QUELLAR_TEST_INHERITED", "changed-after")
        assert (await future).stdout == b"QUELLAR_TEST_INHERITED=at-the-call\n"

    async def test_working_directory(self, tmp_path):
        result = await run(Command(["/bin/pwd"], cwd=tmp_path))
        assert result.stdout.decode().strip() == os.path.realpath(tmp_path)

    async def test_work_starts_without_being_awaited(self, tmp_path):
        marker = tmp_path / "ran"
        future = run(Command(["/usr/bin/touch", str(marker)]))
        deadline = time.monotonic() + 5
        while not marker.exists() and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        assert marker.exists()
        assert (await future).success

    async def test_many_concurrent_runs(self):
        results = await asyncio.gather(*(run(Command(["/bin/echo", str(i)])) for i in range(50)))
        assert [r.stdout for r in results] == [f"{i}\n".encode() for i in range(50)]

    async def test_a_command_is_reusable(self):
        command = Command(["/bin/echo", "again"])
        first, second = await run(command), await run(command)
        assert first.stdout == second.stdout == b"again\n"


class TestTimeout:
    async def test_timeout_kills_the_whole_group(self, tmp_path):
        pids = tmp_path / "pids"
        started = time.monotonic()
        result = await run(
            Command(["/bin/sh", "-c", "echo before; " + GROUP_SCRIPT, str(pids)], timeout=0.3)
        )
        elapsed = time.monotonic() - started
        assert result.termination == "timed_out"
        assert (result.exit_code, result.signal, result.success) == (None, None, False)
        assert result.stdout == b"before\n"
        assert 0.3 <= elapsed < 5
        for pid in group_pids(pids.read_text()):
            assert process_gone(pid), pid

    async def test_tiniest_timeout_is_one_millisecond(self):
        started = time.monotonic()
        result = await run(Command(["/bin/sleep", "5"], timeout=1e-320))
        assert result.termination == "timed_out"
        assert time.monotonic() - started < 3


class TestCancellation:
    async def test_token_cancelled_before_the_run(self):
        token = CancellationToken()
        token.cancel()
        started = time.monotonic()
        result = await run(Command(["/bin/sleep", "10"]), cancellation=token)
        assert result.termination == "cancelled"
        assert (result.exit_code, result.signal, result.success) == (None, None, False)
        assert time.monotonic() - started < 3

    async def test_token_cancelled_during_the_run_kills_the_group(self, tmp_path):
        pids = tmp_path / "pids"
        token = CancellationToken()
        future = run(Command(["/bin/sh", "-c", GROUP_SCRIPT, str(pids)]), cancellation=token)
        members = group_pids(await wait_for_file(pids))
        token.cancel()
        result = await asyncio.wait_for(future, 5)
        assert result.termination == "cancelled"
        for pid in members:
            assert process_gone(pid), pid

    async def test_one_token_stops_every_run_holding_it(self):
        token = CancellationToken()
        futures = [run(Command(["/bin/sleep", "10"]), cancellation=token) for _ in range(5)]
        await asyncio.sleep(0.1)
        token.cancel()
        results = await asyncio.wait_for(asyncio.gather(*futures), 5)
        assert {r.termination for r in results} == {"cancelled"}

    @pytest.mark.parametrize("with_token", [True, False])
    async def test_cancelling_the_awaiting_task_kills_the_group(self, tmp_path, with_token):
        pids = tmp_path / "pids"
        token = CancellationToken() if with_token else None

        async def awaiting():
            return await run(Command(["/bin/sh", "-c", GROUP_SCRIPT, str(pids)]), cancellation=token)

        task = asyncio.create_task(awaiting())
        members = group_pids(await wait_for_file(pids))
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # Dropping the work cancels the token the run holds: the caller's own.
        if token is not None:
            assert token.cancelled()
        for pid in members:
            assert process_gone(pid), pid

    def test_many_runs_cancelled_at_any_moment_leave_no_child(self, tmp_path):
        # 64 runs, each given up by its awaiter after 0 to 50 ms (wait_for's
        # limit, or a plain task.cancel()): some before the child exists,
        # some while it starts, some once it runs. Within 5 s no child of the
        # interpreter is left, not even a zombie, and no recorded process
        # runs. In a fresh interpreter: no other test's children.
        pids = tmp_path / "pids"
        script = """
        import asyncio, os, pathlib, random, sys, time
        sys.path.insert(0, sys.argv[2])
        from quellar import Command, run
        from support import GROUP_SCRIPT, all_pids, proc_stat, recorded_pids, running

        PIDS = sys.argv[1]

        def children():
            return [pid for pid in all_pids() if (proc_stat(pid) or [0, 0])[1] == str(os.getpid())]

        async def one():
            command = Command(["/bin/sh", "-c", GROUP_SCRIPT.replace(">", ">>"), PIDS], timeout=60)
            try:
                await asyncio.wait_for(run(command), random.uniform(0, 0.05))
            except asyncio.TimeoutError:
                pass

        async def main():
            loop = asyncio.get_running_loop()
            tasks = [asyncio.create_task(one()) for _ in range(64)]
            for task in random.sample(tasks, 16):
                loop.call_later(random.uniform(0, 0.05), task.cancel)
            await asyncio.gather(*tasks, return_exceptions=True)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                left = children(), [pid for pid in recorded_pids(pathlib.Path(PIDS)) if running(pid)]
                if left == ([], []):
                    break
                await asyncio.sleep(0.05)
            print(left)

        asyncio.run(main())
        """
        try:
            result = run_python(script, str(pids), str(pathlib.Path(__file__).parent))
            assert result.returncode == 0, result.stderr
            assert result.stdout == "([], [])\n"
            assert len(recorded_pids(pids)) >= 2
        finally:
            kill_all(recorded_pids(pids))

    async def test_cancelling_after_the_outcome_arrived_leaves_the_token_alone(self):
        # The loop's thread is kept busy until the finished run has been
        # handed to the loop: the awaiter then cancels a future whose work is
        # done.
        loop = asyncio.get_running_loop()
        token = CancellationToken()
        future = run(Command(["/bin/true"]), cancellation=token)
        assert delivery_arrived(loop), "the run did not finish"
        future.cancel()
        await asyncio.sleep(0.05)
        assert not token.cancelled()

    async def test_a_raising_run_cancels_the_callers_token(self):
        token = CancellationToken()
        with pytest.raises(SupervisorError):
            await run(Command(["relative/executable"]), cancellation=token)
        assert token.cancelled()
        started = time.monotonic()
        result = await run(Command(["/bin/sleep", "10"]), cancellation=token)
        assert result.termination == "cancelled"
        assert time.monotonic() - started < 3

    async def test_a_successful_run_leaves_the_token_alone(self):
        token = CancellationToken()
        await run(Command(["/bin/true"]), cancellation=token)
        assert not token.cancelled()


class TestInput:
    async def test_input_reaches_stdin(self):
        result = await run(Command(["/bin/cat"]), input=b"hello\x00world")
        assert result.stdout == b"hello\x00world"

    @pytest.mark.parametrize("empty", [None, b""])
    async def test_no_input_closes_stdin_at_once(self, empty):
        # cat would wait forever on an open stdin; the timeout would show it.
        result = await run(Command(["/bin/cat"], timeout=5), input=empty)
        assert result.termination == "exited"
        assert result.stdout == b""

    async def test_bytes_subclass_is_accepted(self):
        class Payload(bytes):
            pass

        result = await run(Command(["/bin/cat"]), input=Payload(b"sub"))
        assert result.stdout == b"sub"

    @pytest.mark.parametrize("value", [bytearray(b"x"), memoryview(b"x"), "x", 1])
    async def test_other_input_types_are_refused_and_nothing_runs(self, tmp_path, value):
        marker = tmp_path / "ran"
        with pytest.raises(TypeError, match="'input'"):
            run(Command(["/usr/bin/touch", str(marker)]), input=value)
        await asyncio.sleep(0.3)
        assert not marker.exists()

    async def test_input_over_the_limit_is_an_error(self):
        with pytest.raises(SupervisorError) as caught:
            await run(Command(["/bin/cat"], max_stdin_bytes=4), input=b"12345")
        assert caught.value.code == "input_too_large"

    @pytest.mark.parametrize(
        "argv, size, stdout, code",
        [
            (["/bin/true"], 1, b"", 0),
            (["/usr/bin/head", "-c", "10"], 200_000, b"x" * 10, 0),
            (["/bin/sh", "-c", "echo result; exit 4"], 100_000, b"result\n", 4),
            (["/bin/true"], 1 << 20, b"", 0),
        ],
    )
    async def test_a_child_that_ignores_its_input_gives_its_result(self, argv, size, stdout, code):
        # Exiting or closing stdin before reading everything is the child's
        # choice, as with subprocess.run(input=...): whether the input was
        # written before the child was gone must not decide the outcome.
        command = Command(argv, max_stdin_bytes=size)
        results = await asyncio.gather(*(run(command, input=b"x" * size) for _ in range(100)))
        assert {(r.termination, r.exit_code, r.stdout) for r in results} == {("exited", code, stdout)}


class TestDecoding:
    async def test_text_helpers(self):
        result = await run(shell("printf 'caf\\303\\251 \\377'; printf 'e\\377' >&2"))
        assert result.stdout_text("utf-8", "replace") == "caf\u00e9 \ufffd"
        assert result.stderr_text(encoding="latin-1", errors="strict") == "e\u00ff"
        assert result.stdout_text("utf-8", "surrogateescape").endswith("\udcff")
        with pytest.raises(UnicodeDecodeError):
            result.stdout_text("utf-8", "strict")

    async def test_text_helper_arguments(self):
        result = await run(Command(["/bin/echo", "hi"]))
        with pytest.raises(TypeError):
            result.stdout_text("utf-8")
        with pytest.raises(TypeError, match="'errors'"):
            result.stdout_text("utf-8", None)
        with pytest.raises(TypeError, match="'encoding'"):
            result.stderr_text(b"utf-8", "strict")
        with pytest.raises(LookupError):
            result.stdout_text("no-such-codec", "strict")
        # A bytes-to-bytes codec does not give text.
        hex_digits = await run(Command(["/usr/bin/printf", "6869"]))
        assert hex_digits.stdout_text("ascii", "strict") == "6869"
        with pytest.raises(TypeError):
            hex_digits.stdout_text("hex", "strict")

    async def test_result_is_immutable(self):
        result = await run(Command(["/bin/true"]))
        with pytest.raises(AttributeError):
            result.stdout = b"forged"
        with pytest.raises(AttributeError):
            result.success = False


class TestCallErrors:
    def test_no_running_loop(self):
        with pytest.raises(RuntimeError, match="no running event loop"):
            run(Command(["/bin/true"]))

    @pytest.mark.parametrize(
        "kwargs, parameter",
        [
            ({"command": ["/bin/true"]}, "command"),
            ({"command": Command(["/bin/true"]), "policy": "host"}, "policy"),
            ({"command": Command(["/bin/true"]), "cancellation": True}, "cancellation"),
        ],
    )
    async def test_wrong_types_name_the_parameter(self, kwargs, parameter):
        with pytest.raises(TypeError, match=f"'{parameter}'"):
            run(**kwargs)

    async def test_binding(self):
        with pytest.raises(TypeError, match="positional"):
            run(Command(["/bin/true"]), Policy())
        with pytest.raises(TypeError, match="missing required argument 'command'"):
            run()
        assert (await run(command=Command(["/bin/true"]), policy=Policy())).success

    def test_type_errors_come_before_the_loop_check(self):
        with pytest.raises(TypeError):
            run("not a command")


async def test_sigint_handler_of_the_host_is_untouched():
    before = signal.getsignal(signal.SIGINT)
    await run(Command(["/bin/true"]))
    assert signal.getsignal(signal.SIGINT) is before
