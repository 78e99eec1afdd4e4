#!/usr/bin/env bash
# Installs what building needs and is missing, builds and installs kestrel into
# .venv/ (or the active virtual environment) and splits the shipped sample.
set -euo pipefail
cd "$(dirname "$0")/.."
active="${VIRTUAL_ENV:-}"
bash scripts/install-deps.sh build
bash scripts/build.sh
source scripts/venv.sh
rm -rf build/example-batches
"$VIRTUAL_ENV/bin/kestrel-split" examples/sample.vcf build/example-batches --batch-size 64 --compression fast
ls -l build/example-batches
if [[ -z "$active" ]]; then
  echo
  echo "kestrel is installed in .venv/: '. .venv/bin/activate' puts kestrel-split and the"
  echo "module on hand in this shell; or run .venv/bin/kestrel-split and .venv/bin/python."
fi
