#!/usr/bin/env bash
# Installs what building and testing kestrel needs and is not there yet.
set -euo pipefail

debian_packages=(g++ cmake ninja-build pkg-config libdeflate-dev zlib1g-dev libgtest-dev python3-dev
  tabix pigz clang-14 libclang-rt-14-dev)
missing=()
for package in "${debian_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 - <<'PY' || python3 -m pip install -q "scikit-build-core>=0.8" "pytest>=7"
import importlib.util, sys
sys.exit(0 if all(importlib.util.find_spec(m) for m in ("scikit_build_core", "pytest")) else 1)
PY
