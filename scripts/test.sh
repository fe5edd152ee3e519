#!/usr/bin/env bash
# Sets up (scripts/setup.sh), then builds and runs every test: the core's
# GoogleTest suites, the same suites under AddressSanitizer and
# UndefinedBehaviorSanitizer and under ThreadSanitizer, a cross-compile of
# the core for macOS, then the Python package, installed into the project's
# virtual environment, with its stub check and pytest suites (also on the
# lowest and highest CPython here), and last the binary wheel, built and
# proven on every CPython here.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
step() { printf '\n== %s\n' "$*"; }

run_core_suites() {  # build-dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

step "core library and Python extension: GoogleTest suites"
run_core_suites build/core -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUELLAR_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python"

step "core library: GoogleTest suites under ASan and UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_core_suites build/asan -DCMAKE_BUILD_TYPE=Debug -DQUELLAR_SANITIZE=ON -DQUELLAR_BUILD_BENCH=OFF

# Forks of a multi-threaded process are out of ThreadSanitizer's reach; the
# other runs test them.
step "core library: GoogleTest suites under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 \
  GTEST_FILTER='-ExecuteFork.*:ExecuteExit.*:OldLibcSpawn.*:ExecuteFailures.AFailedRunLeavesNoHelperWaitingOnAPipeHeldOutside' \
  run_core_suites build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLAR_TSAN=ON -DQUELLAR_BUILD_BENCH=OFF

step "core library: cross-compile for macOS (aarch64) with Zig's clang"
./scripts/cross-check-macos.sh

step "Python package: build and install"
.venv/bin/python -m pip install -q --no-build-isolation .

step "Python package: the stub matches the module (mypy stubtest)"
.venv/bin/python -m mypy.stubtest quellar

if [[ -n $(ls tests/python/test_*.py 2>/dev/null) ]]; then
  step "Python package: pytest suites"
  .venv/bin/python -m pytest -q -p no:cacheprovider tests/python
  step "Python package: pytest suites on the lowest and the highest CPython"
  ./scripts/test-pythons.sh
fi
step "binary wheel: build, auditwheel, install and run on every CPython here"
./scripts/test-wheel.sh

step "all tests passed"
