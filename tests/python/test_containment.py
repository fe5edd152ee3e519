"""A contained run, tried the way a hostile command would try it: nothing it
starts outlives it, whatever ends it, and it cannot reach the caller's
session, its process groups or the launcher itself."""

import asyncio
import os
import pathlib
import random
import subprocess
import sys
import textwrap
import time

import pytest

import quellar
from quellar import CancellationToken, Command, Policy, SupervisorError, run, stream

from support import eventually, kill_all, linux_launcher, processes_running, require_pid_namespace, shell

pytestmark = linux_launcher

CONTAINED = Policy(network="disabled", filesystem=[])


def new_mark() -> str:
    """A sleep duration no other process uses: how escapees are found."""
    return f"{random.randrange(1000, 9000)}.{random.randrange(10**6):06d}"


def processes_with(mark: str) -> list[int]:
    """The sleeps of `mark` still running (not the shells and launchers whose
    command lines merely mention it)."""
    return processes_running("sleep", mark)


def gone_within(mark: str, seconds: float) -> bool:
    return eventually(lambda: not processes_with(mark), seconds)


async def all_alive(mark: str, count: int, within: float = 10.0) -> None:
    """Waits until `count` sleeps of `mark` run at once."""
    deadline = time.monotonic() + within
    while len(processes_with(mark)) < count:
        assert time.monotonic() < deadline, f"{processes_with(mark)} of {count} escapees started"
        await asyncio.sleep(0.02)


@pytest.fixture
def mark():
    mark = new_mark()
    yield mark
    kill_all(processes_with(mark))  # whatever a failing test (or a control) left behind


# The escapees of escapees(): one in the background, one in a new session,
# one holding standard output.
ESCAPEES = 3


def escapees(mark: str) -> str:
    """A script leaving processes behind in every way a shell can: in the
    background, in a new session after a double fork, and one that keeps
    standard output open. It prints when they are all started."""
    return (
        f"sleep {mark} </dev/null >/dev/null 2>&1 & "
        f"setsid sh -c 'sleep {mark} </dev/null >/dev/null 2>&1 &' ; "
        f"sleep {mark} & "
        f"echo started"
    )


def after_go(go: pathlib.Path, then: str) -> str:
    """Waits for the test to create `go` (so that it has seen every escapee
    alive), then runs `then`."""
    return f"; while [ ! -e {go} ]; do sleep 0.02; done; {then}"


def readable(directory: pathlib.Path) -> Policy:
    """CONTAINED, with `directory` (where the go file appears) readable."""
    return Policy(network="disabled", filesystem=[(str(directory), ["read"])])


