#!/usr/bin/env bash
# run.sh relay|library|pacing|server|transcode|gateway|gateway-load|hls|repair|sync|all [ARGS...]
# - builds the benchmarks (in build-bench/, with -DBUILD_BENCHMARKS=ON) and
# runs one of them, or all ten in turn; ARGS go to the benchmark program.
# The relay, server, transcode, gateway, HLS and repair benchmarks create their own
# private network namespaces (they need root or user namespaces; the
# gateway's, for Icecast, root); nothing they send leaves them.
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-}
shift || true
case $which in
  relay | library | pacing | server | transcode | gateway | gateway-load | hls | repair | sync | all) ;;
  *) echo "Usage: bench/run.sh relay|library|pacing|server|transcode|gateway|gateway-load|hls|repair|sync|all [ARGS...]" >&2; exit 1 ;;
esac
if [[ $which == all && $# -gt 0 ]]; then
  echo "run.sh: 'all' takes no arguments" >&2
  exit 1
fi
tools/ensure-deps build bench demo test
# The library that mytbf_bench measures beside this tree's.
old_rev=${MYTBF_OLD_REV:-0897b82}
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCHMARKS=ON \
  -DMYTBF_OLD_REV="$old_rev" >/dev/null
cmake --build build-bench -j2 --target relay_bench mytbf_bench mytbf_old pacing_bench server_bench transcode_bench \
  gateway_bench gateway_load_bench hls_bench repair_bench sync_bench >/dev/null
echo "== $(date -u '+%F %T UTC'), load:$(uptime | sed 's/.*load average://')"
b=build-bench/bench
status=0
if [[ $which == relay || $which == all ]]; then
  timeout 480 "$b/relay_bench" "$@" || status=$?
fi
if [[ $which == library || $which == all ]]; then
  timeout 180 "$b/mytbf_bench" --old-library "$b/libmytbf_old.so" "$@" || status=$?
fi
if [[ $which == pacing || $which == all ]]; then
  timeout 180 "$b/pacing_bench" "$@" || status=$?
fi
if [[ $which == server || $which == all ]]; then
  timeout 400 "$b/server_bench" "$@" || status=$?
fi
if [[ $which == transcode || $which == all ]]; then
  timeout 900 "$b/transcode_bench" "$@" || status=$?
fi
if [[ $which == gateway || $which == all ]]; then
  timeout 300 "$b/gateway_bench" "$@" || status=$?
fi
if [[ $which == gateway-load || $which == all ]]; then
  timeout 600 "$b/gateway_load_bench" "$@" || status=$?
fi
if [[ $which == hls || $which == all ]]; then
  timeout 400 "$b/hls_bench" "$@" || status=$?
fi
if [[ $which == repair || $which == all ]]; then
  timeout 2700 "$b/repair_bench" "$@" || status=$?
fi
if [[ $which == sync || $which == all ]]; then
  timeout 2400 "$b/sync_bench" "$@" || status=$?
fi
exit $status
