#!/usr/bin/env bash
# demo.sh - builds the programs and shows what they do.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-deps build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
echo "== client -H"
build/client/client -H
echo "== throttlecat (no argument)"
build/throttlecat/throttlecat || true
