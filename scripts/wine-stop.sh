#!/bin/sh
# Ends every Wine process of the project's prefix (the persistent wineserver included), so
# that no process outlives a test run. Also flushes the registry to disk.
set -u
: "${OPC_WINEPREFIX:?OPC_WINEPREFIX must name the project's Wine prefix}"
[ -d "$OPC_WINEPREFIX" ] || exit 0
WINEPREFIX="$OPC_WINEPREFIX" wineserver -k >/dev/null 2>&1
WINEPREFIX="$OPC_WINEPREFIX" wineserver -w >/dev/null 2>&1
exit 0
