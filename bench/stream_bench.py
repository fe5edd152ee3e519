"""quellar.stream against asyncio's subprocess streams, in one process and one run.

    .venv/bin/python bench/stream_bench.py [--quick]

(a) a child writing 256 MiB to standard output (dd with 1 MiB blocks), read
    to the end and counted: through quellar.stream() (every "stdout" event),
    and through asyncio.create_subprocess_exec with its StreamReader read in
    8192-byte chunks. MB/s, events (chunks handed to Python code) per second,
    and the CPU time this process (every thread of it) spends per MB. Best of
    three runs each, the two alternating.
(b) a child that ignores SIGTERM, streamed with a 0.5 s time limit: the time
    from the deadline to the "exited" event (the graceful stop waits 125 ms,
    sends SIGTERM, waits 125 ms more, then kills). Median of several.

The table is Markdown; "ratio" is quellar's advantage over asyncio.
"""

import argparse
import asyncio
import statistics
import sys
import time

import quellar
from measure import MIB, Measure

CHUNK = 8192


def dd(mib):
    return ["/bin/dd", "if=/dev/zero", "bs=1M", f"count={mib}", "status=none"]


async def through_quellar(argv, size):
    command = quellar.Command(argv, timeout=600, max_stdout_bytes=size + MIB)
    received = events = 0
    async for event in await quellar.stream(command):
        if event.kind == "stdout":
            received += len(event.data)
            events += 1
        elif event.kind == "exited":
            assert event.result.success, event.result
    return received, events


async def through_asyncio(argv, size):
    process = await asyncio.create_subprocess_exec(
        *argv,
        stdin=asyncio.subprocess.DEVNULL,
        stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.DEVNULL,
    )
    received = events = 0
    while chunk := await process.stdout.read(CHUNK):
        received += len(chunk)
        events += 1
    assert await process.wait() == 0
    return received, events


async def throughput(mib, rounds):
    size = mib * MIB
    best = {}
    for _ in range(rounds):
        for name, once in [("quellar", through_quellar), ("asyncio", through_asyncio)]:
            with Measure() as m:
                received, events = await once(dd(mib), size)
            assert received == size, (name, received)
            row = (size / 1e6 / m.wall, events / m.wall, m.cpu / (size / 1e6), events)
            if name not in best or row[0] > best[name][0]:
                best[name] = row
    return best


async def deadline_to_exit(repeats):
    deadline = 0.5
    argv = ["/bin/sh", "-c", "trap '' TERM; while :; do sleep 1; done"]
    late = []
    for _ in range(repeats):
        started = time.perf_counter()
        async for event in await quellar.stream(quellar.Command(argv, timeout=deadline)):
            if event.kind == "exited":
                assert event.result.termination == "timed_out", event.result
                late.append(time.perf_counter() - started - deadline)
    return statistics.median(late), min(late), max(late)


def table(rows, mib, late, repeats):
    q, a = rows["quellar"], rows["asyncio"]
    lines = [
        "| measurement | quellar.stream | asyncio StreamReader | ratio vs asyncio |",
        "|---|---:|---:|---:|",
        f"| (a) {mib} MiB through the pipe: MB/s | {q[0]:,.0f} | {a[0]:,.0f} | {q[0] / a[0]:.2f}× |",
        f"| (a) events (chunks) per second | {q[1]:,.0f} | {a[1]:,.0f} | {q[1] / a[1]:.2f}× |",
        f"| (a) chunks handed to Python | {q[3]:,} | {a[3]:,} | |",
        f"| (a) CPU of this process per MB | {q[2] * 1e3:,.2f} ms | {a[2] * 1e3:,.2f} ms "
        f"| {a[2] / q[2]:.2f}× |",
        f"| (b) 0.5 s deadline to \"exited\", SIGTERM ignored: median (min–max of {repeats}) "
        f"| {late[0] * 1e3:,.0f} ms ({late[1] * 1e3:,.0f}–{late[2] * 1e3:,.0f}) | | |",
    ]
    return "\n".join(lines)


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="less data, fewer runs")
    args = parser.parse_args()
    mib, rounds, repeats = (32, 1, 3) if args.quick else (256, 3, 7)
    print(f"python {sys.version.split()[0]}", file=sys.stderr)
    rows = await throughput(mib, rounds)
    late = await deadline_to_exit(repeats)
    print(table(rows, mib, late, repeats))


if __name__ == "__main__":
    asyncio.run(main())
