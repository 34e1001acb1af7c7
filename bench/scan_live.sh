#!/usr/bin/env bash
# Times `kestreye scan` end to end on live GTK3 applications, each inside its
# own private headless desktop (scripts/session):
#
#   bench/scan_live.sh [RUNS]        (default 50; build first: preset default)
#   bench/scan_live.sh --editors [RUNS]  the editors (5. and 6. below) only
#   bench/scan_live.sh --web-editors [RUNS]  the web editors (6.) only
#   bench/scan_live.sh --mcp [RUNS]  the demo only: RUNS scan_ui_context calls
#                                    to one kestreye-mcp, each beside one
#                                    `kestreye scan` process
#   bench/scan_live.sh --compare BUILD_A BUILD_B [RUNS] [APP...]
#       two builds (their build folders) in turns, with a pyatspi focus
#       lookup, on the applications below (APP: demo, widget-factory, gtk4,
#       qt6, writer, calc, chromium, firefox, kwrite, web-editors; default
#       all), each brought to its tested state with this build's kestreye
#       (KESTREYE_BUILD): bench/scan_compare.py
#
# 1. kestreye-demo with the focus in the email field, after typing into it;
# 2. gtk3-widget-factory (package gtk-3-examples) with the focus in a text
#    field, reached by pressing Tab;
# 3. the desktop matrix's GTK 4 form, Qt 6 form and LibreOffice Writer, each
#    in the state its test checks (tests/matrix/desktop.py), also with the
#    attribute reads of one scan, counted by replaying a kestreye-record
#    recording of it (kestreye-replay --count-reads); LibreOffice Calc and
#    Impress likewise (tests/matrix/desktop.py), target < 150 ms;
# 4. Chromium and Firefox on tests/matrix/form.html (tests/matrix/desktop.py),
#    started as users start them, likewise;
# 5. the editors of tests/matrix/desktop.py (gedit, gnome-text-editor,
#    KWrite, Thunderbird's compose window, gnome-terminal, the editor page in
#    Chromium and Firefox), each with three lines written and the caret on
#    the second, likewise;
# 6. the editor libraries of tests/matrix/desktop.json (Quill, ProseMirror,
#    tiptap, Lexical, CKEditor 5, Monaco with its accessibility mode off and
#    on) and the plain
#    <textarea> page, in Chromium and Firefox, likewise: Monaco within 1.5x
#    of the <textarea> in the same browser;
# and, first, `kestreye` with no arguments: the floor of any run (process
# start, dynamic linking, exit).
# Prints the median, lowest and highest wall time of RUNS scans (process start
# to exit, as a host application sees it) and the peak resident set size of
# a scan. Targets: demo < 15 ms, widget factory < 40 ms, peak RSS < 10 MB.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KESTREYE_BUILD:-$root/build/default}
kestreye=$build/src/kestreye
readonly wait_s=15

fail() {
  echo "scan_live: $*" >&2
  exit 1
}

# Waits until a scan succeeds with a reply whose block starts with $1 (as it
# stands in the JSON line): the application registers with the accessibility
# bus on its own schedule.
scan_until() {
  local i reply=
  for ((i = 0; i < wait_s * 20; i++)); do
    reply=$("$kestreye" scan 2>/dev/null) || true
    if [[ $reply == "{\"success\":true,\"ui_block\":\"$1"* ]]; then
      REPLY=$reply
      return 0
    fi
    sleep 0.05
  done
  fail "no scan began with '$1'; last reply: $reply"
}

