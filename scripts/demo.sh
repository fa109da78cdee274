#!/bin/sh
# Sets everything up, builds, registers the OPC proxies and the server in the project's Wine
# prefix, makes the drivers' examples the default configuration (the simulator's demo plant and
# a Modbus TCP PLC on this computer), browses it, shows a tag's properties, and watches a few
# of its tags change for about ten seconds (subscribed to the server's data callbacks) from
# another process, through COM; then reads and watches the PLC, a Modbus TCP device (Debian's
# pymodbus) started on port 502 for the demo.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
# The product and the programs the demo runs; the test suite is scripts/test.sh's to build.
"$ROOT/scripts/build.sh" x86_64 "$ROOT/build" OPCServerVEXA opcda_ps opccomn_ps simulator modbus \
    opcdefaults opcclient >/dev/null
export OPC_WINEPREFIX="$ROOT/build/wineprefix"
DEVICE="$ROOT/build/demo_device.state"
trap '"$ROOT/scripts/wine-stop.sh"; /usr/bin/python3 "$ROOT/scripts/modbus_device.py" stop "$DEVICE"' EXIT
RUN="$ROOT/scripts/wine-run.sh"
BIN="$ROOT/build/bin"
PROGID=OPCServerVEXA.OPCServer
"$ROOT/scripts/wine-register.sh" --proxy "$BIN/opcda_ps.dll" --proxy "$BIN/opccomn_ps.dll" \
    --server "$BIN/OPCServerVEXA.exe"
# The configuration file, as a Windows path (drive Z: is the Unix root in Wine).
CONFIG="Z:$(printf '%s' "$ROOT/build/demo.cfg" | tr / '\\')"
"$RUN" "$BIN/opcdefaults.exe" "$CONFIG"
# The Modbus TCP driver's example PLC1 expects a device on this computer's port 502.
DEV="/usr/bin/python3 $ROOT/scripts/modbus_device.py set $DEVICE"
MODBUS=no
if /usr/bin/python3 "$ROOT/scripts/modbus_device.py" start "$DEVICE" 502; then
    $DEV h 0 215 && $DEV h 2 16712 0 && $DEV i 0 7 && $DEV c 0 1 && MODBUS=yes  # 21.5 C, 12.5
fi
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

echo
if [ $MODBUS = yes ]; then
    echo "== opcclient read $PROGID Modbus.PLC1... --device (a Modbus TCP device on port 502)"
    "$RUN" "$BIN/opcclient.exe" read "$PROGID" Modbus.PLC1.Analog.Temperature \
        Modbus.PLC1.Analog.Flow Modbus.PLC1.Analog.Pressure Modbus.PLC1.Pump --device
    echo
    echo "== opcclient watch $PROGID Modbus.PLC1.Analog.Temperature --rate 500 --count 8"
    echo "   (meanwhile the device's holding register 40001 goes from 215 to 230)"
    (sleep 3 && $DEV h 0 230) &
    "$RUN" "$BIN/opcclient.exe" watch "$PROGID" Modbus.PLC1.Analog.Temperature --rate 500 \
        --count 8
    wait
else
    echo "(port 502 is taken or needs more rights here: the Modbus part of the demo is skipped)"
fi
