"""Helpers shared by the suites: real processes observed through /proc."""

import asyncio
import os
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest

import quellar
from quellar import Command

# The group leader records its pid and a background member's pid, then
# waits: killing only the leader would leave the member running.
GROUP_SCRIPT = 'sleep 30 & echo "$$ $!" > "$0"; wait'

linux_launcher = pytest.mark.skipif(
    sys.platform != "linux" or not quellar.platform_capabilities()["filesystem_isolation"],
    reason="needs the Linux launcher with Landlock",
)


def require_pid_namespace() -> None:
    """Skips the calling test where the launcher gets no PID namespace (and
    so no init of its own that takes a run's processes with it)."""
    if not quellar.platform_capabilities()["parent_death_cleanup"]:
        pytest.skip("this host gives no PID namespace to the launcher")


def proc_stat(pid: int) -> list[str] | None:
    """The fields of /proc/<pid>/stat after the parenthesised command name
    (state, ppid, pgrp, session, ...), or None once the pid is gone."""
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return stat.rpartition(")")[2].split()


def all_pids() -> list[int]:
    """The pids /proc lists now (some may be gone by the time they are read)."""
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]


def processes_running(*argv: str) -> list[int]:
    """The running processes whose command line starts with `argv` (whole
    arguments), zombies excluded."""
    prefix = "\0".join(argv).encode() + b"\0"
    found = []
    for pid in all_pids():
        try:
            cmdline = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
        except OSError:
            continue
        if cmdline.startswith(prefix) and running(pid):
            found.append(pid)
    return found


def running(pid: int) -> bool:
    """Whether `pid` exists and is neither a zombie nor dead."""
    fields = proc_stat(pid)
    return fields is not None and fields[0] not in ("Z", "X")


def eventually(condition, within: float, step: float = 0.02) -> bool:
    """Whether `condition()` holds within `within` seconds, asked every
    `step` seconds (holding the calling thread)."""
    deadline = time.monotonic() + within
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def process_gone(pid: int, within: float = 5.0) -> bool:
    """Whether `pid` has stopped running within `within` seconds. A zombie
    counts as stopped: after its parent exits, reaping it is up to init, which
    a container does not always do promptly."""
    return eventually(lambda: not running(pid), within)


def kill_all(pids) -> None:
    """SIGKILL for whatever of `pids` still runs (cleanup after a failure)."""
    for pid in pids:
        if running(pid):
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass


def recorded_pids(path: pathlib.Path) -> list[int]:
    """The pids written to `path`, whitespace separated (none if absent)."""
    return [int(pid) for pid in path.read_text().split()] if path.exists() else []


async def wait_for_file(path: pathlib.Path, within: float = 5.0) -> str:
    """The content of `path` once it is non-empty and ends with a newline."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if path.exists():
            text = path.read_text()
            if text.endswith("\n"):
                return text
        await asyncio.sleep(0.01)
    raise AssertionError(f"{path} was not written within {within} s")


def delivery_arrived(loop: asyncio.AbstractEventLoop, within: float = 10.0) -> bool:
    """Holds the calling thread (the loop's own, kept busy, or another) until
    something has been handed to `loop` to run: a callback queued, or a
    descriptor it watches ready (quellar rings one). Reads private but
    long-stable attributes of asyncio's selector loops; consumes nothing."""
    return eventually(lambda: bool(loop._ready or loop._selector.select(0)), within, 0.005)


def shell(script: str, **kwargs) -> Command:
    """A Command running `script` with /bin/sh."""
    return Command(["/bin/sh", "-c", script], **kwargs)


def open_fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def run_python(script: str, *args: str, timeout: float = 30) -> subprocess.CompletedProcess:
    """Runs `script` (dedented) in a fresh interpreter, text captured."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def check_clean_exit(result: subprocess.CompletedProcess, pids: pathlib.Path) -> None:
    """The interpreter exited quietly, and the group whose leader and member
    were recorded in `pids` went with it."""
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    members = [int(pid) for pid in pids.read_text().split()]
    assert len(members) == 2
    for pid in members:
        assert process_gone(pid), f"{pid} outlived its supervisor"
