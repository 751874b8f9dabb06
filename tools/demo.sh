#!/usr/bin/env bash
# demo.sh - builds the server, the client and the gateway, then plays real
# MPEG audio through them.
#
# In a private network namespace of its own (never the machine's network):
# stream_server serves a folder of two channels, a short piece of music on
# channel 1 and another on channel 2, once through; client joins with its
# default group and port and plays channel 1 through the real mpg123 decoder
# into a WAV file. The client joins while the music already plays, so it
# gets the frames from there to the end: the report checks that they are the
# file's last frames, whole, and that the player's decode is identical,
# sample for sample, to a direct decode of that run of frames cut from the
# file. Then the server plays the folder once more while stream_gateway
# serves it over HTTP, and curl hands channel 1 from the gateway to mpg123,
# as a browser's player would get it: the same two checks hold for what
# came over HTTP. Last, the server plays on a second host joined by a veth
# pair whose listener's end loses 5 % of the datagrams (nftables drops 2 in
# every 40), and two clients there take channel 1, one with --repair: the
# report says how many datagrams each relayed, and checks that the one with
# --repair relayed the file's last frames whole, where the other has gaps.
# Exit status 0 only when all hold (77: no private network namespace could
# be made here). Each step says what it does and how long it took; --help
# shows the options.
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

# The source of the stream: the server, playing each channel of the radio
# folder once. The client on this same host holds port 1989, so the server
# sends from port 1995 (by default it would send from the destination port;
# 1990 is where it says what plays, 1991 where its repair goes). It repeats
# the channel list every 200 ms, so a listener waits little for it. Its pid
# is in source_pid; it ends by itself after the music.
start_source() {
  "$bin/server/stream_server" --once --source-port 1995 --list-interval 200 "$out/radio" \
    >"$out/server.out" 2>"$out/server.err" &
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
  # The client's player keeps the relayed bytes, decodes them and says when
  # it is done.
  "$bin/client/client" \
    -p "tee '$out/relayed.mp3' | mpg123 -q -w '$out/decoded.wav' -; touch '$out/player.done'" \
    <"$out/choice" >"$out/client.out" 2>"$out/client.err" &
  client_pid=$!
  exec 3>"$out/choice"   # keep the choice pipe open until the client is stopped

  # The music starts at once, so the server starts once the client's
  # socket is bound (port 1989 is 07C5 in /proc/net/udp).
  wait_for 100 grep -q ':07C5 ' /proc/net/udp || echo "demo: the client has not bound its port" >&2
  start_source

  local ok=1
  if wait_for 300 grep -q 'channel:2' "$out/client.out"; then
    echo 1 >&3
  else
    echo "demo: the client showed no channel list" >&2
    ok=0
  fi
  wait "$source_pid" || { echo "demo: the server failed" >&2; ok=0; }

  # The server has sent its last datagram; wait until the client has
  # relayed what was still on its way (its acceptance lines stop growing).
  settled() {
    local before
    before=$(grep -c '^Accept' "$out/client.out" || true)
    sleep 0.3
    [[ $(grep -c '^Accept' "$out/client.out" || true) == "$before" ]]
  }
  wait_for 100 settled || { echo "demo: the client kept relaying" >&2; ok=0; }
  kill "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  exec 3>&-
  # With the client gone the player reads end of file and finishes its WAV.
  wait_for 300 test -e "$out/player.done" || { echo "demo: the player did not finish" >&2; ok=0; }
  run_gateway || ok=0
  run_lossy || ok=0
  [[ $ok == 1 ]]
}

