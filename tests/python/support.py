"""Helpers shared by the suites: real processes observed through /proc."""

import asyncio
import os
import pathlib
import time

from quellar import Command


def process_gone(pid: int, within: float = 5.0) -> bool:
    """Whether `pid` has stopped running within `within` seconds. A zombie
    counts as stopped: after its parent exits, reaping it is up to init, which
    a container does not always do promptly."""
    deadline = time.monotonic() + within
    while True:
        try:
            stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
        except (FileNotFoundError, ProcessLookupError):
            return True
        # The state follows the parenthesised command name.
        if stat.rpartition(")")[2].split()[0] in ("Z", "X"):
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)


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
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if loop._ready or loop._selector.select(0):
            return True
        time.sleep(0.005)
    return False


def shell(script: str, **kwargs) -> Command:
    """A Command running `script` with /bin/sh."""
    return Command(["/bin/sh", "-c", script], **kwargs)


def open_fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))
