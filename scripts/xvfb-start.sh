#!/bin/sh
# Starts a private X server for the tests (windows need a display under Wine) unless one of
# ours is already running: xvfb-start.sh STATE writes STATE.display (the display number) and
# STATE.pid. The server picks a free display itself and is detached from our stdio, so no
# test runner waits for it. scripts/wine-stop.sh ends it.
set -eu
STATE=$1
if [ -s "$STATE.pid" ] && kill -0 "$(cat "$STATE.pid")" 2>/dev/null && [ -s "$STATE.display" ]; then
    exit 0
fi
rm -f "$STATE.display" "$STATE.pid"
setsid Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$STATE.display" \
    </dev/null >/dev/null 2>&1 &
echo $! >"$STATE.pid"
for _ in $(seq 1 100); do
    [ -s "$STATE.display" ] && exit 0
    sleep 0.1
done
echo "xvfb-start: the X server did not come up" >&2
exit 1
