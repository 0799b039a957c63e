#!/usr/bin/env bash
# Installs the package into a fresh virtual environment, as the README's install line does
# (`pip install .` from the clone), and runs its main job: generate a key, split it into shares
# and rebuild it from a subset of them (examples/quickstart.py).
# Set PYTHON to choose the interpreter (>= 3.12).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/find-python.sh
python=$(velkor_find_python)

venv="$root/build/venv-example"
rm -rf "$venv"
"$python" -m venv "$venv"
velkor_activate "$venv"
pip install --upgrade pip
pip install .
python examples/quickstart.py