# Runs RUNS timed scans and RSS_RUNS scans under /usr/bin/time; prints one
# result line for $1 (a name) against $2 (the time target in ms). The words
# after RUNS are kestreye's arguments (default: scan; "none" for none).
measure() {
  local name=$1 target_ms=$2 runs=$3 i t0 t1 rss peak=0
  shift 3
  local -a args=("$@")
  if [[ -n ${KESTREYE_COMPARE_A:-} && $# -eq 0 ]]; then
    /usr/bin/python3 "$root/bench/scan_compare.py" "$name" "$runs" \
      "$KESTREYE_COMPARE_A/src/kestreye" "$KESTREYE_COMPARE_B/src/kestreye"
    return
  fi
  [[ ${#args[@]} -eq 0 ]] && args=(scan)
  [[ ${args[0]} == none ]] && args=()
  local -a times=()
  for ((i = 0; i < 3; i++)); do "$kestreye" "${args[@]}" >/dev/null 2>&1 || true; done
  for ((i = 0; i < runs; i++)); do
    t0=$EPOCHREALTIME
    "$kestreye" "${args[@]}" >/dev/null 2>&1 || true
    t1=$EPOCHREALTIME
    times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) * 1000 }')")
  done
  report "$name" "$target_ms" "${times[@]}"
  for ((i = 0; i < 10; i++)); do
    # kestreye without arguments exits 1 by design; time passes that on.
    rss=$(/usr/bin/time -f %M "$kestreye" "${args[@]}" 2>&1 >/dev/null | tail -n 1 || true)
    ((rss > peak)) && peak=$rss
  done
  printf '%-16s peak RSS %6.2f MB  (target < 10 MB: %s)\n' "$name" \
    "$(awk -v p="$peak" 'BEGIN { print p / 1024 }')" "$( ((peak < 10240)) && echo met || echo MISSED)"
}

# Prints the median, lowest and highest of the times (ms) after $1 (a name)
# and $2 (the target in ms).
report() {
  local name=$1 target_ms=$2
  shift 2
  printf '%s\n' "$@" | sort -n | awk -v name="$name" -v target="$target_ms" '
    { t[NR] = $1 }
    END {
      median = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
      printf "%-16s median %7.2f ms  min %7.2f  max %7.2f  (%d runs, target < %d ms: %s)\n",
        name, median, t[1], t[NR], NR, target, median < target ? "met" : "MISSED"
    }'
}

# Times RUNS scan_ui_context calls to one kestreye-mcp (writing the request
# to reading its reply), each beside one `kestreye scan` process, taken in
# turns so that both see the same load. The first call is left out: it
# connects to the accessibility bus.
measure_mcp() {
  local runs=$1 i t0 t1 t2 line in out
  local -a calls=() scans=()
  in=$(mktemp -u) out=$(mktemp -u)
  mkfifo "$in" "$out"
  "$build/src/kestreye-mcp" <"$in" >"$out" 2>/dev/null &
  mcp_pid=$!
  exec {to_mcp}>"$in" {from_mcp}<"$out"
  rm -f "$in" "$out"
  echo '{"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}}' >&"$to_mcp"
  read -r -t "$wait_s" -u "$from_mcp" line || fail "kestreye-mcp did not answer initialize"
  echo '{"jsonrpc":"2.0","method":"notifications/initialized"}' >&"$to_mcp"
  for ((i = 0; i <= runs; i++)); do
    t0=$EPOCHREALTIME
    printf '{"jsonrpc":"2.0","id":%d,"method":"tools/call","params":{"name":"scan_ui_context"}}\n' \
      $((i + 1)) >&"$to_mcp"
    read -r -t "$wait_s" -u "$from_mcp" line || fail "kestreye-mcp did not answer call $i"
    t1=$EPOCHREALTIME
    [[ $line == *'"isError":false'* ]] || fail "scan_ui_context failed: $line"
    "$kestreye" scan >/dev/null 2>&1
    t2=$EPOCHREALTIME
    ((i == 0)) && continue
    calls+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) * 1000 }')")
    scans+=("$(awk -v a="$t1" -v b="$t2" 'BEGIN { printf "%.3f", (b - a) * 1000 }')")
  done
  exec {to_mcp}>&-
  wait "$mcp_pid" || fail "kestreye-mcp exited with status $?"
  report "kestreye scan" 15 "${scans[@]}"
  report "mcp call" 15 "${calls[@]}"
}

# Called by tests/matrix/desktop.py with its application ready: measure it.
if [[ ${1:-} == --measure ]]; then
  name=$2 target_ms=$3 runs=$4
  measure "$name" "$target_ms" "$runs"
  [[ -n ${KESTREYE_COMPARE_A:-} ]] && exit
  recording=$(mktemp)
  "$build/tools/kestreye-record" "$recording" >/dev/null 2>&1
  reads=$("$build/tools/kestreye-replay" --count-reads "$recording" scan 2>&1 >/dev/null |
    sed -n 's/^attribute reads: //p')
  rm -f "$recording"
  printf '%-16s %s attribute reads per scan\n' "$name" "$reads"
  exit
fi

if [[ ${1:-} == --demo ]]; then
  runs=$2
  coproc DEMO { exec "$build/demo/kestreye-demo" --trace --focus=email; }
  demo_pid=$DEMO_PID
  trap 'kill "$demo_pid" 2>/dev/null || true; wait "$demo_pid" 2>/dev/null || true' EXIT
  wait_line() {
    local line
    while IFS= read -r -t "$wait_s" -u "${DEMO[0]}" line; do
      [[ $line == $1 ]] && REPLY=$line && return 0
    done
    fail "kestreye-demo never reported '$1'"
  }
  wait_line "window *"
  window=${REPLY#window }
  xdotool windowraise "$window"
  xdotool windowfocus --sync "$window"
  wait_line "focus email"
  xdotool type --delay 5 "ann@example.com"
  wait_line "entry email length=15 caret=15 bound=15"
  scan_until 'Focused: [TextField] \"Email:\" value: \"ann@example.com\"'
  if [[ ${3:-} == --mcp ]]; then
    measure_mcp "$runs"
  else
    measure "kestreye-demo" 15 "$runs"
  fi
  exit
fi

if [[ ${1:-} == --widget-factory ]]; then
  runs=$2
  gtk3-widget-factory >/dev/null 2>&1 &
  factory_pid=$!
  trap 'kill "$factory_pid" 2>/dev/null || true; wait "$factory_pid" 2>/dev/null || true' EXIT
  window=$(timeout "$wait_s" xdotool search --sync --onlyvisible --pid "$factory_pid" | head -n 1)
  [[ -n $window ]] || fail "gtk3-widget-factory showed no window"
  xdotool windowraise "$window"
  xdotool windowfocus --sync "$window"
  scan_until ""
  # Tab through the controls until a text field has the focus.
  for ((i = 0; i < 80; i++)); do
    reply=$("$kestreye" scan 2>/dev/null) || true
    [[ $reply == '{"success":true,"ui_block":"Focused: [TextField]'* ]] && break
    xdotool key Tab
    # The key and the next scan travel on different sockets: let GTK take it.
    sleep 0.1
  done
  [[ $reply == '{"success":true,"ui_block":"Focused: [TextField]'* ]] ||
    fail "no text field took the focus; last reply: $reply"
  echo "widget factory focus: $(printf '%s' "$reply" | python3 -c \
    'import json,sys; print(json.load(sys.stdin)["ui_block"].split("\n")[0])')"
  measure "widget-factory" 40 "$runs"
  exit
fi

if [[ ${1:-} == --mcp ]]; then
  runs=${2:-50}
  [[ -x $build/src/kestreye-mcp ]] || fail "$build/src/kestreye-mcp not built"
  echo "kestreye scan as a process and kestreye-mcp's scan_ui_context, on the demo," \
    "$(nproc) cores, load average $(cut -d" " -f1-3 /proc/loadavg)"
  exec "$root/scripts/session" "$0" --demo "$runs" --mcp
fi

# Runs the desktop test TEST, whose application then stays in its tested
# state, and measures the scan there as NAME against TARGET_MS.
hold_and_measure() {
  local test=$1 name=$2 target_ms=$3
  KESTREYE_MATRIX_HOLD="$0 --measure $name $target_ms $runs" KESTREYE_SESSION_TIMEOUT=60 \
    "$root/scripts/session" /usr/bin/python3 "$root/tests/matrix/desktop.py" \
    --kestreye "$kestreye" --demo "$build/demo/kestreye-demo" \
    --record "$build/tools/kestreye-record" --replay "$build/tools/kestreye-replay" "$test" |
    grep -v '^PASS ' ||
    echo "$name: the application did not reach its tested state"
}
# The editors, in the state their tests leave them in: under 60 ms each on an
# idle machine.
measure_editors() {
  local editor app command name
  for editor in gedit:gedit:gedit gnome-text-editor:gnome-text-editor:text-editor \
    kwrite:kwrite:kwrite thunderbird:thunderbird:thunderbird \
    gnome-terminal:gnome-terminal:terminal chromium:chromium:chromium-editor \
    firefox:firefox-esr:firefox-editor; do
    IFS=: read -r app command name <<<"$editor"
    if ! command -v "$command" >/dev/null; then
      echo "$name         skipped: $command not installed"
      continue
    fi
    hold_and_measure "matrix.$app.write" "$name" 60
  done
  measure_web_editors
}

# The editor libraries of tests/matrix/desktop.json (and the plain
# <textarea> page they are compared with) in both browsers, in the state
# their tests leave them in.
measure_web_editors() {
  local browser command editor
  [[ -f $root/tests/matrix/web-editors/dist/monaco.js ]] ||
    { echo "web editors      skipped: not bundled (scripts/setup)"; return; }
  for browser in chromium:chromium firefox:firefox-esr; do
    IFS=: read -r browser command <<<"$browser"
    if ! command -v "$command" >/dev/null; then
      echo "$browser web editors skipped: $command not installed"
      continue
    fi
    for editor in textarea quill prosemirror tiptap lexical ckeditor monaco-off monaco-on; do
      hold_and_measure "matrix.$browser.$editor" "$browser-$editor" 60
    done
  done
}

if [[ ${1:-} == --editors ]]; then
  runs=${2:-50}
  echo "kestreye scan on the editors, $(nproc) cores, load average $(cut -d" " -f1-3 /proc/loadavg)"
  measure_editors
  exit
fi

if [[ ${1:-} == --web-editors ]]; then
  runs=${2:-50}
  echo "kestreye scan on the web editors, $(nproc) cores, load average $(cut -d" " -f1-3 /proc/loadavg)"
  measure_web_editors
  exit
fi

if [[ ${1:-} == --compare ]]; then
  [[ $# -ge 3 && -x $2/src/kestreye && -x $3/src/kestreye ]] ||
    fail "usage: bench/scan_live.sh --compare BUILD_A BUILD_B [RUNS] [APP...]"
  KESTREYE_COMPARE_A=$(realpath "$2") KESTREYE_COMPARE_B=$(realpath "$3")
  export KESTREYE_COMPARE_A KESTREYE_COMPARE_B
  runs=${4:-20}
  [[ $runs =~ ^[0-9]+$ && $runs -gt 0 ]] || fail "RUNS must be a positive number, not $runs"
  shift $(($# < 4 ? $# : 4))
  (($# > 0)) || set -- demo widget-factory gtk4 qt6 kwrite chromium firefox writer calc web-editors
  echo "A = $KESTREYE_COMPARE_A, B = $KESTREYE_COMPARE_B, $(nproc) cores," \
    "load average $(cut -d" " -f1-3 /proc/loadavg)"
  for app in "$@"; do
    case $app in
      demo) "$root/scripts/session" "$0" --demo "$runs" ;;
      widget-factory) "$root/scripts/session" "$0" --widget-factory "$runs" ;;
      gtk4 | qt6 | chromium | firefox) hold_and_measure "matrix.$app.email" "$app-form" 0 ;;
      kwrite) hold_and_measure matrix.kwrite.write kwrite 0 ;;
      writer) hold_and_measure matrix.writer.document writer 0 ;;
      calc) hold_and_measure matrix.calc.cell calc 0 ;;
      web-editors) measure_web_editors ;;
      *) fail "no application $app" ;;
    esac
  done
  exit
