#!/bin/sh
# Configures and builds one architecture: scripts/build.sh [x86_64|i686] [build-dir] [target...]
# Both are tested under Wine. With OPC_PEER_BIN naming the other build's bin directory, the
# tests between 32-bit and 64-bit clients and servers are built too. With targets (CMake
# target names, after the build directory) only those and what they need are built: the demo
# builds the product without the test suite.
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
