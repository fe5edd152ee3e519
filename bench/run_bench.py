"""quellar.run against the standard library, in one process and one run.

    .venv/bin/python bench/run_bench.py [--quick]

(a) sequential /bin/true: wall time per run, and the CPU time this process
    (every thread of it, quellar's runtime included) spends per run;
(b) 2,000 runs of /bin/true with 64 in flight: runs per second;
(c) capture of 256 MiB written by dd with 1 MiB blocks: MB/s;
(d) a 0.2 s timeout on `sleep 10`: how late the result arrives.

The table is Markdown; "ratio" is quellar's advantage over asyncio (higher
is better for quellar in every row). Below it, where quellar's CPU of (a)
goes (the event loop's thread, the runtime's threads) and what bounds (b)
on this machine: each run's own process needs CPU too, and the cores are
shared.
"""

import argparse
import asyncio
import collections
import concurrent.futures
import os
import resource
import statistics
import subprocess
import sys
import threading
import time

import quellar
from measure import MIB, Measure

TRUE = "/bin/true"


# --- the three ways of running a command -----------------------------------


async def quellar_run(argv, timeout=30.0, max_stdout=65536):
    result = await quellar.run(quellar.Command(argv, timeout=timeout, max_stdout_bytes=max_stdout))
    return result.stdout


async def asyncio_run(argv, timeout=None):
    process = await asyncio.create_subprocess_exec(
        *argv,
        stdin=asyncio.subprocess.DEVNULL,
        stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.PIPE,
    )
    try:
        stdout, _ = await asyncio.wait_for(process.communicate(), timeout)
    except asyncio.TimeoutError:
        process.kill()
        await process.wait()
        return None
    return stdout


def subprocess_run(argv, timeout=None):
    try:
        return subprocess.run(argv, capture_output=True, timeout=timeout).stdout
    except subprocess.TimeoutExpired:
        return None


# --- (a) sequential ------------------------------------------------------------


def thread_cpu():
    """CPU seconds of each thread of this process (the scheduler's nanosecond
    count), by thread id, with the thread's name."""
    seconds = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as stat:
                cpu = int(stat.read().split()[0]) / 1e9
            with open(f"/proc/self/task/{tid}/comm") as comm:
                name = comm.read().strip()
        except OSError:
            continue
        seconds[int(tid)] = (name, cpu)
    return seconds


async def sequential(count):
    rows = {}
    split = None
    for name, once in [
        ("quellar", lambda: quellar_run([TRUE])),
        ("asyncio", lambda: asyncio_run([TRUE])),
    ]:
        for _ in range(20):  # warm-up: runtime threads, caches
            await once()
        threads_before = thread_cpu()
        with Measure() as m:
            for _ in range(count):
                await once()
        rows[name] = (m.wall / count, m.cpu / count)
        if name == "quellar":
            split = collections.Counter()
            for tid, (thread, cpu) in thread_cpu().items():
                if tid == threading.get_native_id():
                    thread = "loop"
                split[thread] += (cpu - threads_before.get(tid, (thread, 0.0))[1]) / count
    for _ in range(20):
        subprocess_run([TRUE])
    with Measure() as m:
        for _ in range(count):
            subprocess_run([TRUE])
    rows["subprocess"] = (m.wall / count, m.cpu / count)
    split["asyncio alone"] = await loop_wake(count)
    return rows, split


async def loop_wake(count):
    """What asyncio alone needs of the loop's thread to wake a task from
    another thread, as quellar's runtime does: a future awaited by the task,
    set from a reader callback that the other thread's write to an eventfd
    runs. CPU seconds of the loop's thread per wake-up."""
    loop = asyncio.get_running_loop()
    bell = os.eventfd(0, os.EFD_NONBLOCK)
    go = threading.Semaphore(0)
    waiting = []

    def ringer():
        for _ in range(count):
            go.acquire()
            os.eventfd_write(bell, 1)

    def rung():
        os.eventfd_read(bell)
        waiting.pop().set_result(None)

    loop.add_reader(bell, rung)
    threading.Thread(target=ringer, daemon=True).start()
    me = threading.get_native_id()
    before = thread_cpu()[me][1]
    for _ in range(count):
        future = loop.create_future()
        waiting.append(future)
        go.release()
        await future
    used = thread_cpu()[me][1] - before
    loop.remove_reader(bell)
    os.close(bell)
    return used / count


# --- (b) concurrent -----------------------------------------------------------


async def concurrent_async(once, total, in_flight):
    gate = asyncio.Semaphore(in_flight)

    async def one():
        async with gate:
            await once()

    with Measure() as m:
        await asyncio.gather(*(one() for _ in range(total)))
    return total / m.wall


def concurrent_threads(total, in_flight):
    with concurrent.futures.ThreadPoolExecutor(in_flight) as pool:
        with Measure() as m:
            list(pool.map(lambda _: subprocess_run([TRUE]), range(total)))
    return total / m.wall


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