# The same radio through the gateway over HTTP: the gateway joins the group
# (its now-playing port is 1990, so the server sends from 1995), the server
# plays the folder once more, and once channel 1 is on the air curl plays
# the HTTP listener, its bytes kept and decoded by mpg123 through a FIFO.
# When the music has ended and the bytes stop growing, curl is stopped and
# the player finishes.
run_gateway() {
  local gateway_pid curl_pid source_pid ok=1
  "$bin/gateway/stream_gateway" --listen 127.0.0.1:8000 >"$out/gateway.out" 2>"$out/gateway.err" &
  gateway_pid=$!
  wait_for 100 grep -q 'listening on' "$out/gateway.err" || echo "demo: the gateway did not start" >&2
  "$bin/server/stream_server" --once --source-port 1995 --list-interval 200 "$out/radio" \
    >"$out/server2.out" 2>"$out/server2.err" &
  source_pid=$!
  on_air() { curl -s http://127.0.0.1:8000/status.json | grep -q '"number":1,[^}]*"on_air":true'; }
  mkfifo "$out/http"
  { tee "$out/http.mp3" <"$out/http" | mpg123 -q -w "$out/http.wav" -; touch "$out/http.done"; } &
  if wait_for 100 on_air; then
    curl -sN http://127.0.0.1:8000/channels/1 >"$out/http" &  # -N: unbuffered, for the kill
    curl_pid=$!
  else
    echo "demo: channel 1 did not come on the air at the gateway" >&2
    ok=0
    : >"$out/http"
  fi
  wait "$source_pid" || { echo "demo: the server failed" >&2; ok=0; }
  still() {
    local before
    before=$(stat -c %s "$out/http.mp3" 2>/dev/null || echo 0)
    sleep 0.5
    [[ $(stat -c %s "$out/http.mp3" 2>/dev/null || echo 0) == "$before" ]]
  }
  wait_for 100 still || { echo "demo: the HTTP stream kept coming" >&2; ok=0; }
  [[ -n ${curl_pid:-} ]] && { kill "$curl_pid" 2>/dev/null; wait "$curl_pid" 2>/dev/null; }
  wait_for 300 test -e "$out/http.done" || { echo "demo: the HTTP player did not finish" >&2; ok=0; }
  kill "$gateway_pid" 2>/dev/null
  wait "$gateway_pid" 2>/dev/null || true
  [[ $ok == 1 ]]
}

# The server's host for the lossy hop: a process parked in a network
# namespace of its own (its pid in host_pid), joined to this one by the veth
# pair lossy0 (10.199.1.1, here) and lossy1 (10.199.1.2, there). Here
# nftables drops 2 of every 40 datagrams that come in for the radio's port
# and its repair port: 5 %, two in a row.
start_lossy_hop() {
  unshare -n sleep 600 &
  host_pid=$!
  local here
  here=$(readlink /proc/self/ns/net)
  apart() { [[ $(readlink "/proc/$host_pid/ns/net") != "$here" ]]; }
  wait_for 100 apart || return 1
  ip link add lossy0 type veth peer name lossy1 netns "$host_pid" &&
    ip addr add 10.199.1.1/24 dev lossy0 && ip link set lossy0 multicast on up &&
    nsenter -t "$host_pid" -n sh -c 'ip link set lo up && ip addr add 10.199.1.2/24 dev lossy1 &&
      ip link set lossy1 multicast on up && ip route add 224.0.0.0/4 dev lossy1' &&
    nft 'add table inet lossy' &&
    nft 'add chain inet lossy in { type filter hook prerouting priority 0; }' &&
    nft 'add rule inet lossy in iifname lossy0 udp dport { 1989, 1991 } numgen inc mod 40 < 2 drop'
}

# The radio across the lossy hop: two clients on lossy0, sharing the ports
# (--reuse-address), take channel 1, the second with --repair; the server
# plays the lossy radio once on the other host (with its defaults: it is
# alone there). Channel 2 plays 3 s longer than channel 1, so that the
# repair of channel 1's last block is sent before the server ends. Once the
# client with --repair has relayed the file's last frames whole (its hold
# is about 2.4 s), or 10 s after the server ended, both are stopped, the
# one with --repair by SIGTERM, on which it says what it rebuilt.
run_lossy() {
  local host_pid lossy_pids=() ok=1
  if ! start_lossy_hop; then
    echo "demo: cannot make the lossy hop" >&2
    kill "${host_pid:-}" 2>/dev/null
    return 1
  fi
  lossy_client plain
  lossy_client repair --repair
  bound() { [[ $(grep -c ':07C5 ' /proc/net/udp) == 2 ]]; }
  wait_for 100 bound || echo "demo: the clients have not bound their port" >&2
  nsenter -t "$host_pid" -n "$bin/server/stream_server" --once --list-interval 200 \
    "$out/lossy-radio" >"$out/lossy-server.out" 2>"$out/lossy-server.err" ||
    { echo "demo: the server failed across the lossy hop" >&2; ok=0; }
  wait_for 100 whole_tail "$out/lossy-repair.mp3" || true
  kill "${lossy_pids[@]}" "$host_pid" 2>/dev/null
  wait "${lossy_pids[@]}" "$host_pid" 2>/dev/null || true
  [[ $ok == 1 ]]
}

# lossy_client KIND OPTION...: a client on lossy0 with the options that
# takes channel 1; what it relays, prints and reports in lossy-KIND.mp3,
# .out and .err; its pid added to lossy_pids.
lossy_client() {
  local kind=$1
  shift
  echo 1 | "$bin/client/client" -I lossy0 --reuse-address "$@" -p "cat > '$out/lossy-$kind.mp3'" \
    >"$out/lossy-$kind.out" 2>"$out/lossy-$kind.err" &
  lossy_pids+=($!)
}

# whole_tail FILE: FILE holds the last bytes of channel 1's music, whole.
whole_tail() {
  local got
  got=$(stat -c %s "$1" 2>/dev/null || echo 0)
  [[ $got -gt 0 ]] && tail -c "$got" "$out/music.mp3" | cmp -s - "$1"
}

if [[ $inner == 1 ]]; then
  run_inner
  exit $?
fi

mkdir -p "$bin"
tools/ensure-deps --log "$bin/ensure-deps.log" build test demo
if [[ $build == 1 ]]; then
  . tools/logged.sh
  log=$bin/demo-build.log
  : >"$log"
  step "configuring $bin (output in $log)"
  logged "$log" cmake -S . -B "$bin" -DCMAKE_BUILD_TYPE=RelWithDebInfo ||
    { echo "demo: the configure failed" >&2; exit 1; }
  step "building stream_server, client and stream_gateway"
  logged "$log" cmake --build "$bin" -j"$(nproc)" --target stream_server client stream_gateway ||
    { echo "demo: the build failed" >&2; exit 1; }
fi
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
bin=$(cd "$bin" && pwd)

# A few seconds of music made here: a plucked arpeggio over a held chord.
# make_piece NAME SECONDS CHORD_HZ CHORD_HZ NOTE...: half-second notes over
# the chord, into NAME.mp3.
make_piece() {
  local name=$1 seconds=$2 low=$3 high=$4
  shift 4
  local parts=() i=0
  for note in "$@"; do
    sox -q -n -r 44100 -c 2 -b 16 "$out/note$i.wav" synth 0.5 pluck "$note" fade 0 0.5 0.05
    parts+=("$out/note$i.wav")
    i=$((i + 1))
  done
  sox -q "${parts[@]}" "$out/melody.wav"
  sox -q -n -r 44100 -c 2 -b 16 "$out/chord.wav" synth "$seconds" sine "$low" sine "$high" \
    fade 0.2 "$seconds" 0.5 vol 0.3
  sox -q -m "$out/melody.wav" "$out/chord.wav" "$out/$name.wav" norm -3
  rm -f "$out"/note*.wav "$out/melody.wav" "$out/chord.wav"
  lame --quiet -b 128 "$out/$name.wav" "$out/$name.mp3"
}
step "making 4 s, 3 s and 4 s of music, as MP3, FLAC and Ogg Vorbis, filling the radio folder"
make_piece music 4 130.81 196 C4 E4 G4 C5 G4 E4 C4 G3
make_piece minor 3 110 164.81 A3 C4 E4 A4 E4 C4
make_piece more 4 98 146.83 G3 B3 D4 G4 D4 B3 G3 D3
mkdir -p "$out/radio/1-music" "$out/radio/2-minor" "$out/radio/3-more"
cp "$out/music.mp3" "$out/radio/1-music/"
cp "$out/minor.mp3" "$out/radio/2-minor/"
# Channel 3: a piece cut in two, a FLAC and an Ogg Vorbis file, which the
# server transcodes to MP3 and plays one after the other without a gap.
sox -q "$out/more.wav" "$out/radio/3-more/a-first.flac" trim 0 2
sox -q "$out/more.wav" "$out/radio/3-more/b-second.ogg" trim 2 2
printf 'music (MPEG audio, 128 kbit/s)\n' >"$out/radio/1-music/desc.txt"
printf 'a minor arpeggio (MPEG audio, 128 kbit/s)\n' >"$out/radio/2-minor/desc.txt"
printf 'a G major arpeggio (FLAC and Ogg Vorbis, sent as MP3)\n' >"$out/radio/3-more/desc.txt"
# The radio across the lossy hop: channel 1 the same music, channel 2 the
# minor arpeggio and the music, 7 s.
mkdir -p "$out/lossy-radio/1-music" "$out/lossy-radio/2-more"
cp "$out/music.mp3" "$out/lossy-radio/1-music/"
cp "$out/minor.mp3" "$out/lossy-radio/2-more/a-minor.mp3"
cp "$out/music.mp3" "$out/lossy-radio/2-more/b-music.mp3"

# The host's mDNS responder is reached over the system bus, which no network
# namespace hides: the demo's programs find none, and announce nothing.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/dev/null/no-system-bus
if [[ $(id -u) -eq 0 ]]; then ns=(unshare -n); else ns=(unshare -rn); fi
if ! "${ns[@]}" true 2>/dev/null; then
  echo "demo: cannot make a private network namespace (${ns[*]} failed); the demo never uses the machine's own network" >&2
  [[ ${CI:-} == true ]] && exit 1
  exit 77
fi
step "serving it with stream_server, through client and then stream_gateway and curl to the mpg123 player, then across a lossy hop to two clients, in private network namespaces"
played=0
"${ns[@]}" -- "$0" --inner --bin-dir "$bin" --out "$out" && played=1

end_step

# same_samples A.wav B.wav: the two decodes hold the same samples.
same_samples() {
  local status=0
  sox "$1" -t raw "$1.raw" && sox "$2" -t raw "$2.raw" && cmp -s "$1.raw" "$2.raw" || status=1
  rm -f "$1.raw" "$2.raw"
  return $status
}

# The report.
echo
echo "== the channel list as the client showed it"
sed -n '/^channel:/,$p' "$out/client.out" | grep -v '^Accept' || true
echo "== the server's summary"
grep 'stopped;' "$out/server.err" 2>/dev/null || true
relayed=$(grep -c '^Accept massage:1 recived\.$' "$out/client.out" || true)
got=0
[[ -f $out/relayed.mp3 ]] && got=$(stat -c %s "$out/relayed.mp3")
echo "== datagrams relayed to the player: $relayed, $got bytes ($(stat -c %s "$out/music.mp3") in the MP3 file)"
# The run the client got: the file's last frames, whole, with nothing lost
# and nothing of channel 2 (the file has no tag at its end; its first frame,
# the encoder's header, is never sent).
run=0
if [[ $got -gt 0 ]] && tail -c "$got" "$out/music.mp3" | cmp -s - "$out/relayed.mp3"; then
  run=1
  tail -c "$got" "$out/music.mp3" >"$out/run.mp3"
  mpg123 -q -w "$out/direct.wav" "$out/run.mp3"
  echo "== they are the last $got bytes of the file: whole frames, from where the client joined to the end"
else
  echo "== the relayed bytes are NOT the end of the file; logs are in $out" >&2
fi
identical=0
if [[ $played == 1 && $run == 1 && -s $out/decoded.wav ]]; then
  echo "== decoded duration: $(soxi -D "$out/decoded.wav") s (direct decode of those frames: $(soxi -D "$out/direct.wav") s, of the whole file: $(soxi -D "$out/music.wav") s)"
  echo "   (longer than the whole file: a decoder trims the encoder's delay and padding that the file's header frame gives; the server does not send that frame)"
  step "comparing with a direct decode, drawing the spectrogram"
  same_samples "$out/decoded.wav" "$out/direct.wav" && identical=1
  # Resampled to 3 kHz first, so the plot spans 0 to 1.5 kHz, where the
  # notes (196 to 523 Hz), their first overtones and the chord lie.
  sox "$out/decoded.wav" -n rate 3k spectrogram -o "$out/spectrogram.png" \
    -t "channel 1 as the player decoded it (0-1.5 kHz; top pane left, bottom pane right)"
  end_step
  echo "== spectrogram of what the player decoded: $out/spectrogram.png"
  echo "   look for: half-second notes whose fundamental and overtones step up and down"
  echo "   (C4 E4 G4 C5 G4 E4 C4 G3, from where the client joined), over one steady line of the held chord, 131 Hz"
  echo "   on the left (top pane) and 196 Hz on the right (bottom); a gap, or a smear"
  echo "   across all frequencies, would be lost or damaged data"
else
  end_step
  echo "== nothing was decoded; logs are in $out"
fi
# The same checks for what the gateway served over HTTP: the file's last
# frames from where the listener's burst began, decoding identically.
http_got=0
[[ -f $out/http.mp3 ]] && http_got=$(stat -c %s "$out/http.mp3")
echo "== over HTTP from stream_gateway: $http_got bytes"
http_identical=0
if [[ $http_got -gt 0 ]] && tail -c "$http_got" "$out/music.mp3" | cmp -s - "$out/http.mp3"; then
  echo "== they are the last $http_got bytes of the file: whole frames, from the listener's burst to the end"
  tail -c "$http_got" "$out/music.mp3" >"$out/http-run.mp3"
  mpg123 -q -w "$out/http-direct.wav" "$out/http-run.mp3"
  [[ $played == 1 && -s $out/http.wav ]] && same_samples "$out/http.wav" "$out/http-direct.wav" &&
    http_identical=1
else
  echo "== the bytes over HTTP are NOT the end of the file; logs are in $out" >&2
fi

# lossy_line KIND LABEL: what the client across the lossy hop relayed, as
# one line of the report.
lossy_line() {
  local n size verdict="NOT the file's frames whole: gaps where the hop lost datagrams"
  n=$(grep -c '^Accept massage:1 recived\.$' "$out/lossy-$1.out" 2>/dev/null || true)
  size=$(stat -c %s "$out/lossy-$1.mp3" 2>/dev/null || echo 0)
  whole_tail "$out/lossy-$1.mp3" && verdict="the last $size bytes of the file, whole"
  printf '   %-17s %3s datagrams, %6s bytes: %s\n' "$2" "${n:-0}" "$size" "$verdict"
}
echo "== across a hop that loses 5 % of the datagrams (2 in every 40), channel 1 as relayed by"
lossy_line plain client
lossy_line repair 'client --repair'
echo "   which said on SIGTERM: $(grep -h 'rebuilt datagrams' "$out/lossy-repair.err" 2>/dev/null || echo nothing)"
status=0
if whole_tail "$out/lossy-repair.mp3"; then
  echo "== the client with --repair relayed the file's frames whole across the lossy hop"
else
  echo "== the client with --repair did NOT relay the file's frames whole; logs are in $out" >&2
  status=1
fi
if [[ $identical == 1 ]]; then
  echo "== the client's decoded audio is identical, sample for sample, to a direct decode of those frames"
else
  echo "== the client's decoded audio is NOT identical to a direct decode of those frames; logs are in $out" >&2
  status=1
fi
if [[ $http_identical == 1 ]]; then
  echo "== the audio decoded over HTTP is identical, sample for sample, to a direct decode of those frames"
else
  echo "== the audio decoded over HTTP is NOT identical to a direct decode of those frames; logs are in $out" >&2
  status=1
fi
exit $status
