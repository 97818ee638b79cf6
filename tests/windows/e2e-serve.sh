#!/usr/bin/env bash
# `vandrel-cli.exe serve` under wine, reached from Linux with curl as a factory's system reaches it:
# three Linux vandrel-sim handsets on COM1..COM3 (COM2's verify fails), a jobs folder and a SQLite
# store.
#
#   tests/windows/e2e-serve.sh BUILD_WIN BUILD_LINUX
#
# Checks: the address printed; GET station (the ports, nothing running); the dashboard and the
# OpenAPI document served; an unknown job refused with a problem (404) and nothing started; POST
# start; the event stream read until one `end` per handset (COM2 failed with its reason); each
# record fetched by its attempt id; then a slow handset started and the service stopped by Ctrl-C
# in the middle: exit 130, the event stream closed, every record complete (none left open, the
# stopped one ended as stopped at its block boundary, its serial void).
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "${1:?usage: e2e-serve.sh BUILD_WIN BUILD_LINUX}" && pwd)
linux=$(cd "${2:?usage: e2e-serve.sh BUILD_WIN BUILD_LINUX}" && pwd)
cli="$win/bin/vandrel-cli.exe"
sim="$linux/simulator/vandrel-sim"
for f in "$cli" "$sim"; do
    [ -f "$f" ] || { echo "e2e-serve: $f is missing" >&2; exit 2; }
done
for tool in wine curl jq; do
    command -v "$tool" >/dev/null || { echo "e2e-serve: $tool is not installed" >&2; exit 2; }
done
. "$src/tests/windows/common.sh"

wine_test_init serve E2E_KEEP
serve_pid=
events_pid=
cleanup_extra() {
    [ -n "$events_pid" ] && kill "$events_pid" 2>/dev/null
    [ -n "$serve_pid" ] && kill -KILL "$serve_pid" 2>/dev/null
    return 0
}

wine_boot
start_sim 1
start_sim 2 --fault bit-flip:1
start_sim 3
wait_links 1 2 3
map_ports 1 2 3
echo "wine prefix and 3 handsets ready in $(($(date +%s) - t0)) s"
run() { wine "$cli" "$@"; }
# wine's first open of each port is slow (see e2e.sh): one status per port first, not judged
for n in 1 2 3; do
    run --port "COM$n" --wait 5 status >/dev/null 2>&1 || true
done

mkdir -p "$work/jobs"
cp "$src/samples/r3700-line.toml" "$src/samples/"*.m0 "$work/jobs/"
db="$work/records.db"
run store init --store "$db" >/dev/null 2>&1 || fail "store init"

