"""The `quellar` command line as a shell runs it: a real process whose exit
status, output streams, containment options and Ctrl-C are checked from
outside."""

import json
import os
import signal
import subprocess
import sys
import time
from importlib import metadata

import pytest

from quellar import platform_capabilities
from support import all_pids, kill_all, proc_stat, process_gone, processes_running

QUELLAR = [sys.executable, "-m", "quellar"]


def quellar(*args: str, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([*QUELLAR, *args], capture_output=True, timeout=60, **kwargs)


def group_members(pgid: int) -> list[int]:
    """The pids of the live processes in process group `pgid`."""
    members = []
    for pid in all_pids():
        fields = proc_stat(pid)
        if fields is not None and int(fields[2]) == pgid and fields[0] not in ("Z", "X"):
            members.append(pid)
    return members


class TestExitStatus:
    @pytest.mark.parametrize(
        "program, status",
        [
            (["/bin/sh", "-c", "exit 0"], 0),
            (["/bin/sh", "-c", "exit 7"], 7),
            (["/bin/sh", "-c", "kill -KILL $$"], 128 + signal.SIGKILL),
            (["/bin/sh", "-c", "kill -TERM $$"], 128 + signal.SIGTERM),
            # A bare name, found on quellar's own PATH.
            (["sh", "-c", "exit 3"], 3),
        ],
    )
    def test_the_programs_status(self, program, status):
        assert quellar("run", "--", *program).returncode == status

    def test_time_limit_gives_124_and_stops_the_program(self):
        started = time.monotonic()
        result = quellar("run", "--timeout", "0.3", "--", "/bin/sleep", "30")
        assert result.returncode == 124
        assert time.monotonic() - started < 10

    @pytest.mark.parametrize(
        "args, code",
        [
            # The library takes absolute paths only; quellar looks up bare names.
            (["run", "--", "./configure"], "relative_executable"),
            (["run", "--", "/nonexistent/program"], "invalid_executable"),
            (["run", "--env", "LD_PRELOAD=/x.so", "--", "/bin/true"], "forbidden_environment_variable"),
        ],
    )
    def test_supervisor_error_gives_125_and_one_line(self, args, code):
        result = quellar(*args)
        assert result.returncode == 125
        assert result.stdout == b""
        lines = result.stderr.decode().splitlines()
        assert len(lines) == 1 and lines[0].startswith(f"quellar: {code}: ")

    def test_output_limit_gives_125_after_at_most_the_limit(self):
        result = quellar("run", "--max-output", "1000", "--", "/usr/bin/yes")
        assert result.returncode == 125
        assert 0 < len(result.stdout) <= 1000
        assert result.stderr.decode().startswith("quellar: output_too_large: ")

    def test_program_not_on_path_gives_127(self):
        result = quellar("run", "--", "no-such-program-quellar")
        assert result.returncode == 127
        assert b"not found on PATH" in result.stderr

    @pytest.mark.parametrize(
        "args",
        [
            [],
            ["run"],
            ["run", "--"],
            ["frobnicate"],
            ["run", "--timeout", "0", "--", "/bin/true"],
            ["run", "--timeout", "soon", "--", "/bin/true"],
            ["run", "--max-output", "0", "--", "/bin/true"],
            ["run", "--network", "off", "--", "/bin/true"],
            ["run", "--env", "NO_EQUALS_SIGN", "--", "/bin/true"],
        ],
    )
    def test_usage_errors_give_2(self, args):
        result = quellar(*args)
        assert result.returncode == 2
        assert b"usage:" in result.stderr


class TestOutput:
    def test_each_stream_to_its_own_in_order(self):
        # Interleaved small writes: each line must come out on its own stream,
        # none lost or reordered within it.
        script = "i=0; while [ $i -lt 300 ]; do echo out$i; echo err$i >&2; i=$((i+1)); done"
        result = quellar("run", "--", "/bin/sh", "-c", script)
        assert result.returncode == 0
        assert result.stdout.decode().splitlines() == [f"out{i}" for i in range(300)]
        assert result.stderr.decode().splitlines() == [f"err{i}" for i in range(300)]

    def test_everything_after_the_program_is_its_own(self):
        result = quellar("run", "--", "/bin/echo", "--timeout", "--", "-x")
        assert result.stdout == b"--timeout -- -x\n"
        result = quellar("run", "/bin/echo", "--network", "disabled")
        assert result.stdout == b"--network disabled\n"

    def test_bytes_pass_unchanged_and_stdin_is_closed(self, tmp_path):
        data = bytes(range(256)) * 256
        (tmp_path / "data").write_bytes(data)
        result = quellar("run", "--", "/bin/cat", str(tmp_path / "data"))
        assert result.stdout == data
        # The program's standard input is closed, whatever quellar's is.
        result = quellar("run", "--", "/bin/cat", input=b"not for the program")
        assert result.returncode == 0 and result.stdout == b""

    def test_environment_is_only_what_is_asked(self):
        env = {**os.environ, "QUELLAR_TEST_KEPT": "kept", "QUELLAR_TEST_DROPPED": "dropped"}
        result = quellar("run", "--env", "A=1=2", "--inherit-env", "QUELLAR_TEST_KEPT",
                         "--", "/usr/bin/env", env=env)
        assert sorted(result.stdout.decode().splitlines()) == ["A=1=2", "QUELLAR_TEST_KEPT=kept"]

    def test_capabilities_and_version(self):
        result = quellar("capabilities")
        assert result.returncode == 0
        assert json.loads(result.stdout) == platform_capabilities()
        result = quellar("--version")
        assert result.stdout.decode().split() == ["quellar", metadata.version("quellar")]


class TestInterrupt:
    @pytest.mark.parametrize(
        "signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)]
    )
    def test_a_stop_signal_stops_the_group_gracefully_then_gives_128_plus_it(self, tmp_path, signum, status):
        marker = tmp_path / "terminated"
        # The shell leads the group and has a child in it; its trap shows that
        # the group got SIGTERM before any SIGKILL.
        script = f"trap 'echo > {marker}; exit 0' TERM; echo $$; /bin/sleep 60 & wait"
        process = subprocess.Popen([*QUELLAR, "run", "--", "/bin/sh", "-c", script],
                                   stdout=subprocess.PIPE)
        try:
            # The line arrives while the program still runs: output is live.
            pgid = int(process.stdout.readline())
            deadline = time.monotonic() + 5
            while len(group_members(pgid)) < 2 and time.monotonic() < deadline:
                time.sleep(0.01)
            members = group_members(pgid)
            assert len(members) == 2
            process.send_signal(signum)
            assert process.wait(timeout=10) == status
        finally:
            process.kill()
            process.wait()
        assert marker.exists()
        assert all(process_gone(pid) for pid in members)

    def test_a_reader_gone_stops_the_program_and_gives_141(self):
        # `quellar run -- yes | head -1`: once the reader of quellar's output
        # is gone, the program is stopped and quellar exits as a writer killed
        # by SIGPIPE would.
        mark = f"quellar-pipeline-{os.getpid()}-{time.monotonic_ns()}"
        process = subprocess.Popen([*QUELLAR, "run", "--", "/bin/sh", "-c", f"exec /usr/bin/yes {mark}"],
                                   stdout=subprocess.PIPE)
        try:
            assert process.stdout.readline() == f"{mark}\n".encode()
            assert processes_running("/usr/bin/yes", mark)
            process.stdout.close()  # as head does after its line
            assert process.wait(timeout=10) == 128 + signal.SIGPIPE
            assert [pid for pid in processes_running("/usr/bin/yes", mark) if not process_gone(pid)] == []
        finally:
            process.kill()
            process.wait()
            kill_all(processes_running("/usr/bin/yes", mark))


@pytest.mark.skipif(
    not (platform_capabilities()["filesystem_isolation"] and platform_capabilities()["network_isolation"]),
    reason="no containment on this host",
)
class TestContainment:
    def test_write_grant_and_network_off(self, tmp_path):
        work = tmp_path / "work"
        work.mkdir()
        shared = tmp_path / "shared"
        shared.mkdir()
        (shared / "input").write_text("input\n")
        secret = tmp_path / "secret"
        secret.write_text("secret\n")
        script = """
            cat "$1/input" > made && echo wrote
            cat "$2" || echo read-refused
            echo x > "$2.copy" || echo write-refused
            echo x > "$1/input" || echo grant-read-only
            /usr/bin/python3 -c 'import socket; socket.socket()' 2>/dev/null || echo socket-refused
        """
        # Relative paths, from quellar's working directory.
        result = quellar("run", "--network", "disabled", "--write", "work", "--read", "shared",
                         "--cwd", "work", "--", "/bin/sh", "-c", script, "sh", str(shared), str(secret),
                         cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode().split() == [
            "wrote", "read-refused", "write-refused", "grant-read-only", "socket-refused"]
        assert (work / "made").read_text() == "input\n"
        assert not (tmp_path / "secret.copy").exists()
