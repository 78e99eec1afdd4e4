#!/usr/bin/env bash
# Installs what is missing, builds kestrel and splits the shipped sample into batches.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
rm -rf build/example-batches
python3 -c 'import kestrel; kestrel.py_extract_variants_to_batches("examples/sample.vcf", "build/example-batches", 64, "fast")'
ls -l build/example-batches
