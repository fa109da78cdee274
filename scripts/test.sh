#!/bin/sh
# Sets everything up, builds both architectures and runs every test under Wine.
# The README's test command; CI runs it through .ci/run.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" x86_64
# Whatever happens, no Wine process of ours outlives the run.
trap 'OPC_WINEPREFIX="$ROOT/build/wineprefix" OPC_XVFB_STATE="$ROOT/build/xvfb" "$ROOT/scripts/wine-stop.sh"' EXIT
# A test that fails is run once more, alone, and the log says so: on a busy shared machine a
# Wine process now and then ends at start-up without a word. A test that fails twice fails
# the run.
if ! (cd "$ROOT/build" && ctest --output-on-failure --timeout 300 -j2); then
    echo "test.sh: the tests above that failed run once more, alone"
    (cd "$ROOT/build" && ctest --rerun-failed --output-on-failure --timeout 300)
fi
"$ROOT/scripts/build.sh" i686
echo "i686 build: compiled and linked"
