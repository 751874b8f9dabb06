#!/usr/bin/env bash
# test.sh [--quick] [BUILD_DIR] [CMAKE_ARGS...] - builds everything and runs
# the whole test suite; with --quick, only the unit tests.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  cat <<'USAGE'
usage: tools/test.sh [--quick] [BUILD_DIR] [CMAKE_ARGS...]
  Configures BUILD_DIR (build) with the CMake arguments given, builds
  everything there and runs the whole test suite with CTest. Installs the
  Debian packages it needs first, when they are missing. The configure and
  build output goes to BUILD_DIR/test-build.log, apt-get's to
  BUILD_DIR/ensure-deps.log.
  --quick  builds only what the unit tests need and runs only those (CTest
           label unit): no namespaces, no browser, no packages, no demo
USAGE
  exit 0
fi
quick=0
[[ ${1:-} == --quick ]] && { quick=1; shift; }
build=${1:-build}
shift || true
werror=OFF
[[ ${CI:-} == true ]] && werror=ON
if [[ $quick == 1 ]]; then
  deps=(build unit) target=(--target unit_tests) what="the unit tests" labels=(-L '^unit$')
else
  deps=(build unit test check demo) target=() what=everything labels=()
fi
mkdir -p "$build"
tools/ensure-deps --log "$build/ensure-deps.log" "${deps[@]}"

. tools/logged.sh
log=$build/test-build.log
: >"$log"
echo "test.sh: the configure and build output goes to $log"
step=$SECONDS
printf 'test.sh: configuring %s: ' "$build"
logged "$log" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=$werror "$@"
echo "$((SECONDS - step)) s"
step=$SECONDS
printf 'test.sh: building %s: ' "$what"
logged "$log" cmake --build "$build" -j"$(nproc)" "${target[@]}"
echo "$((SECONDS - step)) s"
built=$SECONDS
status=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${labels[@]}" | tee "$build/ctest.log" ||
  status=$?

# Every test names its label (project_test, project_command_test).
if [[ $quick == 0 ]]; then
  unlabelled=$(ctest --test-dir "$build" -N -LE '^(unit|e2e|heavy)$' | grep -E '^ *Test +#' || true)
  if [[ -n $unlabelled ]]; then
    echo "test.sh: tests without a label (unit, e2e or heavy):"
    echo "$unlabelled"
    status=1
  fi
fi

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
