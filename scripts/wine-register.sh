#!/bin/sh
# Registers COM components in the project's Wine prefix, one after the other:
#   wine-register.sh [--proxy DLL]... [--server EXE]...
# Proxy/stub DLLs go through regsvr32, servers through their /RegServer switch. Two
# registrations racing right after the wineserver starts can hang in Wine, so they run
# serially, each with a time limit and one retry.
set -u
: "${OPC_WINEPREFIX:?OPC_WINEPREFIX must name the project's Wine prefix}"
RUN="$(dirname "$0")/wine-run.sh"
winpath() { echo "Z:$1" | tr / '\\'; }
attempt() {
    timeout 60 "$RUN" "$@" </dev/null && return 0
    echo "wine-register: retrying $*" >&2
    timeout 60 "$RUN" "$@" </dev/null
}
status=0
while [ $# -ge 2 ]; do
    case "$1" in
        --proxy) attempt regsvr32.exe /s "$(winpath "$2")" || status=1 ;;
        --server) attempt "$2" /RegServer || status=1 ;;
        *) echo "wine-register: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
exit $status
