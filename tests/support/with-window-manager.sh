#!/bin/sh
# Runs a command on the current X display with a window manager (openbox)
# managing it, as on an operator's desktop: windows get a frame and a title
# bar, and the close box is the window manager's. The window manager is
# stopped when the command ends.
set -u
if ! command -v openbox >/dev/null 2>&1; then
    echo "SKIPPED: openbox is not installed (Debian package openbox)"
    exit 77
fi
config=$(mktemp -d)
trap 'kill "$wm" 2>/dev/null; wait "$wm" 2>/dev/null; rm -rf "$config"' EXIT
XDG_CONFIG_HOME=$config openbox --sm-disable >/dev/null 2>&1 &
wm=$!
# Ready once it has claimed the screen.
i=0
while ! xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
    i=$((i + 1))
    if [ "$i" -gt 100 ]; then
        echo "openbox did not start"
        exit 1
    fi
    sleep 0.05
done
"$@"
