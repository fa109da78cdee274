#!/bin/sh
# Pictures of the configurator for the README: sets everything up, builds, makes the
# simulator's demo plant the default configuration, starts the configurator on a private X
# server inside a Wine desktop, selects a node, runs one debug scan, and saves
# docs/configurator.png and docs/configurator-dialog.png (the simulator's own Add dialog).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" x86_64 >/dev/null
export OPC_WINEPREFIX="$ROOT/build/wineprefix"
# Russian texts (the menus, the simulator's descriptions) need the Russian code page, in
# every program that writes or shows them.
export LC_ALL=ru_RU.UTF-8
STATE="$ROOT/build/xvfb-pictures"
"$ROOT/scripts/wine-stop.sh"
trap 'OPC_XVFB_STATE="$STATE" "$ROOT/scripts/wine-stop.sh"' EXIT
"$ROOT/scripts/xvfb-start.sh" "$STATE"
export DISPLAY=":$(cat "$STATE.display")"
RUN="$ROOT/scripts/wine-run.sh"
BIN="$ROOT/build/bin"
"$ROOT/scripts/wine-register.sh" --proxy "$BIN/opcda_ps.dll" --proxy "$BIN/opccomn_ps.dll" \
    --server "$BIN/OPCServerVEXA.exe"
CONFIG="Z:$(printf '%s' "$ROOT/build/demo.cfg" | tr / '\\')"
"$RUN" "$BIN/opcdefaults.exe" "$CONFIG" >/dev/null
WIDTH=900
HEIGHT=560
setsid "$RUN" explorer.exe "/desktop=Configurator,${WIDTH}x$HEIGHT" \
    "$BIN/OPCServerVEXA.exe" -Configure </dev/null >/dev/null 2>&1 &
REMOTE() { "$RUN" "$BIN/configurator_remote.exe" --desktop=Configurator "$@"; }
REMOTE wait
REMOTE place "$WIDTH" "$HEIGHT"
REMOTE select 0.0.0      # Симулятор / Boiler / Sensors
REMOTE command 32775     # Подготовить
REMOTE command 32776     # Сканирование
sleep 2
mkdir -p "$ROOT/docs"
SHOT() { import -window root -crop "${WIDTH}x$HEIGHT+0+0" +repage "$1"; }
SHOT "$ROOT/docs/configurator.png"
REMOTE post 32771        # Добавить: the simulator's own dialog
sleep 3
SHOT "$ROOT/docs/configurator-dialog.png"
REMOTE cancel-dialogs
echo "docs/configurator.png and docs/configurator-dialog.png written"
