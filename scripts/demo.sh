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
for dll in opcda_ps opccomn_ps; do
    "$RUN" regsvr32.exe /s "Z:$(echo "$BIN/$dll.dll" | tr / '\\')"
done
"$RUN" "$BIN/marshal_probe.exe" /RegServer
echo "== opcclient status OPCServerVEXA.MarshalProbe"
"$RUN" "$BIN/opcclient.exe" status OPCServerVEXA.MarshalProbe
