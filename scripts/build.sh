#!/usr/bin/env bash
# Builds kestrel and installs the module, its type stub and kestrel-split into the
# Python environment of scripts/venv.sh (.venv/ unless one is active). Build
# dependencies: scripts/install-deps.sh build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
# The long option: Debian 12's pip (23.0) has no -C.
"$python" -m pip install -q --no-build-isolation --config-settings=build-dir=build/wheel .
