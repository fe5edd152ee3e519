"""The asyncio bridge under faults: the interpreter exiting with runs in
flight, a loop closed before its runs finish, fork() after use, and
references or descriptors left behind by thousands of runs."""

import asyncio
import gc
import multiprocessing
import os
import signal
import sys
import time
import warnings
import weakref

import pytest

from quellar import CancellationToken, Command, run
from support import (
    GROUP_SCRIPT,
    check_clean_exit,
    kill_all,
    open_fd_count,
    process_gone,
    recorded_pids,
    run_python,
    shell,
    wait_for_file,
)


# Starts a run whose group (leader and a background member) records its pids
# in argv[1], and waits until they are written.
START_LONG_RUN = """
    import asyncio, pathlib, sys, time
    from quellar import Command, run

    PIDS = pathlib.Path(sys.argv[1])

    def start_long_run():
        future = run(Command(["/bin/sh", "-c", 'sleep 60 & echo "$$ $!" > "$0"; wait', str(PIDS)]))
        return future

    async def until_started():
        while not (PIDS.exists() and PIDS.read_text().endswith("\\n")):
            await asyncio.sleep(0.01)
"""


class TestInterpreterExit:
    def test_exit_after_the_loop_closed(self, tmp_path):
        pids = tmp_path / "pids"
        script = START_LONG_RUN + """
    async def main():
        start_long_run()
        await until_started()
    asyncio.run(main())
    """
        started = time.monotonic()
        result = run_python(script, str(pids))
        assert time.monotonic() - started < 20
        check_clean_exit(result, pids)

    def test_exit_while_a_loop_still_runs_in_another_thread(self, tmp_path):
        # The loop stays open and running in a daemon thread while the
        # interpreter finalizes: the finishing run must not enter Python.
        pids = tmp_path / "pids"
        script = START_LONG_RUN + """
    import threading
    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()

    async def start():
        start_long_run()
        await until_started()
    asyncio.run_coroutine_threadsafe(start(), loop).result(10)
    """
        result = run_python(script, str(pids))
        check_clean_exit(result, pids)

    def test_no_run_starts_once_the_exit_hook_ran(self):
        # atexit runs hooks last-in first-out: this one, registered before
        # quellar is imported, runs after quellar's.
        script = """
        import asyncio, atexit

        def late():
            from quellar import Command, run

            async def attempt():
                try:
                    run(Command(["/bin/sleep", "60"]))
                except RuntimeError as error:
                    print(error)

            asyncio.run(attempt())

        atexit.register(late)
        import quellar
        """
        result = run_python(script)
        assert result.returncode == 0, result.stderr
        assert result.stdout == "the interpreter is exiting: no run can start\n"

    @pytest.mark.parametrize("attempt", range(3))
    def test_exit_while_runs_keep_finishing(self, attempt, tmp_path):
        # Sixteen runs at a time start and end (by their time limits)
        # continuously on a live loop while the main thread exits: some settle
        # just before the exit hook, some race it, some are starting. Each
        # child records its pid; none may outlive the interpreter.
        pids = tmp_path / "pids"
        script = """
        import asyncio, random, sys, threading, time
        from quellar import Command, run

        async def lane():
            while True:
                command = Command(["/bin/sh", "-c", 'echo $$ >> "$0"; exec sleep 60', sys.argv[1]],
                                  timeout=random.uniform(0.05, 0.2))
                await run(command)

        async def churn():
            await asyncio.gather(*(lane() for _ in range(16)))

        loop = asyncio.new_event_loop()
        threading.Thread(target=loop.run_forever, daemon=True).start()
        asyncio.run_coroutine_threadsafe(churn(), loop)
        time.sleep(0.3 + 0.1 * %d + random.uniform(0, 0.05))
        """ % attempt
        try:
            result = run_python(script, str(pids))
            assert result.returncode == 0, result.stderr
            assert result.stderr == ""
            recorded = recorded_pids(pids)
            assert len(recorded) >= 16
            assert [pid for pid in recorded if not process_gone(pid, within=5)] == []
        finally:
            kill_all(recorded_pids(pids))


def test_closed_loop_drops_the_outcome_silently():
    script = """
    import asyncio, gc, time
    from quellar import Command, run

    loop = asyncio.new_event_loop()

    async def start():
        # Both outcomes arrive after the close: a result, and an error (the
        # child exits while a process outside its group holds its input
        # open without reading it: stdin_failed).
        script = "exec 3<&0; setsid sleep 1 <&3 >/dev/null 2>&1 & sleep 0.3"
        return [
            run(Command(["/bin/sleep", "0.3"])),
            run(Command(["/bin/sh", "-c", script], max_stdin_bytes=1 << 20), input=b"x" * (1 << 20)),
        ]

    futures = loop.run_until_complete(start())
    loop.close()
    time.sleep(1)
    del futures
    gc.collect()

    async def again():
        return (await run(Command(["/bin/echo", "still works"]))).stdout
    print(asyncio.run(again()).decode(), end="")
    """
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout == "still works\n"


