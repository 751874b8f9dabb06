#!/usr/bin/env bash
# test.sh [BUILD_DIR] [CMAKE_ARGS...] - builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  cat <<'USAGE'
usage: tools/test.sh [BUILD_DIR] [CMAKE_ARGS...]
  Configures BUILD_DIR (build) with the CMake arguments given, builds
  everything there and runs the whole test suite with CTest. Installs the
  Debian packages it needs first, when they are missing.
USAGE
  exit 0
fi
tools/ensure-deps build test check demo
build=${1:-build}
shift || true
werror=OFF
[[ ${CI:-} == true ]] && werror=ON
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=$werror "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
