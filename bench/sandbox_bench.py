"""What containment costs per run, in one process and one run.

    .venv/bin/python bench/sandbox_bench.py [--runs N]

Runs /bin/true sequentially through quellar.run three ways -- uncontained,
with filesystem grants (quellar-sandbox: Landlock and seccomp), and with the
network disabled -- and, for comparison, bubblewrap through asyncio
(`bwrap --ro-bind / / --unshare-net /bin/true`) next to plain asyncio.
Prints a Markdown table; rounds alternate so that drift hits every row.
"""

import argparse
import asyncio
import shutil
import statistics
import sys
import tempfile
import time

import quellar


async def quellar_true(policy):
    result = await quellar.run(quellar.Command(["/bin/true"]), policy=policy)
    if not result.success:
        raise SystemExit(f"contained /bin/true failed: {result.termination} {result.stderr!r}")


async def asyncio_true(argv):
    process = await asyncio.create_subprocess_exec(
        *argv,
        stdin=asyncio.subprocess.DEVNULL,
        stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.PIPE,
    )
    out, err = await process.communicate()
    if process.returncode != 0:
        raise SystemExit(f"{argv[0]} failed: {err!r}")


async def per_run_ms(make, runs):
    start = time.perf_counter()
    for _ in range(runs):
        await make()
    return (time.perf_counter() - start) * 1000 / runs


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    caps = quellar.platform_capabilities()
    if not caps["filesystem_isolation"]:
        raise SystemExit("this host offers no filesystem isolation (launcher or Landlock missing)")
    work = tempfile.mkdtemp(prefix="quellar-bench-")
    grants = quellar.Policy(filesystem=[(work, ["read", "write"])])
    no_network = quellar.Policy(network="disabled")

    rows = {
        "quellar.run, uncontained": lambda: quellar_true(None),
        "quellar.run, filesystem grants (quellar-sandbox)": lambda: quellar_true(grants),
        "quellar.run, network disabled (quellar-sandbox)": lambda: quellar_true(no_network),
        "asyncio, /bin/true": lambda: asyncio_true(["/bin/true"]),
    }
    bwrap = shutil.which("bwrap")
    if bwrap:
        argv = [bwrap, "--ro-bind", "/", "/", "--dev", "/dev", "--unshare-net", "/bin/true"]
        rows["asyncio, bwrap --ro-bind / / --unshare-net"] = lambda: asyncio_true(argv)

    for make in rows.values():  # warm up every path once
        await make()
    samples = {name: [] for name in rows}
    for _ in range(args.rounds):
        for name, make in rows.items():
            samples[name].append(await per_run_ms(make, args.runs))

    base = statistics.median(samples["quellar.run, uncontained"])
    print(f"/bin/true, {args.runs} sequential runs x {args.rounds} rounds (median of rounds)\n")
    print("| way | ms per run | added over uncontained quellar.run |")
    print("|---|---:|---:|")
    for name, values in samples.items():
        median = statistics.median(values)
        print(f"| {name} | {median:.3f} | {median - base:+.3f} ms |")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
