#!/bin/sh
# Registers COM components in the project's Wine prefix, one after the other:
#   wine-register.sh [--proxy DLL]... [--server EXE]...
# Proxy/stub DLLs go through the regsvr32 of their own bitness (a 32-bit DLL through
# C:\windows\syswow64\regsvr32.exe, into the WOW64 view, as on 64-bit Windows), servers
# through their /RegServer switch (a 32-bit server lands in the WOW64 view by itself). Two
# registrations racing right after the wineserver starts can hang in Wine, so they run
# serially, each with a time limit and one retry.
set -u
: "${OPC_WINEPREFIX:?OPC_WINEPREFIX must name the project's Wine prefix}"
RUN="$(dirname "$0")/wine-run.sh"
winpath() { echo "Z:$1" | tr / '\\'; }
# The machine field of a PE file's COFF header: 014c for i386, 8664 for x86-64.
machine() {
    at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' '
}
regsvr32() {
    if [ "$(machine "$1")" = 014c ]; then printf '%s\n' 'C:\windows\syswow64\regsvr32.exe'; else echo regsvr32.exe; fi
}
attempt() {
    timeout 60 "$RUN" "$@" </dev/null && return 0
    printf 'wine-register: retrying %s\n' "$*" >&2
    timeout 60 "$RUN" "$@" </dev/null
}
status=0
while [ $# -ge 2 ]; do
    case "$1" in
        --proxy) attempt "$(regsvr32 "$2")" /s "$(winpath "$2")" || status=1 ;;
        --server) attempt "$2" /RegServer || status=1 ;;
        *) echo "wine-register: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
exit $status
