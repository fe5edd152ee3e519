#!/usr/bin/env bash
# Builds the binary wheel that installs without a compiler: one abi3 wheel
# (cp310-abi3) for x86_64 Linux that needs nothing on the target but glibc
# 2.28 or later and a CPython >= 3.10. Output: dist/quellar-*-manylinux_2_28_x86_64.whl
#
# - quellar-sandbox: built with Zig for musl and linked fully static (its
#   system-call filters are compiled at build time), so it needs no C library
#   on the target at all.
# - _native: built with Zig's clang against glibc 2.28's symbols, with Zig's
#   libc++ linked statically; packaging/glibc_compat.cpp stands in for the two
#   spawn functions glibc added after 2.28.
# - auditwheel repair then checks the wheel against the manylinux_2_28 policy
#   and tags it.
#
# Everything goes under build/wheel-x86_64/ and rebuilds incrementally.
# `--arch aarch64` compile-checks the extension for 64-bit Arm instead
# (build/wheel-aarch64/, no wheel: its launcher's filters would have to be
# compiled for Arm).
set -euo pipefail
cd "$(dirname "$0")/.."

arch=x86_64
if [[ ${1:-} == --arch ]]; then arch=$2; fi
case $arch in x86_64|aarch64) ;; *) echo "build-wheel: unknown arch $arch" >&2; exit 2 ;; esac
glibc=2.28
policy=manylinux_${glibc/./_}_$arch
python=$PWD/.venv/bin/python
out=$PWD/build/wheel-$arch
mkdir -p "$out/toolchain" "$out/include"

# Zig's compiler behind a plain executable name, as CMake wants one. Asio
# 1.22 predates libc++'s trimmed transitive includes and only detects
# coroutines through <experimental/coroutine>; both are supplied here.
zig=$("$python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
cat >"$out/toolchain/c++.new" <<EOF
#!/bin/sh
exec "$zig" c++ -target $arch-linux-gnu.$glibc -include exception -include stdexcept -include new -DASIO_HAS_CO_AWAIT=1 -DASIO_HAS_STD_COROUTINE=1 "\$@"
EOF
chmod +x "$out/toolchain/c++.new"
# Rewritten only when it changes, so that CMake's cache stays valid.
if cmp -s "$out/toolchain/c++.new" "$out/toolchain/c++"; then rm "$out/toolchain/c++.new"
else mv "$out/toolchain/c++.new" "$out/toolchain/c++"; fi

# Only Asio's headers from /usr/include: the host's own C headers (glibc
# 2.36) must not shadow the ones Zig provides for 2.28.
asio_root=$(dirname "$(find /usr/include -maxdepth 1 -name asio.hpp | head -n1)")
ln -sfn "$asio_root/asio" "$out/include/asio"
ln -sfn "$asio_root/asio.hpp" "$out/include/asio.hpp"

if [[ $arch != x86_64 ]]; then
  cmake -S . -B "$out/check" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$out/toolchain/c++" -DASIO_INCLUDE_DIR="$out/include" \
    -DQUELLAR_BUILD_PYTHON=ON -DQUELLAR_BUILD_TESTS=OFF -DQUELLAR_BUILD_BENCH=OFF \
    -DQUELLAR_PREBUILT_SANDBOX=/nonexistent -DPython_EXECUTABLE="$python" \
    -DQUELLAR_EXTRA_NATIVE_SOURCES="$PWD/packaging/glibc_compat.cpp" >/dev/null
  ninja -C "$out/check" -j2 _native
  # The launcher's sources compiled (not linked: that needs libseccomp for
  # the target), with only libseccomp's headers from the host.
  mkdir -p "$out/seccomp" "$out/launcher"
  ln -sfn /usr/include/seccomp.h /usr/include/seccomp-syscalls.h "$out/seccomp/"
  # (seccomp_install.cpp needs the filters compiled for the target, which
  # the build generates on a machine of that architecture.)
  for source in $(ls launcher/*.cpp | grep -v seccomp_install); do
    "$out/toolchain/c++" -std=c++23 -O2 -Wall -Wextra -Wno-missing-field-initializers -Werror \
      -I src -isystem "$out/seccomp" -c "$source" -o "$out/launcher/$(basename "$source").o"
  done
  echo "$arch: the extension links ($(file -b "$out/check/python_module/_native.abi3.so" | cut -d, -f1-2));" \
    "the launcher's $(ls launcher/*.cpp | wc -l) sources compile"
  exit 0
fi

echo "+ quellar-sandbox: static (musl with Zig)"
cmake -S . -B "$out/sandbox" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" \
  -DQUELLAR_LAUNCHER_TOOLCHAIN=zig \
  -DQUELLAR_BUILD_TESTS=OFF -DQUELLAR_BUILD_BENCH=OFF -DCMAKE_EXE_LINKER_FLAGS=-s >/dev/null
ninja -C "$out/sandbox" -j2 quellar-sandbox
sandbox=$out/sandbox/bin/quellar-sandbox
if readelf -l "$sandbox" | grep -q INTERP || readelf -d "$sandbox" | grep -q NEEDED; then
  echo "build-wheel: $sandbox is not fully static" >&2
  exit 1
fi

echo "+ _native: Zig's clang against glibc $glibc, then the wheel"
rm -rf "$out/raw"
"$python" -m pip wheel -q --no-build-isolation --no-deps -w "$out/raw" . \
  -C build-dir="$out/native" \
  -C cmake.define.CMAKE_CXX_COMPILER="$out/toolchain/c++" \
  -C cmake.define.ASIO_INCLUDE_DIR="$out/include" \
  -C cmake.define.QUELLAR_PREBUILT_SANDBOX="$sandbox" \
  -C cmake.define.QUELLAR_EXTRA_NATIVE_SOURCES="$PWD/packaging/glibc_compat.cpp" \
  -C build.tool-args=-j2
raw=$(ls "$out"/raw/quellar-*.whl)

# A symbol the extension takes from the system without a version would bind
# to whatever the running glibc has, or to nothing: every one must come from
# CPython or carry a glibc version that auditwheel can weigh.
native=$out/native/python_module/_native.abi3.so
unversioned=$(nm -D --undefined-only "$native" | awk '{print $2}' | grep -v '@' | grep -Ev '^_?Py' || true)
if [[ -n $unversioned ]]; then
  echo "build-wheel: the extension needs symbols glibc $glibc lacks:" $unversioned >&2
  exit 1
fi

echo "+ auditwheel repair --plat $policy"
mkdir -p dist
rm -f dist/quellar-*-"$arch".whl
PATH=$PWD/.venv/bin:$PATH auditwheel repair --plat "$policy" --only-plat -w dist "$raw"
wheel=$(ls dist/quellar-*"$policy".whl)
echo "built $wheel ($(du -k "$wheel" | cut -f1) KiB)"
