#!/usr/bin/env bash
# Compiles the core library for macOS on Arm (aarch64-macos) with the Zig
# toolchain's clang, so that the macOS side of src/platform/ is compiled, not
# only written. Only Asio's headers are put on the include path, never the
# host's /usr/include. Objects go to build/macos-check/.
set -euo pipefail
cd "$(dirname "$0")/.."
zig=(.venv/bin/python -m ziglang)
out=build/macos-check
mkdir -p "$out/include"
asio_root=$(dirname "$(find /usr/include -maxdepth 1 -name asio.hpp | head -n1)")
ln -sfn "$asio_root/asio" "$out/include/asio"
ln -sfn "$asio_root/asio.hpp" "$out/include/asio.hpp"

# Asio 1.22 predates libc++'s trimmed transitive includes and only detects
# coroutines through <experimental/coroutine>; both are supplied here.
flags=(-target aarch64-macos -std=c++23 -Wall -Wextra -Werror -Wno-missing-field-initializers
       -Wno-unused-parameter -Wno-deprecated-declarations
       -include exception -include stdexcept -include new
       -DASIO_HAS_CO_AWAIT=1 -DASIO_HAS_STD_COROUTINE=1
       -DASIO_STANDALONE -DASIO_NO_DEPRECATED -DASIO_SEPARATE_COMPILATION
       -isystem "$out/include" -I src)

sources=$(ls src/*.cpp src/supervisor/*.cpp src/events/*.cpp 2>/dev/null
          echo src/platform/launcher.cpp src/platform/process_posix.cpp
          echo src/platform/launcher_macos.cpp src/platform/spawn_macos.cpp)
jobs=$(nproc 2>/dev/null || echo 2)
compile() {
  "${zig[@]}" c++ "${flags[@]}" -c "$1" -o "$out/$(echo "$1" | tr / _).o"
}
failed=0
for source in $sources; do
  while (( $(jobs -rp | wc -l) >= jobs )); do wait -n || failed=1; done
  compile "$source" &
done
while (( $(jobs -rp | wc -l) > 0 )); do wait -n || failed=1; done
if (( failed )); then
  echo "macOS (aarch64) cross-compile of the core failed" >&2
  exit 1
fi
echo "macOS (aarch64) cross-compile of the core: $(ls "$out"/*.o | wc -l) objects"
