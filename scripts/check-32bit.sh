#!/bin/sh
# Proves that 32-bit Windows programs run in the project's prefix (build/wineprefix) and
# writes "yes" or "no" to build/runs-32bit. The proof is a tiny i686 program's output: under
# a Wine without 32-bit support, or a kernel without IA32 emulation, such a program can exit
# 0 and print nothing. Never fails: a machine that cannot run 32-bit code builds and tests
# everything else.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
STATE="$ROOT/build/runs-32bit"
WORK="$ROOT/build/check-32bit"
mkdir -p "$WORK"
printf '#include <stdio.h>\nint main(void) { printf("32-bit:%%u\\n", (unsigned)sizeof(void*)); return 0; }\n' \
    >"$WORK/hello.c"
PREFIX="$ROOT/build/wineprefix"
# Whether the prefix's wineserver already runs (its socket is named by the prefix's device and
# inode, in a directory that Debian's Wine makes under $TMPDIR): if this check starts it, the
# check ends it too.
socket() {
    [ -d "$PREFIX" ] || return 1
    name="server-$(stat -c %D "$PREFIX")-$(printf %x "$(stat -c %i "$PREFIX")")"
    for s in "${TMPDIR:-/tmp}"/wine-*/"$name"/socket "/tmp/.wine-$(id -u)/$name/socket"; do
        [ -S "$s" ] && return 0
    done
    return 1
}
was_running=no
socket && was_running=yes
verdict=no
if i686-w64-mingw32-gcc -static -o "$WORK/hello32.exe" "$WORK/hello.c" 2>"$WORK/compile.log"; then
    out=$(OPC_WINEPREFIX="$PREFIX" timeout 120 "$ROOT/scripts/wine-run.sh" \
        "$WORK/hello32.exe" </dev/null 2>"$WORK/run.log" | tr -d '\r')
    [ "$out" = "32-bit:4" ] && verdict=yes
fi
[ $was_running = yes ] || OPC_WINEPREFIX="$PREFIX" "$ROOT/scripts/wine-stop.sh"
echo $verdict >"$STATE"
if [ $verdict = no ]; then
    cat >&2 <<MSG
################################################################################
setup: THIS MACHINE DOES NOT RUN 32-BIT WINDOWS PROGRAMS UNDER WINE.
The i686 build is compiled and linked, but its tests and the tests between 32-bit
and 64-bit clients and servers are SKIPPED. Running them needs Debian's wine32:i386
(dpkg --add-architecture i386) and a kernel with IA32 emulation.
Details: $WORK/run.log
################################################################################
MSG
else
    echo "setup: 32-bit Windows programs run here"
fi
exit 0
