# What the end-to-end scripts under wine share (sourced, not run): a temporary folder with a fresh
# wine prefix, removed at the end with its server stopped whatever happens; the pass and fail
# lines and the summary; Linux vandrel-sim handsets on pseudo-terminals mapped to COM ports
# (HKLM\Software\Wine\Ports: a link made in dosdevices does not survive wine's start).
#
#   . "$(dirname "$0")/common.sh"
#   wine_test_init NAME KEEP_VARIABLE   # $work, WINEPREFIX; the folder's *.log and *.out are
#                                       # copied to the folder KEEP_VARIABLE names, if it is set
#   sim=.../vandrel-sim; start_sim N ARGS...; wait_links N...; map_ports N...
#   pass TEXT; fail TEXT; ...; finish
#
# A script may define sim_args N (printing one argument a line: what every handset N gets besides
# its pty) and cleanup_extra (run at the end, before wine's server is stopped).

wine_test_init() {
    test_name=$1
    keep_variable=$2
    work=$(mktemp -d "/tmp/vandrel-wine-$test_name.XXXXXX")
    chmod 755 "$work"
    export WINEPREFIX="$work/prefix" WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
    sims=()
    failures=0
    t0=$(date +%s)
    trap wine_test_cleanup EXIT
}

wine_test_cleanup() {
    for pid in "${sims[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${sims[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    if declare -F cleanup_extra >/dev/null; then
        cleanup_extra || true
    fi
    wineserver -k 2>/dev/null || true
    local keep=${!keep_variable:-}
    if [ -n "$keep" ]; then
        mkdir -p "$keep" && cp "$work"/*.log "$work"/*.out "$keep"/ 2>/dev/null || true
    fi
    rm -rf "$work"
}

pass() { echo "ok   $1"; }
fail() {
    echo "FAIL $1" >&2
    failures=$((failures + 1))
}
# The summary line; the script's status: 0 when every check passed.
finish() {
    echo "$test_name under wine: $failures failed, in $(($(date +%s) - t0)) s"
    [ "$failures" = 0 ]
}

# start_sim N ARGS...: a handset on $work/comN ($sim), its output in simN.log.
start_sim() {
    local n=$1
    shift
    local extra=()
    if declare -F sim_args >/dev/null; then
        mapfile -t extra < <(sim_args "$n")
    fi
    "$sim" --uart "$work/com$n" "${extra[@]}" "$@" >"$work/sim$n.log" 2>&1 &
    sims[$n]=$!
}
stop_sim() {
    [ -n "${sims[$1]:-}" ] || return 0
    kill "${sims[$1]}" 2>/dev/null || true
    wait "${sims[$1]}" 2>/dev/null || true
    unset "sims[$1]"
}
# wait_links N...: until each handset's pty link exists (5 s at most each)
wait_links() {
    for n in "$@"; do
        for _ in $(seq 100); do
            [ -L "$work/com$n" ] && break
            sleep 0.05
        done
    done
}
# map_ports N...: COMn -> $work/comN; wine's server is started again, for the mapping to count.
map_ports() {
    for n in "$@"; do
        wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$work/com$n" /f >/dev/null 2>&1
    done
    restart_wineserver
}
restart_wineserver() {
    wineserver -k 2>/dev/null || true
    wineserver -p >/dev/null 2>&1
    wine cmd /c exit >/dev/null 2>&1
}
# The prefix made (about 6 s)
wine_boot() {
    wine wineboot -i >/dev/null 2>&1
}
