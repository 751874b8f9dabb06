# logged.sh - sourced by test.sh and demo.sh: a long step with its output
# kept in a log, and only its progress shown.

# logged LOG COMMAND...: runs COMMAND with its output appended to LOG. While
# it runs, each tenth of a build's progress that cmake reports ("[ 40%]", or
# Ninja's "[12/80]") is shown as "40% " on the current line. When COMMAND
# fails, the line is ended and the log's last 30 lines follow (the whole
# log under CI=true, whose log files nobody reads), with where the whole log
# is; COMMAND's status is returned.
logged() {
  local log=$1 shown=0 from pid status=0
  shift
  from=$(($(wc -l <"$log" 2>/dev/null || echo 0) + 1))
  "$@" >>"$log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    show_progress "$log" "$from"
    sleep 0.5
  done
  wait "$pid" || status=$?
  show_progress "$log" "$from"
  if [[ $status -ne 0 ]]; then
    echo
    if [[ ${CI:-} == true ]]; then cat "$log" >&2; else tail -30 "$log" >&2; fi
    echo "(the whole log: $log)" >&2
  fi
  return $status
}

# show_progress LOG FROM: prints the tenth that the build output in LOG,
# from line FROM on, last reached, when it is past the one shown before
# (logged's shown, which bash lets this function see and set).
show_progress() {
  local tenth
  tenth=$(tail -n +"$2" "$1" | sed -nE 's/^\[ *([0-9]+)%\].*/\1/p; s|^\[([0-9]+)/([0-9]+)\].*|\1 \2|p' |
    awk '{ p = NF == 2 ? int(100 * $1 / $2) : $1 } END { print int(p / 10) }')
  if [[ $tenth -gt $shown ]]; then
    printf '%d%% ' $((tenth * 10))
    shown=$tenth
  fi
}
