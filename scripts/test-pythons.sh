#!/usr/bin/env bash
# Runs the pytest suites on the lowest and the highest CPython the package
# supports (3.10 and 3.13) where they are present, against the same abi3
# build as the project's own environment: the wheel of that build, installed
# into a venv of each (made once, under build/), with pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w build/abi3 .
wheel=$(ls -t build/abi3/quellar-*-abi3-*.whl | head -n1)
for minor in 10 13; do
  python=$(ls -d "$HOME"/.pyenv/versions/3."$minor".*/bin/python3."$minor" 2>/dev/null | sort -V | tail -n1 || true)
  [[ -n $python ]] || python=$(command -v python3."$minor" || true)
  if [[ -z $python ]]; then
    echo "CPython 3.$minor is absent on this machine: its pytest run is skipped"
    continue
  fi
  venv=build/py3.$minor
  [[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "pytest>=8" "pytest-asyncio>=0.24"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$wheel"
  echo "+ pytest on $("$venv/bin/python" -V)"
  (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider -c ../../pyproject.toml .)
done