class TestNothingOutlivesTheRun:
    # Each case waits until every escapee runs before the run is ended, then
    # finds none left.

    async def test_a_normal_exit(self, mark, tmp_path):
        go = tmp_path / "go"
        started = time.monotonic()
        command = shell(escapees(mark) + after_go(go, "exit 3"), timeout=30)
        pending = asyncio.ensure_future(run(command, policy=readable(tmp_path)))
        await all_alive(mark, ESCAPEES)
        go.touch()
        result = await pending
        # The descendant holding standard output does not hold the run back
        # until its time limit: it dies with the program.
        assert result.termination == "exited"
        assert result.exit_code == 3
        assert result.stdout == b"started\n"
        assert time.monotonic() - started < 10
        assert gone_within(mark, 1.0)

    async def test_control_uncontained_escapees_survive(self, mark, tmp_path):
        # The same script, uncontained: its group is killed at the time limit,
        # but the escapee in a new session lives on.
        result = await run(shell(escapees(mark) + "; exit 3", timeout=2))
        try:
            assert result.termination == "timed_out"  # the descendant held standard output
            assert len(processes_with(mark)) >= 1
        finally:
            kill_all(processes_with(mark))

    @pytest.mark.parametrize("how", ["timeout", "cancel", "output_limit"])
    async def test_a_run_stopped_by_the_supervisor(self, mark, tmp_path, how):
        go = tmp_path / "go"
        token = CancellationToken()
        then = "yes" if how == "output_limit" else f"sleep {mark}"
        command = shell(escapees(mark) + after_go(go, then),
                        timeout=3 if how == "timeout" else 30, max_stdout_bytes=1 << 16)
        pending = asyncio.ensure_future(run(command, policy=readable(tmp_path), cancellation=token))
        await all_alive(mark, ESCAPEES)
        assert not pending.done()
        if how == "cancel":
            token.cancel()
        else:
            go.touch()
        result = await pending
        expected = {"timeout": "timed_out", "cancel": "cancelled", "output_limit": "stdout_limit_exceeded"}
        assert result.termination == expected[how]
        assert gone_within(mark, 1.0)

    @pytest.mark.parametrize("how", ["exit", "aclose", "timeout", "drop"])
    async def test_a_stream(self, mark, tmp_path, how):
        go = tmp_path / "go"
        script = escapees(mark) + after_go(go, "exit 0" if how == "exit" else f"sleep {mark}")
        events = await stream(shell(script, timeout=3 if how == "timeout" else 30), policy=readable(tmp_path))
        await all_alive(mark, ESCAPEES)
        go.touch()
        async for event in events:
            if event.kind == "exited":
                assert how in ("exit", "timeout")
            if event.kind == "stdout" and how in ("aclose", "drop"):
                break
        if how == "aclose":
            assert (await events.aclose()).termination == "cancelled"
        elif how == "drop":
            del events
        assert gone_within(mark, 2.0)

    def test_the_supervisor_killed_outright(self, mark, tmp_path):
        require_pid_namespace()
        host = tmp_path / "host.py"
        host.write_text(
            textwrap.dedent(
                f"""
                import asyncio, sys
                from quellar import Command, Policy, run
                async def main():
                    command = Command(["/bin/sh", "-c", {escapees(mark) + f"; sleep {mark}"!r}], timeout=60)
                    pending = asyncio.ensure_future(run(command, policy=Policy(network="disabled")))
                    while True:
                        await asyncio.sleep(0.05)
                asyncio.run(main())
                """
            )
        )
        host_process = subprocess.Popen([sys.executable, str(host)])
        try:
            deadline = time.monotonic() + 10
            while len(processes_with(mark)) < 4 and time.monotonic() < deadline:
                time.sleep(0.02)
            assert len(processes_with(mark)) == 4
        finally:
            host_process.kill()
            host_process.wait()
        assert gone_within(mark, 2.0)


class TestNoWayIntoTheCallersSession:
    async def test_no_process_group_of_the_callers_session(self):
        # The caller's own group, as a descendant would name it to survive a
        # group kill. Outside the run's session it cannot be joined.
        join = Command(
            ["/usr/bin/python3", "-c", f"import os; os.setpgid(0, {os.getpgrp()}); print('joined')"]
        )
        inside = await run(join, policy=CONTAINED)
        assert b"PermissionError" in inside.stderr
        assert inside.stdout == b""
        uncontained = await run(join)  # control: the same join works from the caller's session
        assert uncontained.stdout == b"joined\n", uncontained.stderr
        outside = await run(Command(["/bin/sh", "-c", "exec /usr/bin/python3 -c \"import os; print(os.getsid(0))\""]))
        assert int(outside.stdout) == os.getsid(0)  # control: uncontained runs share it

    async def test_the_program_leads_its_own_session(self):
        result = await run(
            Command(["/usr/bin/python3", "-c", "import os; print(os.getpid(), os.getpgrp(), os.getsid(0))"]),
            policy=CONTAINED,
        )
        pid, group, session = map(int, result.stdout.split())
        assert pid == group == session


class TestTheLauncherIsOutOfReach:
    async def test_a_write_grant_holding_the_launcher_is_refused(self, tmp_path):
        package = pathlib.Path(quellar.__file__).parent
        marker = tmp_path / "ran"
        for granted in (package, package.parent):
            policy = Policy(filesystem=[(str(granted), ["read", "write"])])
            with pytest.raises(SupervisorError) as caught:
                await run(Command(["/usr/bin/touch", str(marker)]), policy=policy)
            assert caught.value.code == "spawn_failed"
            assert not marker.exists()
        # Read access to it is harmless.
        policy = Policy(filesystem=[(str(package), ["read"]), (str(tmp_path), ["write"])])
        assert (await run(Command(["/usr/bin/touch", str(marker)]), policy=policy)).success
