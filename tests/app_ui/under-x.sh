#!/usr/bin/env bash
# Runs a command on a real X server of its own (Xvfb) under a window manager (openbox), as on a
# desktop: windows get frames, and titles and placement go through the window manager.
#   tests/app_ui/under-x.sh COMMAND [ARGS...]
set -euo pipefail
if [ -z "${VANDREL_UNDER_X:-}" ]; then
    for tool in xvfb-run openbox xprop; do
        command -v "$tool" >/dev/null || {
            echo "under-x.sh: $tool is missing (scripts/setup-deps installs it)" >&2
            exit 1
        }
    done
    exec env VANDREL_UNDER_X=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

openbox >/dev/null 2>&1 &
wm=$!
trap 'kill "$wm" 2>/dev/null || true; wait "$wm" 2>/dev/null || true' EXIT
# the window manager is up once it names its check window on the root window
for _ in $(seq 1 200); do
    case "$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null || true)" in
    *'window id'*) break ;;
    esac
    sleep 0.05
done
"$@"
