"""What containment costs per run, in one process and one run.

    .venv/bin/python bench/sandbox_bench.py [--runs N] [--rounds R] [--layers PATH]

Runs /bin/true sequentially: through quellar.run uncontained, through
quellar.run contained (network disabled and one write grant: quellar-sandbox
with its namespaces, Landlock and seccomp), with the network disabled alone,
and, for comparison, bubblewrap through asyncio with the same kind of
isolation (`bwrap --ro-bind / / --dev /dev --unshare-net --die-with-parent`)
next to plain asyncio. Rounds alternate so that drift hits every row alike.
Then, if the C++ benchmark `launcher_layers_bench` is built (build/*/bin/,
or --layers), what each of the launcher's layers costs on its own.
"""

import argparse
import asyncio
import glob
import os
import shutil
import statistics
import subprocess
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


def layers_bench(explicit):
    if explicit:
        return explicit
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    found = sorted(glob.glob(os.path.join(here, "build", "*", "bin", "launcher_layers_bench")), key=os.path.getmtime)
    return found[-1] if found else None


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--layers", help="path of launcher_layers_bench")
    args = parser.parse_args()

    caps = quellar.platform_capabilities()
    if not caps["filesystem_isolation"]:
        raise SystemExit("this host offers no filesystem isolation (launcher or Landlock missing)")
    work = tempfile.mkdtemp(prefix="quellar-bench-")
    contained = quellar.Policy(network="disabled", filesystem=[(work, ["read", "write"])])
    no_network = quellar.Policy(network="disabled")

    uncontained_row = "quellar.run, uncontained"
    contained_row = "quellar.run, network disabled + a write grant"
    bwrap_row = "asyncio, bwrap --ro-bind / / --dev /dev --unshare-net --die-with-parent"
    rows = {
        uncontained_row: lambda: quellar_true(None),
        contained_row: lambda: quellar_true(contained),
        "quellar.run, network disabled": lambda: quellar_true(no_network),
        "asyncio, /bin/true": lambda: asyncio_true(["/bin/true"]),
    }
    bwrap = shutil.which("bwrap")
    if bwrap:
        argv = [bwrap, "--ro-bind", "/", "/", "--dev", "/dev", "--unshare-net", "--die-with-parent", "/bin/true"]
        rows[bwrap_row] = lambda: asyncio_true(argv)

    for make in rows.values():  # warm up every path once
        await make()
    samples = {name: [] for name in rows}
    for _ in range(args.rounds):
        for name, make in rows.items():
            samples[name].append(await per_run_ms(make, args.runs))
    median = {name: statistics.median(values) for name, values in samples.items()}

    base = median[uncontained_row]
    print(f"/bin/true, {args.runs} sequential runs x {args.rounds} rounds (median of rounds)\n")
    print("| way | ms per run | added over uncontained quellar.run |")
    print("|---|---:|---:|")
    for name, value in median.items():
        print(f"| {name} | {value:.3f} | {value - base:+.3f} ms |")
    if bwrap:
        print(f"\ncontained quellar.run / bubblewrap: {median[contained_row] / median[bwrap_row]:.2f}x")
    shutil.rmtree(work, ignore_errors=True)

    layers = layers_bench(args.layers)
    if layers:
        print(f"\nEach layer of quellar-sandbox on its own ({os.path.relpath(layers)}):\n")
        sys.stdout.flush()
        subprocess.run([layers], check=True)


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