fi

runs=${1:-50}
[[ $runs =~ ^[0-9]+$ && $runs -gt 0 ]] || fail "usage: bench/scan_live.sh [RUNS]"
[[ -x $kestreye ]] || fail "$kestreye not built (cmake --preset default && cmake --build --preset default)"
[[ -x $build/demo/kestreye-demo ]] || fail "kestreye-demo not built (needs libgtk-3-dev)"
echo "kestreye scan, end to end, $(nproc) cores, load average $(cut -d" " -f1-3 /proc/loadavg)"
measure "no arguments" 15 "$runs" none
"$root/scripts/session" "$0" --demo "$runs"
if command -v gtk3-widget-factory >/dev/null; then
  "$root/scripts/session" "$0" --widget-factory "$runs"
else
  echo "widget-factory   skipped: gtk3-widget-factory not installed (gtk-3-examples)"
fi
# Writer's first contact costs a large cache snapshot: its bound is the
# scan's 2 s deadline.
for app in gtk4.email:gtk4-form:40 qt6.email:qt6-form:40 writer.document:writer:2000; do
  IFS=: read -r test name target_ms <<<"$app"
  hold_and_measure "matrix.$test" "$name" "$target_ms"
done
# Calc with its cell A1 selected (after being edited) and Impress editing a
# text box, as tests/matrix/desktop.py leaves them; Chromium and Firefox on
# the form page.
for app in calc.cell:calc:localc:150 impress.textbox:impress:loimpress:150 \
  chromium.email:chromium:chromium:40 firefox.email:firefox:firefox-esr:40; do
  IFS=: read -r test name command target_ms <<<"$app"
  if ! command -v "$command" >/dev/null; then
    printf '%-16s skipped: %s not installed\n' "$name" "$command"
    continue
  fi
  hold_and_measure "matrix.$test" "$name" "$target_ms"
done
measure_editors
