"""The `quellar` command line when its own output cannot be written: a
reader that stopped reading (and a stop signal meanwhile), a full disk."""

import os
import pathlib
import signal
import subprocess
import sys
import time
import uuid

import pytest

from support import process_gone

QUELLAR = [sys.executable, "-m", "quellar"]


def pids_with_argument(marker: str) -> list[int]:
    """The live processes whose command line holds `marker`."""
    pids = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if marker.encode() in (entry / "cmdline").read_bytes().split(b"\0"):
                pids.append(int(entry.name))
        except OSError:
            continue
    return pids


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_stop_signal_while_the_reader_stopped_reading(signum):
    # `quellar run -- yes | sleep 60`: quellar's write to the full pipe blocks.
    marker = f"quellar-test-{uuid.uuid4()}"
    read_end, write_end = os.pipe()
    process = subprocess.Popen([*QUELLAR, "run", "--", "/usr/bin/yes", marker],
                               stdout=write_end, stderr=subprocess.PIPE)
    os.close(write_end)
    try:
        deadline = time.monotonic() + 10
        while not (children := pids_with_argument(marker)) and time.monotonic() < deadline:
            time.sleep(0.02)
        assert children, "the program did not start"
        time.sleep(1.0)  # long enough to fill the pipe nobody reads
        process.send_signal(signum)
        assert process.wait(timeout=10) == 128 + signum
        assert all(process_gone(pid) for pid in children)
        assert b"Traceback" not in process.stderr.read()
    finally:
        process.kill()
        process.wait()
        process.stderr.close()
        os.close(read_end)


def test_a_full_disk_gives_125_and_one_line():
    with open("/dev/full", "wb") as full:
        result = subprocess.run([*QUELLAR, "run", "--", "/bin/echo", "hello"],
                                stdout=full, stderr=subprocess.PIPE, timeout=60)
    assert result.returncode == 125
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quellar: write_failed: cannot write to standard output")

