#!/usr/bin/env bash
# Sets up (scripts/setup.sh), builds and installs the package into the
# project's virtual environment, then runs examples/demo.py: a few real
# commands run under supervision, each printed with its RunResult.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
echo "+ pip install . (builds the extension; the first build takes a few minutes)"
.venv/bin/python -m pip install -q --no-build-isolation .
exec .venv/bin/python examples/demo.py