class TestLoopsThatGoAway:
    def test_closing_a_loop_stops_the_runs_pending_on_it(self, tmp_path):
        pids = tmp_path / "pids"
        loop = asyncio.new_event_loop()

        async def start():
            future = run(Command(["/bin/sh", "-c", GROUP_SCRIPT, str(pids)], timeout=60))
            members = await wait_for_file(pids)
            return future, [int(pid) for pid in members.split()]

        future, members = loop.run_until_complete(start())
        loop.close()  # the run's outcome can never be delivered: it stops
        for pid in members:
            assert process_gone(pid, within=3), pid
        del future

    def test_an_abandoned_loop_is_freed_once_its_runs_are_over(self, tmp_path):
        references = []
        for i in range(5):
            marker = tmp_path / f"done{i}"
            loop = asyncio.new_event_loop()

            async def start():
                return [run(shell(f"sleep 0.2; echo > {marker}")) for _ in range(3)]

            loop.run_until_complete(start())
            references.append((weakref.ref(loop), marker))
            # Abandoned: neither closed nor run again (its unclosed-loop
            # warning is expected).
            del loop
        deadline = time.monotonic() + 10
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)
            while time.monotonic() < deadline:
                gc.collect()
                if all(reference() is None for reference, _ in references):
                    break
                time.sleep(0.05)
        assert all(marker.exists() for _, marker in references)
        assert [reference() is None for reference, _ in references] == [True] * 5


def test_a_reader_out_of_memory_fails_the_run_instead_of_hanging():
    # A capture that cannot grow (the address space is limited) must end the
    # run with "execution_failed" and release everything, not hang.
    script = """
    import asyncio, resource, time
    from quellar import Command, SupervisorError, run
    resource.setrlimit(resource.RLIMIT_AS, (480 << 20, 480 << 20))

    async def main():
        started = time.monotonic()
        try:
            await run(Command(["/usr/bin/head", "-c", "400000000", "/dev/zero"],
                              max_stdout_bytes=2 ** 31, timeout=3))
        except SupervisorError as error:
            print(error.code, round(time.monotonic() - started))

    asyncio.run(main())
    """
    result = run_python(script, timeout=60)
    assert result.returncode == 0, result.stderr
    code, seconds = result.stdout.split()
    assert code == "execution_failed"
    assert int(seconds) < 15


def forked_child(queue):
    async def main():
        result = await run(Command(["/bin/echo", "from the child"]))
        return result.stdout

    queue.put(asyncio.run(main()))


@pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")
class TestFork:
    # Forks from the main thread with no loop running: CPython's own
    # multiprocessing exits 1 in a child forked from a worker thread.
    def fork_and_collect(self):
        context = multiprocessing.get_context("fork")
        queue = context.Queue()
        child = context.Process(target=forked_child, args=(queue,))
        child.start()
        try:
            output = queue.get(timeout=20)
        finally:
            child.join(20)
        assert child.exitcode == 0
        return output

    def test_child_gets_a_fresh_runtime(self):
        async def one(argv):
            return await run(Command(argv))

        assert asyncio.run(one(["/bin/true"])).success  # the runtime exists here
        assert self.fork_and_collect() == b"from the child\n"
        assert asyncio.run(one(["/bin/echo", "parent"])).stdout == b"parent\n"

    def test_fork_with_a_run_in_flight(self):
        loop = asyncio.new_event_loop()
        try:

            async def start():
                return run(shell("sleep 0.5; echo done"))

            future = loop.run_until_complete(start())
            assert self.fork_and_collect() == b"from the child\n"
            result = loop.run_until_complete(asyncio.wait_for(future, 10))
            assert result.stdout == b"done\n"
        finally:
            loop.close()


    async def test_a_forked_child_does_not_hold_a_runs_input_open(self, tmp_path):
        # The input's writing end must not live on in a process forked while
        # the input is still being written: the program would never see the
        # end of its input while that process lives (6 s here).
        started_file = tmp_path / "started"
        started = time.monotonic()
        future = asyncio.ensure_future(run(
            shell(f"echo $$ > {started_file}; sleep 0.5; cat >/dev/null; echo eof", timeout=8,
                  max_stdin_bytes=8 << 20),
            input=b"x" * (4 << 20),
        ))
        await wait_for_file(started_file)
        child = os.fork()
        if child == 0:
            try:
                time.sleep(6)
            finally:
                os._exit(0)
        try:
            result = await asyncio.wait_for(future, 10)
            elapsed = time.monotonic() - started
            assert (result.termination, result.stdout) == ("exited", b"eof\n"), (result, elapsed)
            assert elapsed < 6
        finally:
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)

class TestLeaks:
    WARM_UP_ROUNDS = 3
    ROUNDS = 8
    PER_ROUND = 100

    async def one_round(self):
        token = CancellationToken()
        token.cancel()
        futures = []
        for i in range(self.PER_ROUND):
            futures.append(run(Command(["/bin/cat"]), input=b"x" * 100))
            futures.append(run(Command(["bin/relative"])))  # raises SupervisorError
            futures.append(run(Command(["/bin/sleep", "5"]), cancellation=token))
        # Some futures are cancelled by their awaiter: the bridge's drop path.
        dropped = [run(Command(["/bin/sleep", "5"])) for _ in range(self.PER_ROUND)]
        for future in dropped:
            future.cancel()
        outcomes = await asyncio.gather(*futures, return_exceptions=True)
        assert len(outcomes) == 3 * self.PER_ROUND
        # The dropped runs end once their groups are killed.
        await asyncio.sleep(0.05)

    async def settle(self):
        for _ in range(3):
            await asyncio.sleep(0.2)
            gc.collect()

    async def test_thousands_of_runs_leave_nothing_behind(self):
        for _ in range(self.WARM_UP_ROUNDS):  # runtime threads, caches, free lists
            await self.one_round()
        await self.settle()
        blocks, fds = sys.getallocatedblocks(), open_fd_count()
        for _ in range(self.ROUNDS):
            await self.one_round()
        await self.settle()
        # 3200 runs, 800 on each path: one leaked object per run on any path
        # adds at least 800 blocks; the tolerance absorbs free-list noise
        # (under 200 blocks here).
        assert sys.getallocatedblocks() - blocks < 500
        assert open_fd_count() <= fds
