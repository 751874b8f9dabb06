#!/usr/bin/env bash
# check-valgrind.sh BUILD_DIR - runs the library's stress and exit paths and
# throttlecat under Valgrind memcheck: no error and no leak at exit.
set -euo pipefail
build=$(cd "$1" && pwd)
tools/ensure-deps check >/dev/null
vg=(valgrind -q --leak-check=full --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
run() {  # run NAME WANT_STATUS COMMAND...
  local name=$1 want=$2; shift 2
  local st=0
  "${vg[@]}" "$@" >"$work/out" 2>"$work/err" || st=$?
  if [[ $st -ne $want ]]; then
    echo "valgrind: $name: status $st, wanted $want"; cat "$work/err"; fail=1
  else
    echo "valgrind: $name: clean"
  fi
}
printf 'hello world\n' >"$work/twelve"
run "throttlecat 12-byte file" 0 "$build/throttlecat/throttlecat" "$work/twelve"
cmp -s "$work/out" "$work/twelve" || { echo "valgrind: throttlecat output differs"; fail=1; }
run "throttlecat directory" 1 "$build/throttlecat/throttlecat" "$work"
run "throttlecat missing file" 1 "$build/throttlecat/throttlecat" "$work/missing"
run "mytbf exit with live buckets" 0 "$build/mytbf/mytbf_exit_helper" live
run "mytbf exit before the first scan" 0 "$build/mytbf/mytbf_exit_helper" early
run "mytbf exit with a full table" 1 "$build/mytbf/mytbf_exit_helper" full
run "mytbf fetch cancelled while waiting" 0 "$build/mytbf/mytbf_robust_helper" cancel
run "mytbf destroy from an earlier atexit handler" 0 "$build/mytbf/mytbf_robust_helper" atexit
run "mytbf destroy from a static destructor" 0 "$build/mytbf/mytbf_robust_helper" static
MYTBF_STRESS_SECONDS=${STRESS_SECONDS:-5} run "mytbf stress" 0 \
  "$build/mytbf/mytbf_test" --gtest_filter='Library.Concurrent*'
exit $fail