# wait_for FILE PATTERN COUNT [SECONDS]: until FILE holds COUNT lines matching PATTERN
wait_for() {
    for _ in $(seq $((${4:-60} * 10))); do
        [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0
        sleep 0.1
    done
    return 1
}

# --- the service on any free port of the loopback address
# wine itself in the background (not through a function's subshell): its SIGINT is the Ctrl-C below
wine "$cli" --port COM1 --port COM2 --port COM3 --store "$db" serve --jobs "$work/jobs" --listen 127.0.0.1:0 \
    >"$work/serve.out" 2>"$work/serve.log" &
serve_pid=$!
base=""
if wait_for "$work/serve.out" 'the station is at http://127.0.0.1:[0-9]*/' 1 30; then
    base=$(grep -o 'http://127.0.0.1:[0-9]*' "$work/serve.out" | head -1)
    pass "serve prints its address ($base/)"
else
    cat "$work/serve.out" "$work/serve.log"
    fail "serve did not print its address"
    finish
    exit 1
fi
api=$base/api/v1
# get PATH: the body; the status in $work/status
get() { curl -s -o - -w '%{stderr}%{http_code}' "$api$1" 2>"$work/status"; }
post() {
    curl -s -o - -w '%{stderr}%{http_code}' -H 'Content-Type: application/json' -d "$2" "$api$1" \
        2>"$work/status"
}
status() { cat "$work/status"; }

out=$(get /station)
if [ "$(status)" = 200 ] && [ "$(jq -r '[.ports[].port] | join(",")' <<<"$out")" = COM1,COM2,COM3 ] &&
    [ "$(jq -r '[.ports[].state] | unique | join(",")' <<<"$out")" = idle ]; then
    pass "GET station: COM1..COM3, idle"
else
    echo "$out"
    fail "GET station ($(status))"
fi

page=$(curl -s -w '\n%{http_code} %{content_type}' "$base/")
openapi=$(get /openapi.json)
if [[ "$(tail -1 <<<"$page")" == "200 text/html"* ]] && grep -q '<script' <<<"$page" &&
    [ "$(jq -r .openapi <<<"$openapi")" = 3.0.3 ]; then
    pass "the dashboard at / and the OpenAPI document"
else
    tail -3 <<<"$page"
    head -c 300 <<<"$openapi"
    fail "the dashboard or the OpenAPI document"
fi

out=$(post /station/start '{"job":"no-such-job"}')
if [ "$(status)" = 404 ] && [ "$(jq -r .type <<<"$out")" = urn:vandrel:problem:unknown-job ] &&
    [ "$(get /station | jq -r '[.ports[].state] | unique | join(",")')" = idle ]; then
    pass "an unknown job is refused (404, unknown-job) and nothing starts"
else
    echo "$out"
    fail "an unknown job ($(status))"
fi

jobs=$(get /jobs)
if [ "$(jq -r '.jobs[] | select(.name == "r3700-line.toml") | .ok' <<<"$jobs" 2>/dev/null)" = true ]; then
    pass "GET jobs: r3700-line.toml passes its check"
else
    echo "$jobs"
    fail "GET jobs"
fi

# --- a job on the three handsets, watched through the event stream
curl -sN "$api/events" >"$work/events.out" 2>/dev/null &
events_pid=$!
sleep 1
out=$(post /station/start '{"job":"r3700-line","watch":false}')
[ "$(status)" = 202 ] || { echo "$out"; fail "POST start ($(status))"; }
if wait_for "$work/events.out" '"event":"end"' 3 120; then
    ends=$(grep '^data:.*"event":"end"' "$work/events.out" | sed 's/^data: *//')
    ok_ports=$(jq -r 'select(.result == "ok") | .port' <<<"$ends" | sort | paste -sd,)
    failed=$(jq -r 'select(.result == "failed") | "\(.port) \(.error.name)"' <<<"$ends")
    if [ "$ok_ports" = COM1,COM3 ] && [ "$failed" = "COM2 verify" ]; then
        pass "the event stream: one end per handset, COM1 and COM3 passed, COM2 failed its verify"
    else
        echo "$ends"
        fail "the end events"
    fi
    ok=1
    while read -r id serial port; do
        record=$(get "/attempts/$id")
        if [ "$(status)" != 200 ] || [ "$(jq -r .serial <<<"$record")" != "$serial" ] ||
            [ "$(jq -r .port <<<"$record")" != "$port" ] || [ -z "$(jq -r '.log // empty' <<<"$record")" ]; then
            echo "attempt $id ($(status)): $record" | head -c 600
            ok=0
        fi
    done < <(jq -r '"\(.attempt) \(.serial) \(.port)"' <<<"$ends")
    [ "$ok" = 1 ] && pass "each record fetched by its attempt id, with its serial, port and log" ||
        fail "the records by id"
else
    tail -5 "$work/events.out"
    tail -5 "$work/serve.log"
    fail "three end events within 120 s"
fi

# --- Ctrl-C while a slow handset is in the middle: the service stops at a block boundary
stop_sim 1
rm -f "$work/com1"
start_sim 1 --line-rate 115200
wait_links 1
before=$(grep -c '"event":"progress"' "$work/events.out" || true)
out=$(post /station/start '{"job":"r3700-line","ports":["COM1"],"watch":false}')
[ "$(status)" = 202 ] || { echo "$out"; fail "POST start on COM1 ($(status))"; }
if wait_for "$work/events.out" '"event":"progress"' $((before + 2)) 60; then
    # wine hands SIGINT to a console program as its Ctrl-C event
    kill -INT "$serve_pid" 2>/dev/null || true
    # the handset stops at its next block boundary: a minute at most, else it did not stop
    for _ in $(seq 600); do
        kill -0 "$serve_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$serve_pid" 2>/dev/null || true
    rc=0
    wait "$serve_pid" || rc=$?
    serve_pid=
    stream=closed
    for _ in $(seq 50); do
        kill -0 "$events_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$events_pid" 2>/dev/null && stream=open
    if [ "$rc" = 130 ] && grep -q 'vandrel-cli serve: stopped' "$work/serve.out" && [ "$stream" = closed ]; then
        pass "Ctrl-C mid-handset ends serve with 130 and closes the event stream"
    else
        tail -5 "$work/serve.out" "$work/serve.log"
        fail "Ctrl-C (exit $rc, event stream $stream)"
    fi
else
    tail -5 "$work/events.out"
    fail "the slow handset's progress"
fi
history=$(run history --store "$db" --json 2>&1 || true)
echo "$history" >"$work/history.out"
results=$(jq -r '.result' <<<"$history" 2>/dev/null | sort | paste -sd,)
stopped=$(jq -r 'select(.error == "stopped" and .port == "COM1" and .ended != "" and .serialVoid) | .attempt' \
    <<<"$history" 2>/dev/null)
if [ "$results" = failed,failed,passed,passed ] && [ -n "$stopped" ]; then
    pass "records complete: two passed, COM2 failed, the stopped one ended as stopped (serial void), none open"
else
    echo "$history" | head -c 1500
    fail "records after the stop ($results)"
fi

finish
