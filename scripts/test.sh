#!/bin/sh
# Sets everything up, builds both architectures and runs every test of each under Wine: the
# x86_64 build's (with the tests between 32-bit and 64-bit clients and servers), then the i686
# build's, in the WOW64 half of a 64-bit prefix of its own, then the Windows Installer
# packages (scripts/test-package.sh) and three minutes of the soak (scripts/soak.sh). The
# README's test command; CI runs it through .ci/run.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
RUNS_32BIT=$(cat "$ROOT/build/runs-32bit" 2>/dev/null || echo no)
"$ROOT/scripts/build.sh" i686
if [ "$RUNS_32BIT" = yes ]; then
    OPC_PEER_BIN="$ROOT/build-i686/bin" "$ROOT/scripts/build.sh" x86_64
else
    "$ROOT/scripts/build.sh" x86_64
fi
# Whatever happens, no Wine process of ours outlives the run.
stop_all() {
    for dir in build build-i686; do
        OPC_WINEPREFIX="$ROOT/$dir/wineprefix" OPC_XVFB_STATE="$ROOT/$dir/xvfb" \
            "$ROOT/scripts/wine-stop.sh"
    done
}
trap stop_all EXIT
# A test that fails is run once more, alone, and the log says so: on a busy shared machine a
# Wine process now and then ends at start-up without a word. A test that fails twice fails
# the run.
suite() {
    echo "test.sh: the tests of $1"
    (cd "$ROOT/$1" && ctest --output-on-failure --timeout 300 -j2) && return 0
    echo "test.sh: the tests of $1 above that failed run once more, alone"
    (cd "$ROOT/$1" && ctest --rerun-failed --output-on-failure --timeout 300)
}
status=0
suite build || status=1
if [ "$RUNS_32BIT" = yes ]; then
    suite build-i686 || status=1
else
    echo "test.sh: THE i686 TESTS AND THE TESTS BETWEEN 32-BIT AND 64-BIT ARE SKIPPED:" \
        "this machine does not run 32-bit Windows programs (see scripts/check-32bit.sh)"
fi
if [ "$RUNS_32BIT" = yes ]; then
    echo "test.sh: the packages"
    "$ROOT/scripts/test-package.sh" "$ROOT/build/packages" || status=1
fi
# The soak is run once and not again: a hang it meets is a fault of the server's, not of a busy
# machine.
echo "test.sh: three minutes of the soak"
"$ROOT/scripts/soak.sh" --minutes 3 || status=1
exit $status
