#!/bin/sh
# Runs a command on an X server of its own (Xvfb), with a cookie of its own,
# then stops the server and waits for it. Xvfb picks a free display number
# itself and tells it on a pipe (-displayfd), so tests started at the same
# moment never meet on one display, as two `xvfb-run -a` may.
#
#   with-x-server.sh [--screen WxHxD] COMMAND...
#
# DISPLAY and XAUTHORITY are exported to the command; the authority file is
# an ordinary file a test may copy for another user.
set -u
screen=1280x1024x24
if [ "${1:-}" = "--screen" ]; then
    screen=$2
    shift 2
fi
for tool in Xvfb xauth mcookie; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIPPED: $tool is not installed (Debian packages xvfb, xauth, util-linux)"
        exit 77
    fi
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/adv-x.XXXXXX") || exit 1
server=
trap 'if [ -n "$server" ]; then kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; fi; rm -rf "$dir"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

cookie=$(mcookie)
: >"$dir/server.auth"
: >"$dir/Xauthority"
# The server loads every entry of its file whatever the display it names:
# one entry, written before the number is known, carries the cookie.
xauth -q -f "$dir/server.auth" add :0 MIT-MAGIC-COOKIE-1 "$cookie" || exit 1
mkfifo "$dir/displayfd" || exit 1
Xvfb -displayfd 3 -auth "$dir/server.auth" -nolisten tcp -screen 0 "$screen" \
    3>"$dir/displayfd" >"$dir/xvfb.log" 2>&1 &
server=$!
# The number comes once the server listens; the pipe ends empty if it dies.
number=$(timeout 30 head -n 1 <"$dir/displayfd")
if [ -z "$number" ]; then
    echo "Xvfb did not start within 30 s:"
    cat "$dir/xvfb.log"
    exit 1
fi

export DISPLAY=":$number"
export XAUTHORITY="$dir/Xauthority"
xauth -q -f "$XAUTHORITY" add "$DISPLAY" MIT-MAGIC-COOKIE-1 "$cookie" || exit 1
"$@"
