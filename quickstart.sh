#!/usr/bin/env bash
# Sets up a fresh Debian machine and runs the main job:
#   ./quickstart.sh
# Installs the missing Debian packages (never upgrading an installed one), the
# package with PySpark into the Python in use (Debian's own python3 gets the
# project's .venv), then starts a local Spark session and runs a query on it.
set -euo pipefail
cd "$(dirname "$0")"
source ./run_tests.sh

install_packages "${ENGINE_PACKAGES[@]}"
choose_python
"$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ".[spark]"
"$python" examples/quickstart.py
[[ $python == python3 ]] || say "mur and this Python are in .venv: '. .venv/bin/activate' puts them on PATH"
