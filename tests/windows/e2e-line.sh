#!/usr/bin/env bash
# The production line in the Windows vandrel-cli.exe, under wine, against Linux vandrel-sim
# handsets on pseudo-terminals mapped to COM ports (HKLM\Software\Wine\Ports, as tests/windows/e2e.sh
# does), in a fresh wine prefix removed at the end with its server stopped, whatever happens.
#
#   tests/windows/e2e-line.sh BUILD_WIN BUILD_LINUX
#
# Checks: `store init`, `job check`; a job run (--json, --log) on COM1..COM4 with COM3 failing its
# verify (three passed, one failed, the failed one's serial void); `history --csv`; every good handset holds its
# serial in flash (the handset's export at exit); a second console reading `history` while a run
# writes; a station ended by TerminateProcess (taskkill /F) in the middle of a handset and run
# again: its open attempt closed as interrupted, its serial not issued again; a URL asking for TLS
# refused in words; two stations sharing one PostgreSQL server on 127.0.0.1 over TCP (initdb and
# pg_ctl as an unprivileged user in a temporary folder, stopped at the end): E2E_LINE_HANDSETS
# handsets (default 16) between them, every one with a serial of its own, in its flash.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "${1:?usage: e2e-line.sh BUILD_WIN BUILD_LINUX}" && pwd)
linux=$(cd "${2:?usage: e2e-line.sh BUILD_WIN BUILD_LINUX}" && pwd)
cli="$win/bin/vandrel-cli.exe"
sim="$linux/simulator/vandrel-sim"
handsets=${E2E_LINE_HANDSETS:-16}
for f in "$cli" "$sim"; do
    [ -x "$f" ] || [ -f "$f" ] || { echo "e2e-line: $f is missing" >&2; exit 2; }
done
command -v wine >/dev/null || { echo "e2e-line: wine is not installed" >&2; exit 2; }

. "$src/tests/windows/common.sh"
wine_test_init e2e-line E2E_KEEP
pg_bin=""
# the server refuses root: as the user nobody then, in a folder of its own
as_pg=(env)
if [ "$(id -u)" = 0 ]; then
    as_pg=(runuser -u nobody --)
fi
cleanup_extra() {
    if [ -n "$pg_bin" ] && [ -f "$work/pg/data/postmaster.pid" ]; then
        "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
}

# The serial goes to the end of the main code area (the job's [serial] address); each handset
# exports those bytes at exit.
serial_address=0x0037F000
serial_end=0x0037F00E # "R3700-00001000": 14 bytes

# every handset N exports its serial bytes to heldN.bin at exit
sim_args() { printf '%s\n' --export "$serial_address:$serial_end:$work/held$1.bin"; }
held() { tr -d '\377' <"$work/held$1.bin" 2>/dev/null || true; }
ports_args() {
    for n in "$@"; do
        printf -- '--port\nCOM%s\n' "$n"
    done
}
run() { wine "$cli" "$@"; }

wine_boot
all=$(seq 1 "$handsets")
# COM3's handset flips a bit in the first block it stores after the flash writer: its verify
# fails. COM17 is slow (a real line's rate, 115200 bit/s): time to end its station in the middle.
for n in $all; do
    if [ "$n" = 3 ]; then start_sim 3 --fault bit-flip:1; else start_sim "$n"; fi
done
start_sim 17 --line-rate 115200
wait_links $all 17
map_ports $all 17
[ "$(readlink "$WINEPREFIX/dosdevices/com17")" = "$work/com17" ] || fail "COM17 is mapped to the handset's pty"
echo "wine prefix and $((handsets + 1)) handsets ready in $(($(date +%s) - t0)) s"

# The sample job, copied beside its images.
mkdir -p "$work/job"
cp "$src/samples/r3700-line.toml" "$src/samples/"*.m0 "$work/job/"
job="$work/job/r3700-line.toml"
db="$work/records.db"

# wine's first open of each port is slow (see e2e.sh): one status per port first, not judged.
for n in $all 17; do
    run --port "COM$n" --wait 5 status >/dev/null 2>&1 || true
done

# --- SQLite: the store made on purpose, the job checked
out=$(run store init --store "$db" 2>&1) && rc=0 || rc=$?
[ "$rc" = 0 ] && [ -f "$db" ] && pass "store init makes the SQLite file" || { echo "$out"; fail "store init (exit $rc)"; }
out=$(run job check "$job" --store "$db" 2>&1) && rc=0 || rc=$?
if [ "$rc" = 0 ] && echo "$out" | grep -q 'pool: R3700-{serial:08} 1000..1999'; then
    pass "job check names the pool"
else
    echo "$out"
    fail "job check (exit $rc)"
fi

# --- one run on COM1..COM4, COM3 failing its verify
mapfile -t four < <(ports_args 1 2 3 4)
run --job "$job" --store "$db" "${four[@]}" --json --log "$work/line4.log" run >"$work/run4.out" 2>"$work/run4.log" &&
    rc=0 || rc=$?
passed=$(grep -c '"event":"end","result":"ok"' "$work/run4.out" || true)
failed=$(grep -c '"event":"end","result":"failed"' "$work/run4.out" || true)
if [ "$rc" = 1 ] && [ "$passed" = 3 ] && [ "$failed" = 1 ] && [ -s "$work/line4.log" ] &&
    grep '"event":"end"' "$work/run4.out" | grep '"port":"COM3"' | grep -q '"result":"failed"'; then
    pass "a job on COM1..COM4 with --json and --log: three passed, COM3 failed (exit 1)"
else
    tail -20 "$work/run4.log"
    grep '"event":"end"' "$work/run4.out" || true
    fail "a job on four ports (exit $rc, $passed passed, $failed failed)"
fi

# history --csv: a header and one line per attempt, COM3's failed with its serial void
out=$(run history --store "$db" --csv 2>&1) && rc=0 || rc=$?
echo "$out" >"$work/history.out"
if [ "$rc" = 0 ] && [ "$(echo "$out" | tail -n +2 | grep -c ',passed,')" = 3 ] &&
    [ "$(echo "$out" | tail -n +2 | grep -c ',failed,')" = 1 ] &&
    [ "$(echo "$out" | tail -n +2 | grep -c 'R3700-0000100[0-3]')" = 4 ]; then
    pass "history --csv: three passed, one failed, four serials"
else
    echo "$out"
    fail "history --csv (exit $rc)"
fi

# every good handset holds the serial its record names (the handset's export at exit)
for n in 1 2 4; do
    stop_sim "$n"
done
ok=1
for n in 1 2 4; do
    serial=$(grep '"event":"end"' "$work/run4.out" | grep "\"port\":\"COM$n\"" | grep -o '"serial":"[^"]*"' | cut -d'"' -f4 || true)
    if [ -z "$serial" ] || [ "$(held "$n")" != "$serial" ]; then
        echo "COM$n: record '$serial', flash '$(held "$n")'"
        ok=0
    fi
done
[ "$ok" = 1 ] && pass "the three good handsets hold their serials in flash" || fail "serials in flash"

# --- a station ended in the middle of a handset (TerminateProcess), a second console reading
# history meanwhile, then the station again
run --job "$job" --store "$db" --port COM17 --json run >"$work/killed.out" 2>"$work/killed.log" &
station=$!
open=""
for _ in $(seq 600); do
    sleep 0.2
    open=$(run history --store "$db" --json 2>/dev/null | grep '"result":"open"' | grep '"serial":"R3700' || true)
    [ -n "$open" ] && break
done
if [ -n "$open" ]; then
    pass "a second console reads history while a run writes: the open attempt and its serial"
else
    fail "history while a run writes"
fi
sleep 1
wine taskkill /F /IM vandrel-cli.exe >"$work/taskkill.log" 2>&1 || true
wait "$station" 2>/dev/null || true
# the station again, with the next handset (not paced) on the port
stop_sim 17
rm -f "$work/com17"
start_sim 17
wait_links 17
out=$(run --job "$job" --store "$db" --port COM17 --json run 2>"$work/restart.log") && rc2=0 || rc2=$?
records=$(run history --store "$db" --json 2>&1 | grep '"port":"COM17"' || true)
echo "$records" >"$work/restart.out"
interrupted=$(echo "$records" | grep '"result":"interrupted"' || true)
again=$(echo "$records" | grep '"result":"passed"' || true)
killed_serial=$(echo "$interrupted" | grep -o '"serial":"[^"]*"' | cut -d'"' -f4 || true)
new_serial=$(echo "$again" | grep -o '"serial":"[^"]*"' | cut -d'"' -f4 || true)
if grep -q 'forcibly terminated' "$work/taskkill.log" && [ "$rc2" = 0 ] && [ -n "$killed_serial" ] && [ -n "$new_serial" ] &&
    [ "$killed_serial" != "$new_serial" ]; then
    pass "a station ended by taskkill /F mid-handset: its attempt interrupted ($killed_serial void), the next run passes with $new_serial"
else
    echo "$records"
    tail -5 "$work/restart.log"
    cat "$work/taskkill.log"
    fail "a station killed and restarted (exit $rc2)"
fi

