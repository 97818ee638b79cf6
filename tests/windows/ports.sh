#!/usr/bin/env bash
# vandrel-cli.exe under wine about ports it cannot have, no handset needed: a COM port that another
# wine process holds is said to be in use by another program; one port named twice (COM3 and
# \\.\COM3, COM3 and com3) is refused; and nothing the Windows program says, nor any text it
# carries, gives Linux advice (usermod, sudo, dialout). In a fresh wine prefix, removed with its
# server stopped at the end whatever happens.
#
#   tests/windows/ports.sh BUILD_WIN
#
# wine lets a second program open a COM port that stands for a pseudo-terminal (Windows refuses
# it); it does refuse, with a sharing violation, a second open of a COM port that stands for a
# file. So COM5 stands for a file here, held by windows_hold_port as a terminal program holds a
# port.
set -euo pipefail
win=$(cd "${1:?usage: ports.sh BUILD_WIN}" && pwd)
cli="$win/bin/vandrel-cli.exe"
hold="$win/bin/windows_hold_port.exe"
for f in "$cli" "$hold"; do
    [ -f "$f" ] || { echo "ports: $f is missing" >&2; exit 2; }
done
command -v wine >/dev/null || { echo "ports: wine is not installed" >&2; exit 2; }

. "$(dirname "$0")/common.sh"
wine_test_init ports PORTS_KEEP
holder=
cleanup_extra() {
    [ -n "$holder" ] && { exec 3>&- 2>/dev/null || true; wait "$holder" 2>/dev/null || true; }
    return 0
}
# linux_advice FILE...: the lines that give Linux advice
linux_advice() { grep -a -o -E '.{0,40}(usermod|sudo|dialout).{0,40}' "$@" || true; }

wine_boot
: >"$work/com5"
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$work/com5" /f >/dev/null 2>&1
restart_wineserver # the mapping takes effect when the server starts again
echo "wine prefix ready in $(($(date +%s) - t0)) s"

# COM5 held by another program: the single-port command and the station both say so
mkfifo "$work/hold-in"
wine "$hold" COM5 <"$work/hold-in" >"$work/hold.out" 2>&1 &
holder=$!
exec 3>"$work/hold-in"
for _ in $(seq 100); do
    grep -q held "$work/hold.out" && break
    sleep 0.1
done
grep -q held "$work/hold.out" || fail "the holder has COM5: $(cat "$work/hold.out")"
rc=0
wine "$cli" --port COM5 --wait 2 status >"$work/held.out" 2>&1 || rc=$?
if [ "$rc" = 2 ] && grep -q 'COM5 is in use by another program' "$work/held.out"; then
    pass "a COM port another program holds: $(grep 'in use' "$work/held.out" | head -1 | cut -c1-60)..."
else
    cat "$work/held.out"
    fail "a COM port another program holds (exit $rc)"
fi
rc=0
wine "$cli" --port COM5 --port COM6 --wait 2 status >"$work/held-station.out" 2>&1 || rc=$?
if [ "$rc" != 0 ] && grep -q 'another program has it open' "$work/held-station.out"; then
    pass "the station says the same of the held port"
else
    cat "$work/held-station.out"
    fail "the station on a held port (exit $rc)"
fi
exec 3>&-
wait "$holder" || true
holder=

# one port named twice
for pair in 'COM3 \\.\COM3' 'COM3 com3' '\\.\com3 COM3'; do
    read -r a b <<<"$pair"
    rc=0
    wine "$cli" --port "$a" --port "$b" status >"$work/twice.out" 2>&1 || rc=$?
    if [ "$rc" = 2 ] && grep -q 'the port is named twice' "$work/twice.out"; then
        pass "$a and $b are one port named twice"
    else
        cat "$work/twice.out"
        fail "$a and $b (exit $rc)"
    fi
done
rc=0
wine "$cli" --port COM3 --port COM4 --wait 1 status >"$work/two.out" 2>&1 || rc=$?
if ! grep -q 'named twice' "$work/two.out"; then
    pass "COM3 and COM4 are two ports"
else
    fail "COM3 and COM4 taken for one port"
fi

# no Linux advice: in what the program said above and says here, nor in its texts
wine "$cli" --help >"$work/help.out" 2>&1 || true
wine "$cli" ports >"$work/ports.out" 2>&1 || true
rc=0
wine "$cli" udev-rule usb:1234:5678 >"$work/udev.out" 2>&1 || rc=$?
[ "$rc" = 2 ] && pass "udev-rule refused: $(head -1 "$work/udev.out")" || fail "udev-rule (exit $rc)"
said=$(linux_advice "$work"/*.out)
texts=$(linux_advice "$cli" "$win/bin/quillet.dll" "$win/bin/quillet-runner.exe")
if [ -z "$said" ] && [ -z "$texts" ]; then
    pass "no usermod, sudo or dialout in the output nor in vandrel-cli.exe, quillet.dll, quillet-runner.exe"
else
    echo "$said" | head -5
    echo "$texts" | head -5
    fail "Linux advice on Windows"
fi

finish
