#!/usr/bin/env bash
# Installs what building and testing quellar needs on a fresh Debian machine:
# the system packages (as root), then a virtual environment with the Python
# packages. Safe to run again: what is present is not installed twice.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build pkg-config libasio-dev libgtest-dev libseccomp-dev bubblewrap)
python_bin=${PYTHON:-python3}
if ! "$python_bin" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
  packages+=(python3-dev)
fi
if ! "$python_bin" -c 'import ensurepip, venv' 2>/dev/null; then
  packages+=(python3-venv)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  line="apt-get install -y --no-install-recommends ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "quellar set-up: these Debian packages are missing: ${missing[*]}" >&2
    echo "Run as root, then run this command again:" >&2
    echo "  apt-get update && $line" >&2
    exit 1
  fi
  echo "+ apt-get update && $line"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  $line
fi

if [[ ! -x .venv/bin/python ]]; then
  "$python_bin" -m venv .venv
fi
stamp=.venv/.requirements-installed
if [[ ! -f $stamp ]] || ! cmp -s requirements-dev.txt "$stamp"; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi
