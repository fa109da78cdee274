#!/bin/sh
# The cost of the update cycle in both reporting modes: the server with the probe driver's
# bench branch (bench=Bench:10000), `opcclient bench --subscribe --change` at 1 % and 100 % of
# the values changing per cycle, first with every item sent every cycle, then with changes
# only. Run after scripts/build.sh x86_64; it registers a copy of the server of its own in the
# build's Wine prefix and registers the build's own server again at the end.
#   bench-reporting.sh [--groups G] [--items N] [--rate MS] [--seconds S]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build"
export OPC_WINEPREFIX="$BUILD/wineprefix"
RUN="$ROOT/scripts/wine-run.sh"
DIR="$BUILD/bench-reporting"
rm -rf "$DIR"
mkdir -p "$DIR/bin"
cp "$BUILD/bin/OPCServerVEXA.exe" "$BUILD/bin/probe_driver.dll" "$BUILD/bin/opcclient.exe" \
    "$BUILD/bin/opcdefaults.exe" "$DIR/bin/"
printf 'probe_driver.dll|Probe\n' >"$DIR/Drivers.cfg"
printf 'root=Probe\nbench=Bench:10000\nlog=off\n' >"$DIR/bin/probe_driver.dll.txt"
restore() {
    "$ROOT/scripts/wine-register.sh" --server "$BUILD/bin/OPCServerVEXA.exe" >/dev/null 2>&1 || true
}
trap restore EXIT
"$ROOT/scripts/wine-register.sh" --proxy "$BUILD/bin/opcda_ps.dll" \
    --proxy "$BUILD/bin/opccomn_ps.dll" --server "$DIR/bin/OPCServerVEXA.exe"
for mode in off on; do
    "$RUN" "$DIR/bin/opcdefaults.exe" --report-changes-only "$mode"
    for share in 1 100; do
        # The server of the run before ends with its last client; the next run starts afresh
        # and reads the setting.
        sleep 5
        "$RUN" "$DIR/bin/opcclient.exe" bench OPCServerVEXA.OPCServer Probe.Bench --subscribe \
            --change "$share" "$@"
        echo
    done
done
"$RUN" "$DIR/bin/opcdefaults.exe" --report-changes-only off >/dev/null
