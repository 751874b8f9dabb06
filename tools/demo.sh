#!/usr/bin/env bash
# demo.sh - builds the client and the sender, then plays real MPEG audio
# through the client.
#
# In a private network namespace of its own (never the machine's network):
# stream_sender, sending from 127.0.0.1, offers two channels, a short piece
# of music on channel 1 and other data on channel 2; client joins with its
# default group and port and plays channel 1 through the real mpg123 decoder
# into a WAV file. The report says whether that decode is identical, sample
# for sample, to a direct decode of the same MP3 file. Exit status 0 only
# when it is (77: no private network namespace could be made here). Each
# step says what it does and how long it took; --help shows the options.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

usage() {
  cat <<'USAGE'
usage: tools/demo.sh [--bin-dir DIR] [--out DIR] [--no-build]
  --bin-dir DIR  the build folder to build in and take the programs from (build)
  --out DIR      where the audio, the logs and the spectrogram go (BIN_DIR/demo)
  --no-build     use the programs as they are built
  --help         show this help
USAGE
}

bin=build out= build=1 inner=0
while [[ $# -gt 0 ]]; do
  case $1 in
    --bin-dir) bin=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    --inner) inner=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 1 ;;
  esac
done
out=${out:-$bin/demo}

# step TEXT: says what the demo does next; the step's time follows when the
# next step starts (or the report does).
step_start=
step() {
  end_step
  printf '%s... ' "$1"
  step_start=$(date +%s.%N)
}
end_step() {
  [[ -n $step_start ]] || return 0
  awk -v a="$step_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f s\n", b - a }'
  step_start=
}

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths=$1; shift
  for ((i = 0; i < tenths; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

# The source of the stream: the test sender, from a real address of this
# namespace, with channel 1 the music and channel 2 some text. Its pid is in
# source_pid; it ends by itself once both files are sent.
start_source() {
  "$bin/tools/stream_sender" -s 127.0.0.1 \
    -e "1:music (MPEG audio, 128 kbit/s)\n" -e "2:notes (text)\n" \
    -f "1:$out/music.mp3" -f "2:$src/README.md" -b 1024 -r 262144 -l 200 \
    -G "$out/go" -d 60000 >"$out/sender.out" 2>"$out/sender.err" &
  source_pid=$!
}

# The part that runs inside the private namespace: start both sides, choose
# the channel, wait for the stream to be played, stop what was started.
# Waits are generous: on a busy machine every step takes longer.
run_inner() {
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo

  local client_pid source_pid
  mkfifo "$out/choice"
  # The client's player decodes the relayed stream and says when it is done.
  "$bin/client/client" -p "mpg123 -q -w '$out/decoded.wav' -; touch '$out/player.done'" \
    <"$out/choice" >"$out/client.out" 2>"$out/client.err" &
  client_pid=$!
  exec 3>"$out/choice"   # keep the choice pipe open until the client is stopped

  start_source

  local ok=1
  if wait_for 300 grep -q 'channel:2' "$out/client.out"; then
    echo 1 >&3
    touch "$out/go"
  else
    echo "demo: the client showed no channel list" >&2
    ok=0
  fi
  wait "$source_pid" || { echo "demo: the sender failed" >&2; ok=0; }

  # Every datagram of channel 1 is one acceptance line; wait for all of them.
  local size want
  size=$(stat -c %s "$out/music.mp3")
  want=$(((size + 1023) / 1024))
  accepted() { [[ $(grep -c '^Accept massage:1 recived\.$' "$out/client.out") -ge $want ]]; }
  wait_for 300 accepted || { echo "demo: the client relayed $(grep -c '^Accept' "$out/client.out") of $want datagrams" >&2; ok=0; }
  kill "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  exec 3>&-
  # With the client gone the player reads end of file and finishes its WAV.
  wait_for 300 test -e "$out/player.done" || { echo "demo: the player did not finish" >&2; ok=0; }
  [[ $ok == 1 ]]
}

if [[ $inner == 1 ]]; then
  run_inner
  exit $?
fi

tools/ensure-deps build test demo
if [[ $build == 1 ]]; then
  step "building client and stream_sender in $bin"
  mkdir -p "$bin"
  log=$bin/demo-build.log
  { cmake -S . -B "$bin" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$bin" -j"$(nproc)" --target client stream_sender; } >"$log" 2>&1 ||
    { echo; tail -30 "$log" >&2; echo "demo: the build failed; its log is $log" >&2; exit 1; }
fi
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
bin=$(cd "$bin" && pwd)

# A few seconds of music made here: a plucked arpeggio over a held chord.
step "making 4 s of music and encoding it as MP3"
notes=(C4 E4 G4 C5 G4 E4 C4 G3)
parts=()
for i in "${!notes[@]}"; do
  sox -q -n -r 44100 -c 2 -b 16 "$out/note$i.wav" synth 0.5 pluck "${notes[$i]}" fade 0 0.5 0.05
  parts+=("$out/note$i.wav")
done
sox -q "${parts[@]}" "$out/melody.wav"
sox -q -n -r 44100 -c 2 -b 16 "$out/chord.wav" synth 4 sine 130.81 sine 196 fade 0.2 4 0.5 vol 0.3
sox -q -m "$out/melody.wav" "$out/chord.wav" "$out/music.wav" norm -3
rm -f "$out"/note*.wav "$out/melody.wav" "$out/chord.wav"
lame --quiet -b 128 "$out/music.wav" "$out/music.mp3"
mpg123 -q -w "$out/direct.wav" "$out/music.mp3"

if [[ $(id -u) -eq 0 ]]; then ns=(unshare -n); else ns=(unshare -rn); fi
if ! "${ns[@]}" true 2>/dev/null; then
  echo "demo: cannot make a private network namespace (${ns[*]} failed); the demo never uses the machine's own network" >&2
  [[ ${CI:-} == true ]] && exit 1
  exit 77
fi
step "streaming it through client to the mpg123 player, in a private network namespace"
played=0
"${ns[@]}" -- "$0" --inner --bin-dir "$bin" --out "$out" && played=1

end_step

# The report.
echo
echo "== the channel list as the client showed it"
sed -n '/^channel:/,$p' "$out/client.out" | grep -v '^Accept' || true
relayed=$(grep -c '^Accept massage:1 recived\.$' "$out/client.out" || true)
echo "== datagrams relayed to the player: $relayed ($(stat -c %s "$out/music.mp3") bytes of MPEG audio)"
identical=0
if [[ $played == 1 && -s $out/decoded.wav ]]; then
  echo "== decoded duration: $(soxi -D "$out/decoded.wav") s (direct decode: $(soxi -D "$out/direct.wav") s)"
  step "comparing with a direct decode, drawing the spectrogram"
  sox "$out/decoded.wav" -t raw "$out/decoded.raw"
  sox "$out/direct.wav" -t raw "$out/direct.raw"
  cmp -s "$out/decoded.raw" "$out/direct.raw" && identical=1
  rm -f "$out/decoded.raw" "$out/direct.raw"
  # Resampled to 3 kHz first, so the plot spans 0 to 1.5 kHz, where the
  # notes (196 to 523 Hz), their first overtones and the chord lie.
  sox "$out/decoded.wav" -n rate 3k spectrogram -o "$out/spectrogram.png" \
    -t "channel 1 as the player decoded it (0-1.5 kHz; top pane left, bottom pane right)"
  end_step
  echo "== spectrogram of what the player decoded: $out/spectrogram.png"
  echo "   look for: eight half-second notes whose fundamental and overtones step up and"
  echo "   down (C4 E4 G4 C5 G4 E4 C4 G3), over one steady line of the held chord, 131 Hz"
  echo "   on the left (top pane) and 196 Hz on the right (bottom); a gap, or a smear"
  echo "   across all frequencies, would be lost or damaged data"
else
  end_step
  echo "== nothing was decoded; logs are in $out"
fi
if [[ $identical == 1 ]]; then
  echo "== the decoded audio is identical, sample for sample, to a direct decode of the MP3 file"
else
  echo "== the decoded audio is NOT identical to a direct decode; logs are in $out" >&2
  exit 1
fi
