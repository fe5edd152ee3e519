"""A soak of quellar: mixed runs and streams, every way of stopping them.

    .venv/bin/python bench/soak.py [--operations 10000] [--in-flight 64] [--rounds 3]

Each round starts `operations` runs and streams, `in-flight` at a time,
drawn in turn from the kinds below: runs and streams that end on their own,
with output, input, a limit or a start error, and every way of stopping one
(its timeout, its token, its task cancelled, asyncio.wait_for, a token
cancelled before the call, a stream closed, dropped unclosed, left by a
`break`, or its iterating task cancelled). Once per round, an event loop in
another thread is closed with runs still in flight.

Before and after each round it prints this process's open descriptors, its
children, its threads and its resident memory. After the first round (which
starts the runtime's threads and fills the allocator's pools) the numbers
are expected to come back to the same values round after round; any kind
whose result was not the expected one is counted as a failure, and the
script exits non-zero.
"""

import argparse
import asyncio
import collections
import gc
import os
import sys
import threading
import time

import quellar
from quellar import CancellationToken, Command, SupervisorError

SLEEP = ["/bin/sleep", "10"]
YES = Command(["/usr/bin/yes"], max_stdout_bytes=1 << 40)


def sh(script, **kwargs):
    return Command(["/bin/sh", "-c", script], **kwargs)


# --- the state of this process ------------------------------------------------


def children():
    """Processes whose parent is this process, zombies included."""
    me = str(os.getpid())
    count = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rpartition(")")[2].split()
        except OSError:
            continue
        if fields[1] == me:
            count += 1
    return count


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def snapshot():
    gc.collect()
    return {
        "fds": len(os.listdir("/proc/self/fd")),
        "children": children(),
        "threads": len(os.listdir("/proc/self/task")),
        "rss": rss_mib(),
    }


def settled(baseline, within=10.0):
    """The state once the children of the round are gone (they are killed at
    once, but reaping them takes a moment), or after `within` seconds."""
    deadline = time.monotonic() + within
    while True:
        state = snapshot()
        if state["children"] <= baseline["children"] or time.monotonic() > deadline:
            return state
        time.sleep(0.05)


def show(label, state):
    return (f"{label}: fds {state['fds']}, children {state['children']}, "
            f"threads {state['threads']}, RSS {state['rss']:.1f} MiB")


# --- the kinds ------------------------------------------------------------------


async def run_true():
    result = await quellar.run(Command(["/bin/true"]))
    return result.success


async def run_output():
    result = await quellar.run(sh("echo out; echo err >&2; exit 3"))
    return (result.stdout, result.stderr, result.exit_code) == (b"out\n", b"err\n", 3)


async def run_input():
    data = os.urandom(100_000)
    command = Command(["/bin/cat"], max_stdin_bytes=200_000, max_stdout_bytes=200_000)
    result = await quellar.run(command, input=data)
    return result.stdout == data


async def run_limit():
    result = await quellar.run(Command(["/usr/bin/head", "-c", "100000", "/dev/zero"], max_stdout_bytes=1000))
    return result.termination == "stdout_limit_exceeded" and len(result.stdout) == 1000


async def run_timeout():
    result = await quellar.run(Command(SLEEP, timeout=0.05))
    return result.termination == "timed_out"


async def run_token_cancel():
    token = CancellationToken()
    asyncio.get_running_loop().call_later(0.02, token.cancel)
    result = await quellar.run(Command(SLEEP), cancellation=token)
    return result.termination == "cancelled"


async def run_token_cancelled_before():
    token = CancellationToken()
    token.cancel()
    result = await quellar.run(Command(SLEEP), cancellation=token)
    return result.termination == "cancelled"


async def run_task_cancel():
    task = asyncio.ensure_future(quellar.run(Command(SLEEP)))
    await asyncio.sleep(0.02)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        return True
    return False


async def run_wait_for():
    try:
        await asyncio.wait_for(quellar.run(Command(SLEEP)), 0.02)
    except asyncio.TimeoutError:
        return True
    return False


async def run_invalid():
    try:
        await quellar.run(Command(["relative/program"]))
    except SupervisorError as error:
        return error.code == "relative_executable"
    return False


async def run_missing():
    try:
        await quellar.run(Command(["/nonexistent/program"]))
    except SupervisorError as error:
        return error.code == "invalid_executable"
    return False


