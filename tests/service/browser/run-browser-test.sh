#!/usr/bin/env bash
# ctest's dashboard_browser_test and line_browser_test: installs puppeteer-core (pinned by
# package-lock.json) into the build folder and runs dashboard.test.js, or line.test.js against a
# PostgreSQL server of its own (initdb and pg_ctl in a temporary folder, as the user nobody when
# run as root, a Unix socket only; stopped on exit). Skipped (exit 77) where chromium, node, npm
# or the PostgreSQL server programs are missing or the npm registry cannot be reached.
#   run-browser-test.sh SOURCE_DIR BUILD_DIR CLI SIM [dashboard|line]
set -euo pipefail
src=$1 build=$2 cli=$3 sim=$4 test=${5:-dashboard}
here=$src/tests/service/browser
chromium=${CHROMIUM:-/usr/bin/chromium}
for need in node npm; do
    command -v "$need" >/dev/null || { echo "skipped: no $need"; exit 77; }
done
[[ -x $chromium ]] || { echo "skipped: no chromium at $chromium"; exit 77; }
modules=$build/service-browser
mkdir -p "$modules"
if ! cmp -s "$here/package-lock.json" "$modules/package-lock.json" || [[ ! -d $modules/node_modules/puppeteer-core ]]; then
    cp "$here/package.json" "$here/package-lock.json" "$modules/"
    if ! (cd "$modules" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error); then
        echo "skipped: npm ci of puppeteer-core failed (no registry?)"
        exit 77
    fi
fi
export NODE_PATH=$modules/node_modules CHROMIUM=$chromium
if [[ $test == dashboard ]]; then
    exec node "$here/dashboard.test.js" "$cli" "$sim" "$src/samples" "$build/screenshots" "$build/service-browser/work"
fi

bin=
for dir in /usr/lib/postgresql/*/bin; do
    [[ -x $dir/initdb && -x $dir/pg_ctl ]] && bin=$dir
done
[[ -n $bin ]] || { echo "skipped: no PostgreSQL server programs (initdb, pg_ctl)"; exit 77; }
pg=$(mktemp -d /tmp/vandrel-line-pg-XXXXXX)
as=()
if [[ $(id -u) == 0 ]]; then
    chown nobody "$pg"
    as=(runuser -u nobody --)
fi
chmod 755 "$pg"
port=$((20000 + $$ % 20000))
stop_pg() {
    "${as[@]}" "$bin/pg_ctl" -D "$pg/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$pg"
}
trap stop_pg EXIT
"${as[@]}" "$bin/initdb" -D "$pg/data" -A trust -U vandrel -E UTF8 --no-sync >"$pg/initdb.log" 2>&1
"${as[@]}" "$bin/pg_ctl" -D "$pg/data" -o "-k $pg -p $port -c listen_addresses= -F" -w -t 120 \
    -l "$pg/server.log" start >/dev/null
node "$here/line.test.js" "$cli" "$sim" "$src/samples" "$build/screenshots" "$build/service-browser/line-work" \
    "postgresql:///postgres?host=$pg&port=$port&user=vandrel"
