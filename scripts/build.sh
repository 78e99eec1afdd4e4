#!/usr/bin/env bash
# Builds and installs the module into the current Python environment.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install -q --no-build-isolation -C build-dir=build/wheel .
