#!/bin/sh
# The full hostile-client run, once either of the README's two commands has set the machine up:
# brings the build up to date, registers the OPC proxies and the server in the project's Wine
# prefix with the simulator's demo plant as its configuration, and runs opcstress against it
# (100,000 calls from four threads unless other options are given, for example --calls 20000
# --threads 2 --seed 7). Afterwards it waits for the server process to end by itself, as it
# must once its only client has gone.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/build.sh" x86_64 "$ROOT/build" OPCServerVEXA opcda_ps opccomn_ps simulator modbus \
    opcdefaults opcstress >/dev/null
export OPC_WINEPREFIX="$ROOT/build/wineprefix"
trap '"$ROOT/scripts/wine-stop.sh"' EXIT
RUN="$ROOT/scripts/wine-run.sh"
BIN="$ROOT/build/bin"
"$ROOT/scripts/wine-register.sh" --proxy "$BIN/opcda_ps.dll" --proxy "$BIN/opccomn_ps.dll" \
    --server "$BIN/OPCServerVEXA.exe"
CONFIG="Z:$(printf '%s' "$ROOT/build/demo.cfg" | tr / '\\')"
"$RUN" "$BIN/opcdefaults.exe" "$CONFIG"
[ $# -gt 0 ] || set -- --calls 100000 --threads 4
status=0
"$RUN" "$BIN/opcstress.exe" OPCServerVEXA.OPCServer "$@" || status=$?
# A server of this prefix: another prefix on the machine may run the same program.
our_server_runs() {
    for pid in $(pgrep -i -f 'opcs[^ ]*\.exe.-embedding'); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$OPC_WINEPREFIX" &&
            return 0
    done
    return 1
}
waited=0
while our_server_runs; do
    if [ $waited -ge 60 ]; then
        echo "stress: the server still runs 60 s after its client ended" >&2
        exit 1
    fi
    sleep 1
    waited=$((waited + 1))
done
echo "server process ended by itself ${waited} s after the client"
exit $status
