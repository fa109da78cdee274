#!/bin/sh
# Sets everything up, builds, registers the OPC proxies and the server in the project's Wine
# prefix, makes the simulator's demo plant the default configuration, browses it, shows a
# tag's properties, and watches a few of its tags change for about ten seconds (subscribed to
# the server's data callbacks) from another process, through COM.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" x86_64 >/dev/null
export OPC_WINEPREFIX="$ROOT/build/wineprefix"
trap '"$ROOT/scripts/wine-stop.sh"' EXIT
RUN="$ROOT/scripts/wine-run.sh"
BIN="$ROOT/build/bin"
PROGID=OPCServerVEXA.OPCServer
"$ROOT/scripts/wine-register.sh" --proxy "$BIN/opcda_ps.dll" --proxy "$BIN/opccomn_ps.dll" \
    --server "$BIN/OPCServerVEXA.exe"
# The configuration file, as a Windows path (drive Z: is the Unix root in Wine).
CONFIG="Z:$(printf '%s' "$ROOT/build/demo.cfg" | tr / '\\')"
"$RUN" "$BIN/opcdefaults.exe" "$CONFIG"
echo
echo "== opcclient status $PROGID"
"$RUN" "$BIN/opcclient.exe" status "$PROGID"
echo
echo "== opcclient browse $PROGID Simulator.Boiler"
"$RUN" "$BIN/opcclient.exe" browse "$PROGID" Simulator.Boiler
echo
echo "== opcclient props $PROGID Simulator.Boiler.Sensors.Temperature"
"$RUN" "$BIN/opcclient.exe" props "$PROGID" Simulator.Boiler.Sensors.Temperature
echo
echo "== opcclient read $PROGID ... --device"
"$RUN" "$BIN/opcclient.exe" read "$PROGID" Simulator.Boiler.Sensors.Temperature \
    Simulator.Boiler.Control.Mode Simulator.Line.LastService Simulator.Reserve.Voltage --device
echo
echo "== opcclient watch $PROGID ... --rate 1000 --count 10"
"$RUN" "$BIN/opcclient.exe" watch "$PROGID" Simulator.Boiler.Sensors.Temperature \
    Simulator.Boiler.Sensors.Pressure Simulator.Boiler.Sensors.Level Simulator.Line.Speed \
    --rate 1000 --count 10
