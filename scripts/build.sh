#!/bin/sh
# Configures and builds one architecture: scripts/build.sh [x86_64|i686] [build-dir] [target...]
# Both are tested under Wine. With OPC_PEER_BIN naming the other build's bin directory, the
# tests between 32-bit and 64-bit clients and servers are built too. With targets (CMake
# target names, after the build directory) only those and what they need are built: the demo
# builds the product without the test suite. The x86_64 build with OPC_PEER_BIN (the i686
# one's bin directory) and no targets also makes the two Windows Installer packages, in
# build/packages, when anything they hold has changed.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ARCH=${1:-x86_64}
case "$ARCH" in
    x86_64) DIR=${2:-$ROOT/build} ;;
    i686) DIR=${2:-$ROOT/build-i686} ;;
    *) echo "build.sh: unknown architecture $ARCH (x86_64 or i686)" >&2; exit 2 ;;
esac
cmake --no-warn-unused-cli -S "$ROOT" -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOPC_PEER_BIN="${OPC_PEER_BIN:-}" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$ARCH-w64-mingw32.cmake" >/dev/null
[ $# -gt 2 ] && shift 2 || set --
TARGETS=
for target in "$@"; do TARGETS="$TARGETS --target $target"; done
# shellcheck disable=SC2086 # one word per target
cmake --build "$DIR" $TARGETS -- -j"$(nproc)"

if [ "$ARCH" = x86_64 ] && [ $# -eq 0 ] && [ -n "${OPC_PEER_BIN:-}" ]; then
    OUT="$DIR/packages"
    VERSION=$("$ROOT/scripts/project-version.sh")
    NEWEST="$OUT/OPCServerVEXA-$VERSION-x64.msi"
    if [ ! -f "$NEWEST" ] || [ -n "$(find "$DIR/bin" "$OPC_PEER_BIN" "$ROOT/installer" "$ROOT/README.md" \
        -newer "$NEWEST" -print -quit)" ]; then
        "$ROOT/scripts/package.sh" "$DIR/bin" "$OPC_PEER_BIN" "$OUT"
    fi
fi
