#!/usr/bin/env bash
# Proves the binary wheel on clean environments: builds it
# (scripts/build-wheel.sh, incremental), checks `auditwheel show` (the
# manylinux tag, no library outside the manylinux allowlist), then installs
# it without building anything into a fresh venv of every CPython >= 3.10
# found on this machine and runs, in each, a contained run through the API
# and through the command line, and runs as the stand-ins for an older
# glibc start them.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

./scripts/build-wheel.sh
policy=manylinux_2_28_x86_64
wheel=$(ls "$PWD"/dist/quellar-*-cp310-abi3-$policy.whl)
out=$PWD/build/wheel-x86_64/proof
rm -rf "$out"
mkdir -p "$out"

echo "+ auditwheel show $(basename "$wheel")"
.venv/bin/auditwheel show "$wheel" | tee "$out/show.txt"
.venv/bin/python - "$out/show.txt" "$policy" <<'EOF'
# auditwheel show wraps its report; what matters: the tag the wheel's
# symbols allow is no newer than the one it carries, and every library it
# needs is one that policy lets the system provide.
import json, pathlib, re, sys
import auditwheel.policy

text = " ".join(pathlib.Path(sys.argv[1]).read_text().split())
policy = sys.argv[2]
wanted = int(policy.split("_")[2])
tag = re.search(r'consistent with the following platform tag: "manylinux_2_(\d+)_x86_64"', text)
assert tag and int(tag.group(1)) <= wanted, f"the wheel's symbols need more than {policy}"
assert "external shared libraries" not in text, "the wheel needs libraries outside the allowlist"
policies = json.loads((pathlib.Path(auditwheel.policy.__file__).parent / "manylinux-policy.json").read_text())
allowed = next(p["lib_whitelist"] for p in policies if p["name"] == policy.removesuffix("_x86_64"))
needed = re.findall(r"(\S+\.so\.\d+) with versions", text)
outside = [lib for lib in needed if lib not in allowed]
assert needed and not outside, f"libraries outside the {policy} allowlist: {outside}"
versions = [tuple(map(int, v.split("."))) for v in re.findall(r"GLIBC_(\d+\.\d+)", text)]
assert max(versions) <= (2, wanted), f"glibc symbols newer than 2.{wanted}: {max(versions)}"
print(f"auditwheel: {policy}, needs only {', '.join(needed)}")
EOF

# What each environment runs: a contained run through the API (network off,
# one write grant), then the command line, both console script and -m.
cat >"$out/smoke.py" <<'EOF'
import asyncio, pathlib, sys
import quellar
from quellar import Command, Policy, run

work, outside = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
assert pathlib.Path(quellar.__file__).is_relative_to(sys.prefix), "not the installed wheel"

async def main():
    script = 'echo inside > inside; echo x > "$0" || echo refused; /usr/bin/python3 -c "import socket; socket.socket()" 2>/dev/null || echo no-socket'
    result = await run(Command(["/bin/sh", "-c", script, str(outside)], cwd=work),
                       policy=Policy(network="disabled", filesystem=[(work, ["read", "write"])]))
    assert result.exit_code == 0, result
    assert result.stdout.split() == [b"refused", b"no-socket"], result.stdout
    assert (work / "inside").read_text() == "inside\n" and not outside.exists()

asyncio.run(main())
EOF

# glibc 2.28 and 2.29-2.33 lack the spawn functions the wheel's stand-ins
# forward to (packaging/glibc_compat.cpp). A preloaded dlvsym that hides
# them makes this glibc look older, so the stand-ins' own roads run: a start
# by fork for a run with a working directory, and one close action per open
# descriptor.
cat >"$out/older_glibc.c" <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>

void* dlvsym(void* handle, const char* symbol, const char* version) {
  static void* (*real)(void*, const char*, const char*);
  if (strcmp(symbol, "posix_spawn_file_actions_addchdir_np") == 0 ||
      strcmp(symbol, "posix_spawn_file_actions_addclosefrom_np") == 0) {
    return NULL;
  }
  if (!real) real = (void* (*)(void*, const char*, const char*))dlsym(RTLD_NEXT, "dlvsym");
  return real(handle, symbol, version);
}
EOF
cc -shared -fPIC -O2 -o "$out/older_glibc.so" "$out/older_glibc.c" -ldl
cat >"$out/older_glibc.py" <<'EOF'
import asyncio, ctypes, os, pathlib, sys
from quellar import Command, Policy, run

libc = ctypes.CDLL(None)
libc.dlvsym.restype = ctypes.c_void_p
assert libc.dlvsym(None, b"posix_spawn_file_actions_addchdir_np", b"GLIBC_2.29") is None, "dlvsym not hidden"
work = pathlib.Path(sys.argv[1])
leaked = os.open("/dev/null", os.O_RDONLY)
os.set_inheritable(leaked, True)

async def main():
    script = 'pwd; ls /proc/$$/fd'
    for cwd in (work, None):
        for policy in (None, Policy(network="disabled", filesystem=[(work, ["read"])])):
            result = await run(Command(["/bin/sh", "-c", script], cwd=cwd), policy=policy)
            lines = result.stdout.decode().split()
            assert result.exit_code == 0, result
            assert lines[1:] == ["0", "1", "2"], f"the child holds {lines[1:]}"
            if cwd is not None:
                assert lines[0] == str(work), lines

asyncio.run(main())
print("older glibc's roads: a working directory and closed descriptors, plain and contained")
EOF

interpreters=()
skipped=()
for minor in 10 11 12 13 14; do
  found=$(ls -d "$HOME"/.pyenv/versions/3."$minor".*/bin/python3."$minor" 2>/dev/null | sort -V | tail -n1 || true)
  [[ -n $found ]] || found=$(command -v python3."$minor" || true)
  if [[ -n $found ]]; then interpreters+=("$found"); else skipped+=("3.$minor"); fi
done
((${#interpreters[@]})) || { echo "test-wheel: no CPython >= 3.10 found" >&2; exit 1; }

tested=()
for python in "${interpreters[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  echo "+ CPython $version: fresh venv, pip install --no-index --only-binary :all:"
  venv=$out/venv-$version
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --only-binary :all: "$wheel"
  work=$out/work-$version
  mkdir -p "$work/api" "$work/cli"
  (cd "$out" && "$venv/bin/python" smoke.py "$work/api" "$out/outside-api-$version")
  status=0
  "$venv/bin/quellar" run --network disabled --write "$work/cli" --cwd "$work/cli" --timeout 20 -- \
    sh -c 'echo made > made; echo x 2>/dev/null >"$0" || exit 42' "$out/outside-cli-$version" || status=$?
  [[ $status == 42 && $(cat "$work/cli/made") == made && ! -e $out/outside-cli-$version ]] \
    || { echo "test-wheel: the command line's contained run failed ($status) on $version" >&2; exit 1; }
  status=0
  "$venv/bin/python" -m quellar run --timeout 0.2 -- sleep 10 || status=$?
  [[ $status == 124 ]] || { echo "test-wheel: python -m quellar gave $status, not 124, on $version" >&2; exit 1; }
  mkdir -p "$work/older"
  LD_PRELOAD=$out/older_glibc.so "$venv/bin/python" "$out/older_glibc.py" "$work/older"
  "$venv/bin/quellar" --version
  tested+=("$version")
done

echo "wheel proven on CPython ${tested[*]}; skipped (not on this machine): ${skipped[*]:-none}; $((SECONDS - started)) s"
