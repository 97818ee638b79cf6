#!/usr/bin/env bash
# The README's first command as a newcomer runs it on a desktop: a fresh clone, then scripts/run
# on a real X server under a window manager (tests/app_ui/under-x.sh). The desktop program must
# open, connect to the virtual handset when its toggle is pressed, download the listed samples
# with Download All and close through the window manager's close request; scripts/run must then
# end with status 0. Not part of ctest: it builds the clone from nothing (Release), which takes
# many minutes. Screenshots of the whole screen and the logs go to OUT.
#
#   tests/newcomer/first-command.sh [REPOSITORY]   default: the repository this script is in
#
# Environment: CLONE_DIR (default: a new temporary folder, removed at the end),
# OUT (default /tmp/vandrel-newcomer), BUILD_WAIT (seconds the window may take to open, 3600).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" != "--under-x" ]; then
    repo=${1:-$(git -C "$here" rev-parse --show-toplevel)}
    exec "$here/../app_ui/under-x.sh" "$0" --under-x "$repo"
fi
repo=$2
out=${OUT:-/tmp/vandrel-newcomer}
rm -rf "$out"
mkdir -p "$out"
clone=${CLONE_DIR:-}
own_clone=0
if [ -z "$clone" ]; then
    clone=$(mktemp -d "${TMPDIR:-/tmp}/vandrel-clone-XXXXXX")
    own_clone=1
fi
run_pid=""
finish() {
    if [ -n "$run_pid" ] && kill -0 "$run_pid" 2>/dev/null; then
        kill -TERM "$run_pid" 2>/dev/null || true
        wait "$run_pid" 2>/dev/null || true
    fi
    [ "$own_clone" -eq 0 ] || rm -rf "$clone"
}
trap finish EXIT

fail() {
    echo "first-command: FAILED: $*" >&2
    shot failed
    tail -n 30 "$out/run.log" >&2 || true
    exit 1
}
shot() { import -window root "$out/$1.png" 2>/dev/null || true; }
# waits up to $1 seconds for the command after it to succeed
wait_for() {
    local limit=$1
    shift
    local t0=$SECONDS
    until "$@"; do
        [ $((SECONDS - t0)) -lt "$limit" ] || return 1
        [ -z "$run_pid" ] || kill -0 "$run_pid" 2>/dev/null || return 1
        sleep 0.2
    done
}
visible_windows() { xdotool search --onlyvisible --pid "$gui_pid" 2>/dev/null || true; }
# the number of visible windows of the program
window_count() { visible_windows | wc -l; }
# a field of the handset's state file (a number), after asking the handset to write it
state_number() {
    kill -USR1 "$sim_pid" 2>/dev/null || true
    sleep 0.3
    sed -n "s/^  \"$1\": \([0-9]*\),\$/\1/p" "$out/state.json" 2>/dev/null || true
}

git clone -q "$repo" "$clone"
cd "$clone"
echo "first-command: running scripts/run in a fresh clone of $repo (output: $out/run.log)"
GUI_SIM_ARGS="--state-out $out/state.json" scripts/run >"$out/run.log" 2>&1 &
run_pid=$!

title='Vandrel for R3700 - Version 3.0.0 (Build #052)'
find_main() {
    main=$(xdotool search --onlyvisible --name "^${title//[()#.]/.}\$" 2>/dev/null | head -n1)
    [ -n "$main" ]
}
wait_for "${BUILD_WAIT:-3600}" find_main || fail "the main window did not appear"
[ "$(xdotool getwindowname "$main")" = "$title" ] || fail "title is '$(xdotool getwindowname "$main")'"
gui_pid=$(xdotool getwindowpid "$main")
sim_pid=$(pgrep -n -P "$run_pid" -x vandrel-sim)
sleep 1
shot 1-opened
eval "$(xdotool getwindowgeometry --shell "$main")" # X Y WIDTH HEIGHT of the client area

# the connect toggle, at the left of the window's bottom row: the connect dialog opens, the flash
# writer goes over at the handset's line rate, and the dialog closes
xdotool mousemove $((X + ${CONNECT_X:-40})) $((Y + HEIGHT - ${CONNECT_FROM_BOTTOM:-40})) click 1
connected() { [ "$(window_count)" -eq 1 ] && [ "$(state_number writerBlocks)" -gt 0 ] 2>/dev/null; }
sleep 0.5
shot 2-connecting
wait_for 120 connected || fail "no connection: the flash writer did not reach the handset"
shot 3-connected

# Download All (Alt+D): the download dialog shows its progress, then closes
xdotool windowactivate --sync "$main" key alt+d
wait_for 30 sh -c "[ \"\$(xdotool search --onlyvisible --pid $gui_pid 2>/dev/null | wc -l)\" -gt 1 ]" ||
    fail "Download All opened no download dialog"
sleep 1.5
shot 4-downloading
wait_for 300 sh -c "[ \"\$(xdotool search --onlyvisible --pid $gui_pid 2>/dev/null | wc -l)\" -eq 1 ]" ||
    fail "the download did not end"
blocks=$(state_number blocksStored)
[ "${blocks:-0}" -gt 0 ] || fail "the handset stored no block"
sleep 0.5
shot 5-downloaded

# the window manager's close request (openbox: Alt+F4 sends WM_DELETE_WINDOW)
xdotool windowactivate --sync "$main" key alt+F4
status=0
wait "$run_pid" || status=$?
run_pid=""
shot 6-closed
[ "$status" -eq 0 ] || fail "scripts/run ended with status $status"
if grep -q 'not built yet' "$out/run.log"; then
    fail "scripts/run did not open the desktop program"
fi
echo "first-command: passed: opened, connected, $blocks blocks stored, closed; pictures in $out"