async def in_flight_runs(total, in_flight):
    children_before = children_cpu()
    with Measure() as m:
        quellar_rate = await concurrent_async(lambda: quellar_run([TRUE]), total, in_flight)
    # The children's CPU of the quellar runs (their processes are reaped,
    # so counted), and this process's own.
    costs = ((children_cpu() - children_before) / total, m.cpu / total)
    return {
        "quellar": quellar_rate,
        "asyncio": await concurrent_async(lambda: asyncio_run([TRUE]), total, in_flight),
        "subprocess": await asyncio.to_thread(concurrent_threads, total, in_flight),
    }, costs


# --- (c) capture --------------------------------------------------------------


async def capture(mib):
    argv = ["/bin/dd", "if=/dev/zero", "bs=1M", f"count={mib}", "status=none"]
    size = mib * MIB
    rows = {}
    for name, once in [
        ("quellar", lambda: quellar_run(argv, max_stdout=size + MIB)),
        ("asyncio", lambda: asyncio_run(argv)),
        ("subprocess", lambda: asyncio.to_thread(subprocess_run, argv)),
    ]:
        best = 0.0
        for _ in range(3):
            with Measure() as m:
                out = await once()
            assert len(out) == size, (name, len(out))
            del out
            best = max(best, size / 1e6 / m.wall)
        rows[name] = best
    return rows


# --- (d) timeout latency ------------------------------------------------------


async def timeout_lateness(repeats):
    deadline = 0.2
    argv = ["/bin/sleep", "10"]
    rows = {}
    for name, once in [
        ("quellar", lambda: quellar_run(argv, timeout=deadline)),
        ("asyncio", lambda: asyncio_run(argv, timeout=deadline)),
        ("subprocess", lambda: asyncio.to_thread(subprocess_run, argv, deadline)),
    ]:
        late = []
        for _ in range(repeats):
            started = time.perf_counter()
            await once()
            late.append(time.perf_counter() - started - deadline)
        rows[name] = statistics.median(late)
    return rows


# --- report -------------------------------------------------------------------


def table(sequential_rows, concurrent_rows, capture_rows, timeout_rows, count, total, in_flight, mib):
    def us(seconds):
        return f"{seconds * 1e6:,.0f} µs"

    def ms(seconds):
        return f"{seconds * 1e3:,.2f} ms"

    lines = [
        "| measurement | quellar | asyncio | subprocess | ratio vs asyncio |",
        "|---|---:|---:|---:|---:|",
    ]

    def row(label, values, fmt, lower_is_better):
        q, a, s = values["quellar"], values["asyncio"], values["subprocess"]
        ratio = (a / q) if lower_is_better else (q / a)
        lines.append(f"| {label} | {fmt(q)} | {fmt(a)} | {fmt(s)} | {ratio:.2f}× |")

    row(
        f"(a) sequential `/bin/true`, wall per run ({count} runs)",
        {k: v[0] for k, v in sequential_rows.items()},
        us,
        True,
    )
    row(
        "(a) supervising process CPU per run",
        {k: v[1] for k, v in sequential_rows.items()},
        us,
        True,
    )
    row(
        f"(b) {total:,} runs, {in_flight} in flight: runs/s",
        concurrent_rows,
        lambda v: f"{v:,.0f}",
        False,
    )
    row(f"(c) capture {mib} MiB (`dd bs=1M`): MB/s", capture_rows, lambda v: f"{v:,.0f}", False)
    row("(d) result after a 0.2 s timeout: lateness (median)", timeout_rows, ms, True)
    return "\n".join(lines)


def notes(split, costs, concurrent_rows):
    child, own = costs
    cores = os.cpu_count() or 1
    ceiling = cores / (child + own)
    return "\n".join([
        f"(a) quellar's CPU per run: {split['loop'] * 1e6:,.0f} µs on the event loop's thread, "
        f"{split['quellar-block'] * 1e6:,.0f} µs on the blocking-work pool (the start), "
        f"{split['quellar-io'] * 1e6:,.0f} µs on the runtime's workers (the supervision). "
        f"asyncio alone needs {split['asyncio alone'] * 1e6:,.0f} µs of the loop's thread to "
        "wake a task from another thread.",
        f"(b) each `/bin/true` needs {child * 1e6:,.0f} µs of CPU of its own, quellar "
        f"{own * 1e6:,.0f} µs: {cores} cores complete at most {ceiling:,.0f} runs/s "
        f"({ceiling / concurrent_rows['asyncio']:.2f}× asyncio's rate); at quellar's rate "
        f"they were {concurrent_rows['quellar'] / ceiling:.0%} busy.",
    ])


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer runs, smaller capture")
    args = parser.parse_args()
    count, total, in_flight, mib, repeats = (
        (100, 300, 64, 32, 3) if args.quick else (1000, 2000, 64, 256, 7)
    )

    print(f"python {sys.version.split()[0]}, quellar runtime on this host", file=sys.stderr)
    sequential_rows, split = await sequential(count)
    concurrent_rows, costs = await in_flight_runs(total, in_flight)
    capture_rows = await capture(mib)
    timeout_rows = await timeout_lateness(repeats)
    print(table(sequential_rows, concurrent_rows, capture_rows, timeout_rows, count, total, in_flight, mib))
    print()
    print(notes(split, costs, concurrent_rows))


if __name__ == "__main__":
    asyncio.run(main())