async def stream_to_the_end():
    lines = b""
    last = None
    async for event in await quellar.stream(Command(["/usr/bin/seq", "1", "200"])):
        if event.kind == "stdout":
            lines += event.data
        last = event
    return last.kind == "exited" and lines == b"".join(b"%d\n" % i for i in range(1, 201))


async def stream_captured():
    last = None
    async for event in await quellar.stream(sh("echo out; echo err >&2"), capture=True):
        last = event
    result = last.result
    return result is not None and result.stdout == b"out\n" and result.stderr == b"err\n"


async def stream_timeout():
    last = None
    async for event in await quellar.stream(Command(SLEEP, timeout=0.05)):
        last = event
    return last.kind == "exited" and last.result.termination == "timed_out"


async def stream_closed():
    output = await quellar.stream(YES)
    await output.__anext__()  # started
    await output.__anext__()  # some output
    await output.aclose()
    return True


async def stream_dropped():
    output = await quellar.stream(YES)
    await output.__anext__()
    del output  # never closed: the consumer goes, the stream stops its child
    return True


async def stream_break():
    async for event in await quellar.stream(YES):
        if event.kind == "stdout":
            break
    return True


async def stream_task_cancel():
    output = await quellar.stream(YES)

    async def consume():
        async for _ in output:
            pass

    task = asyncio.ensure_future(consume())
    await asyncio.sleep(0.01)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass
    await output.aclose()
    return True


async def stream_token_cancel():
    token = CancellationToken()
    output = await quellar.stream(Command(SLEEP), cancellation=token)
    asyncio.get_running_loop().call_later(0.02, token.cancel)
    last = None
    async for event in output:
        last = event
    return last.kind == "exited" and last.result.termination == "cancelled"


KINDS = [
    run_true, run_true, run_true, run_output, run_output, run_input, run_limit,
    run_timeout, run_token_cancel, run_token_cancelled_before, run_task_cancel, run_wait_for,
    run_invalid, run_missing,
    stream_to_the_end, stream_to_the_end, stream_captured, stream_timeout, stream_closed,
    stream_dropped, stream_break, stream_task_cancel, stream_token_cancel,
]


def close_a_loop_with_runs_in_flight(count=16):
    """Runs started on a loop that is then closed: its runs are cancelled
    (their children killed) rather than left to their timeouts."""
    loop = asyncio.new_event_loop()

    async def start():
        return [quellar.run(Command(SLEEP)) for _ in range(count)]

    futures = loop.run_until_complete(start())
    loop.close()
    del futures


async def soak_round(operations, in_flight):
    gate = asyncio.Semaphore(in_flight)
    outcomes = collections.Counter()

    async def one(kind):
        async with gate:
            try:
                good = await kind()
            except Exception as error:  # noqa: BLE001 — counted, shown below
                good = False
                outcomes[f"{kind.__name__}: {type(error).__name__}: {error}"] += 1
            outcomes[(kind.__name__, good)] += 1

    closer = threading.Thread(target=close_a_loop_with_runs_in_flight)
    closer.start()
    await asyncio.gather(*(one(KINDS[i % len(KINDS)]) for i in range(operations)))
    closer.join()
    return outcomes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--operations", type=int, default=10_000)
    parser.add_argument("--in-flight", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    print(f"python {sys.version.split()[0]}: {args.rounds} rounds of {args.operations:,} "
          f"operations, {args.in_flight} in flight")
    failures = 0
    baseline = snapshot()
    for number in range(1, args.rounds + 1):
        before = snapshot()
        started = time.monotonic()
        outcomes = asyncio.run(soak_round(args.operations, args.in_flight))
        elapsed = time.monotonic() - started
        after = settled(baseline)
        bad = {key: n for key, n in outcomes.items() if not (isinstance(key, tuple) and key[1])}
        failures += sum(n for key, n in bad.items() if isinstance(key, tuple))
        print(f"round {number} ({elapsed:.1f} s, {args.operations / elapsed:,.0f} operations/s)")
        print("  " + show("before", before))
        print("  " + show("after ", after))
        for key, n in sorted(bad.items(), key=str):
            print(f"  not as expected: {key} x{n}")
    if failures:
        print(f"{failures} operations did not end as expected")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
