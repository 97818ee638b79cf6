#!/usr/bin/env bash
# ctest's dashboard_browser_test: installs puppeteer-core (pinned by package-lock.json) into the
# build folder and runs dashboard.test.js. Skipped (exit 77) where chromium, node or npm are
# missing or the npm registry cannot be reached.
#   run-browser-test.sh SOURCE_DIR BUILD_DIR CLI SIM
set -euo pipefail
src=$1 build=$2 cli=$3 sim=$4
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
exec node "$here/dashboard.test.js" "$cli" "$sim" "$src/samples" "$build/screenshots" "$build/service-browser/work"