# --- TLS to PostgreSQL is not in this build: said in words
out=$(run history --store "postgresql://line@127.0.0.1:1/vandrel?sslmode=require" 2>&1) && rc=0 || rc=$?
if [ "$rc" != 0 ] && echo "$out" | grep -q "asks for TLS (sslmode), and this build's PostgreSQL client has none"; then
    pass "sslmode=require is refused in words"
else
    echo "$out"
    fail "sslmode=require (exit $rc)"
fi

# --- two stations sharing one PostgreSQL server over TCP on 127.0.0.1
for dir in /usr/lib/postgresql/*/bin; do
    [ -x "$dir/initdb" ] && pg_bin=$dir
done
if [ -z "$pg_bin" ]; then
    fail "no PostgreSQL server programs (initdb, pg_ctl): scripts/setup-deps installs them"
else
    port=$((20000 + $$ % 20000))
    mkdir -p "$work/pg"
    [ "$(id -u)" = 0 ] && chown nobody "$work/pg"
    "${as_pg[@]}" "$pg_bin/initdb" -D "$work/pg/data" -A trust -U vandrel -E UTF8 --no-sync \
        >"$work/initdb.log" 2>&1
    "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -w -t 60 -l "$work/pg/server.log" \
        -o "-c listen_addresses=127.0.0.1 -p $port -k $work/pg -F" start >/dev/null
    url="postgresql://vandrel@127.0.0.1:$port/postgres"
    out=$(run store init --store "$url" 2>&1) || { echo "$out"; fail "store init on PostgreSQL"; }
    # fresh handsets (COM3 failing its verify again)
    for n in $all; do
        stop_sim "$n"
        rm -f "$work/held$n.bin" "$work/com$n"
        if [ "$n" = 3 ]; then start_sim 3 --fault bit-flip:1; else start_sim "$n"; fi
    done
    wait_links $all
    half=$((handsets / 2))
    mapfile -t first < <(ports_args $(seq 1 "$half"))
    mapfile -t second < <(ports_args $(seq $((half + 1)) "$handsets"))
    t1=$(date +%s)
    run --job "$job" --store "$url" "${first[@]}" --json run >"$work/pg1.out" 2>"$work/pg1.log" &
    a=$!
    run --job "$job" --store "$url" "${second[@]}" --json run >"$work/pg2.out" 2>"$work/pg2.log" &
    b=$!
    wait "$a" && rca=0 || rca=$?
    wait "$b" && rcb=0 || rcb=$?
    echo "two stations, $handsets handsets: $(($(date +%s) - t1)) s"
    # COM3 fails its verify again: every other handset passes with a serial of its own
    serials=$(cat "$work/pg1.out" "$work/pg2.out" | grep '"event":"end","result":"ok"' |
        grep -o '"serial":"[^"]*"' | cut -d'"' -f4 | sort || true)
    good=$((handsets - 1))
    if [ "$(echo "$serials" | grep -c R3700)" = "$good" ] && [ "$(echo "$serials" | sort -u | grep -c R3700)" = "$good" ]; then
        pass "two stations on one PostgreSQL server: $good passed handsets, $good distinct serials (COM3 failed)"
    else
        tail -5 "$work/pg1.log" "$work/pg2.log"
        echo "$serials"
        fail "two stations on PostgreSQL (exit $rca and $rcb)"
    fi
    records=$(run history --store "$url" --csv 2>&1 | tail -n +2)
    issued=$(echo "$records" | grep -o 'R3700-[0-9]*' | sort || true)
    if [ "$(echo "$records" | grep -c .)" = "$handsets" ] && [ "$(echo "$issued" | sort -u | grep -c R3700)" = "$handsets" ]; then
        pass "the PostgreSQL store: $handsets records, $handsets distinct serials (one void)"
    else
        echo "$records"
        fail "the PostgreSQL store's records"
    fi
    for n in $all; do
        [ "$n" = 3 ] || stop_sim "$n"
    done
    ok=1
    for n in $all; do
        [ "$n" = 3 ] && continue
        serial=$(cat "$work/pg1.out" "$work/pg2.out" | grep '"event":"end"' | grep "\"port\":\"COM$n\"" |
            grep -o '"serial":"[^"]*"' | cut -d'"' -f4 || true)
        if [ -z "$serial" ] || [ "$(held "$n")" != "$serial" ]; then
            echo "COM$n: record '$serial', flash '$(held "$n")'"
            ok=0
        fi
    done
    [ "$ok" = 1 ] && pass "every good handset holds its serial in flash" || fail "serials in flash (PostgreSQL)"
    "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -m fast -w stop >/dev/null
fi

finish
