#!/bin/sh
# Ends every Wine process of the project's prefix (the persistent wineserver included), so
# that no process outlives a test run, and flushes the registry to disk. With
# OPC_XVFB_STATE set, also ends the X server that scripts/xvfb-start.sh started.
set -u
: "${OPC_WINEPREFIX:?OPC_WINEPREFIX must name the project's Wine prefix}"
if [ -d "$OPC_WINEPREFIX" ]; then
    WINEPREFIX="$OPC_WINEPREFIX" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$OPC_WINEPREFIX" wineserver -w >/dev/null 2>&1
fi
if [ -n "${OPC_XVFB_STATE:-}" ] && [ -s "$OPC_XVFB_STATE.pid" ]; then
    kill "$(cat "$OPC_XVFB_STATE.pid")" 2>/dev/null
    rm -f "$OPC_XVFB_STATE.pid" "$OPC_XVFB_STATE.display"
fi
exit 0
