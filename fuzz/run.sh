#!/usr/bin/env bash
# run.sh [SECONDS] - builds the libFuzzer targets with clang (ASan + UBSan)
# and runs each for SECONDS (default 60) from the seed corpus. Fails on any
# finding; the crashing input is kept in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
tools/ensure-deps fuzz
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_FUZZERS=ON -DSANITIZE=address -DBUILD_TESTING=OFF \
  -DWERROR=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_list fuzz_data fuzz_text fuzz_frames fuzz_repair \
  fuzz_timing fuzz_timeline fuzz_gw_now_playing fuzz_gw_list fuzz_icy fuzz_json fuzz_gain >/dev/null
mkdir -p build-fuzz/artifacts
for t in list data text frames repair timing timeline gw_now_playing gw_list icy json gain; do
  work=build-fuzz/corpus-$t
  mkdir -p "$work"
  echo "== fuzz_$t for ${seconds}s"
  build-fuzz/fuzz/fuzz_$t -max_total_time="$seconds" -max_len=65600 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/artifacts/$t- "$work" "fuzz/corpus/$t" 2>build-fuzz/fuzz_$t.log ||
    { tail -40 build-fuzz/fuzz_$t.log; echo "fuzz_$t: FINDING"; exit 1; }
  grep -E '^Done [0-9]+ runs' build-fuzz/fuzz_$t.log | head -2
done
