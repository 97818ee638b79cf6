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
# stopped one ended as stopped at its block boundary, its serial void). Then the line view: a
# second serve under wine on a PostgreSQL server over TCP (initdb and pg_ctl as an unprivileged
# user in a temporary folder, stopped at the end) shows a Linux `vandrel-cli serve` on the same
# server when it starts (LISTEN/NOTIFY through Winsock), and no longer when it stops.
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
linux_pid=
pg_bin=""
# the PostgreSQL server refuses root: as the user nobody then, in a folder of its own
as_pg=(env)
if [ "$(id -u)" = 0 ]; then
    as_pg=(runuser -u nobody --)
fi
cleanup_extra() {
    [ -n "$events_pid" ] && kill "$events_pid" 2>/dev/null
    [ -n "$serve_pid" ] && kill -KILL "$serve_pid" 2>/dev/null
    [ -n "$linux_pid" ] && kill -KILL "$linux_pid" 2>/dev/null
    if [ -n "$pg_bin" ] && [ -f "$work/pg/data/postmaster.pid" ]; then
        "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
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

# --- the line view on PostgreSQL: this Windows station and a Linux one on one server over TCP
# wait_url FILE: the address serve printed in FILE (30 s at most)
wait_url() {
    for _ in $(seq 300); do
        grep -o 'http://127.0.0.1:[0-9]*' "$1" 2>/dev/null | head -1 | grep . && return 0
        sleep 0.1
    done
    return 1
}
# line_count URL: how many stations the line of the station at URL shows
line_count() { curl -s "$1/api/v1/line" | jq '.stations | length' 2>/dev/null || echo 0; }
for dir in /usr/lib/postgresql/*/bin; do
    [ -x "$dir/initdb" ] && pg_bin=$dir
done
linux_cli="$linux/cli/vandrel-cli"
if [ -z "$pg_bin" ] || [ ! -x "$linux_cli" ]; then
    fail "the line view needs PostgreSQL's server programs and $linux_cli"
else
    port=$((20000 + $$ % 20000))
    mkdir -p "$work/pg"
    [ "$(id -u)" = 0 ] && chown nobody "$work/pg"
    "${as_pg[@]}" "$pg_bin/initdb" -D "$work/pg/data" -A trust -U vandrel -E UTF8 --no-sync >"$work/initdb.log" 2>&1
    "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -w -t 60 -l "$work/pg/server.log" \
        -o "-c listen_addresses=127.0.0.1 -p $port -k $work/pg -F" start >/dev/null
    url="postgresql://vandrel@127.0.0.1:$port/postgres"
    run store init --store "$url" >/dev/null 2>&1 || fail "store init on PostgreSQL"
    wine "$cli" --port COM3 --store "$url" serve --jobs "$work/jobs" --listen 127.0.0.1:0 \
        >"$work/serve-pg.out" 2>"$work/serve-pg.log" &
    serve_pid=$!
    win_url=$(wait_url "$work/serve-pg.out") || true
    for _ in $(seq 300); do
        [ "$(line_count "$win_url")" = 1 ] && break
        sleep 0.1
    done
    "$linux_cli" --port "$work/com3" --store "$url" serve --jobs "$work/jobs" --listen 127.0.0.1:0 \
        >"$work/serve-linux.out" 2>"$work/serve-linux.log" &
    linux_pid=$!
    t1=$(date +%s%N)
    seen=""
    for _ in $(seq 300); do
        if [ "$(line_count "$win_url")" = 2 ]; then
            seen=$((($(date +%s%N) - t1) / 1000000))
            break
        fi
        sleep 0.1
    done
    kill -TERM "$linux_pid" 2>/dev/null || true
    wait "$linux_pid" 2>/dev/null || true
    linux_pid=
    gone=0
    for _ in $(seq 300); do
        [ "$(line_count "$win_url")" = 1 ] && { gone=1; break; }
        sleep 0.1
    done
    if [ -n "$seen" ] && [ "$gone" = 1 ] && [ "$(curl -s "$win_url/api/v1/line" | jq -r '.stations[0].self')" = true ]; then
        pass "the line view under wine: a Linux station on the same PostgreSQL seen (after $seen ms), gone when it stops"
    else
        curl -s "$win_url/api/v1/line" | head -c 1000
        tail -3 "$work/serve-pg.log" "$work/serve-linux.log"
        fail "the line view on PostgreSQL (seen: '${seen}', gone: $gone)"
    fi
    kill -INT "$serve_pid" 2>/dev/null || true
    for _ in $(seq 300); do
        kill -0 "$serve_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$serve_pid" 2>/dev/null || true
    wait "$serve_pid" 2>/dev/null || true
    serve_pid=
    "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -m fast -w stop >/dev/null
fi

finish
