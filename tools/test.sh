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
built=$SECONDS
status=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" | tee "$build/ctest.log" || status=$?

# The closing lines: what ran and how long, then the counts in the plain
# form "N passed, N failed, N skipped" (CTest counts a skipped test as
# passed, and lists it as "(Skipped)" among the tests that did not run).
counts=$(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+)$/\1 \2/p' "$build/ctest.log" | tail -1)
if [[ -z $counts ]]; then
  echo "test.sh: built $build in $built s; CTest reported no result"
  exit 1
fi
read -r failed total <<<"$counts"
skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$build/ctest.log" || true)
echo "test.sh: dependencies, configure and build in $build/ took $built s; CTest ran its $total tests in $((SECONDS - built)) s"
echo "summary: $((total - failed - skipped)) passed, $failed failed, $skipped skipped"
exit $status
