#!/bin/sh
# Sets everything up, builds, registers the OPC proxies and a server in the project's Wine
# prefix, and asks the server for its status through COM from another process.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" x86_64 >/dev/null
export OPC_WINEPREFIX="$ROOT/build/wineprefix"
trap '"$ROOT/scripts/wine-stop.sh"' EXIT
RUN="$ROOT/scripts/wine-run.sh"
BIN="$ROOT/build/bin"
"$ROOT/scripts/wine-register.sh" --proxy "$BIN/opcda_ps.dll" --proxy "$BIN/opccomn_ps.dll" \
    --server "$BIN/OPCServerVEXA.exe"
echo "== opcclient status OPCServerVEXA.OPCServer"
"$RUN" "$BIN/opcclient.exe" status OPCServerVEXA.OPCServer
