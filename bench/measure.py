"""What the Python benchmarks share: wall and own-CPU time of a block."""

import resource
import time

MIB = 1 << 20


def cpu_seconds() -> float:
    """CPU time of this process, every thread of it (quellar's runtime included)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class Measure:
    """Wall and own-CPU time of a block."""

    def __enter__(self):
        self.wall, self.cpu = time.perf_counter(), cpu_seconds()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self.wall
        self.cpu = cpu_seconds() - self.cpu
