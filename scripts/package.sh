#!/bin/sh
# Builds the two Windows Installer packages from binaries already built:
#   OUT/OPCServerVEXA-VERSION-x64.msi  (x86_64 programs, x86_64 and i686 proxies)
#   OUT/OPCServerVEXA-VERSION-x86.msi  (i686 programs)
# The registry entries come from the programs themselves (installer/capture_registration.sh,
# in a scratch Wine prefix under OUT) and the example configuration from opcdefaults run there
# with the shipped drivers. Needs wixl (Debian package wixl) and Wine.
#
# usage: scripts/package.sh [X64_BIN [I686_BIN [OUT]]]
#   defaults: build/bin build-i686/bin build-package
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
x64_bin=$(cd "${1:-$root/build/bin}" && pwd)
i686_bin=$(cd "${2:-$root/build-i686/bin}" && pwd)
out=${3:-$root/build-package}
mkdir -p "$out"
out=$(cd "$out" && pwd)
command -v wixl >/dev/null || { echo "package: wixl is missing (apt-get install wixl)" >&2; exit 1; }

# The one version number: the project's, in CMakeLists.txt.
version=$("$root/scripts/project-version.sh")
[ -n "$version" ] || { echo "package: no project version in CMakeLists.txt" >&2; exit 1; }
version=${PACKAGE_VERSION:-$version}

gen="$out/gen"
scratch="$out/scratch"
mkdir -p "$gen"
"$root/installer/capture_registration.sh" "$x64_bin" "$i686_bin" "$gen" "$scratch"

# The example configuration: every shipped driver's defaults, written by opcdefaults beside
# the driver list, as an installed server would. The file format is the same for both builds.
export WINEPREFIX="$scratch/prefix"
. "$root/scripts/wine-env.sh"
example="$WINEPREFIX/drive_c/VEXA example"
rm -rf "$example"
mkdir -p "$example/bin"
cp "$root/installer/Drivers.cfg" "$example/"
for f in opcdefaults.exe simulator.dll modbus.dll; do cp "$x64_bin/$f" "$example/bin/"; done
(cd "$example/bin" && nice -n 19 "$WINELOADER" opcdefaults.exe 'C:\VEXA example\Example.cfg' \
    </dev/null >/dev/null 2>&1) || { echo "package: opcdefaults failed" >&2; exit 1; }
cp "$example/Example.cfg" "$gen/Example.cfg"
wineserver -k 2>/dev/null || true

# wixl takes only relative file names, found from the current directory: one staging tree.
stage="$out/stage"
rm -rf "$stage"
mkdir -p "$stage/x64" "$stage/i686"
for f in OPCServerVEXA.exe simulator.dll modbus.dll opcda_ps.dll opccomn_ps.dll opcclient.exe \
    opcdefaults.exe opcserverlist.exe; do
    ln -s "$x64_bin/$f" "$stage/x64/$f"
    ln -s "$i686_bin/$f" "$stage/i686/$f"
done
ln -s "$gen" "$stage/gen"
ln -s "$root/README.md" "$stage/README.md"
ln -s "$root/installer/Drivers.cfg" "$stage/Drivers.cfg"
cd "$stage"
for arch in x64 x86; do
    msi="$out/OPCServerVEXA-$version-$arch.msi"
    nice -n 19 wixl -a "$arch" -D Arch="$arch" -D Version="$version" -I gen \
        -o "$msi" "$root/installer/OPCServerVEXA.wxs" 2>"$out/wixl-$arch.log" ||
        { cat "$out/wixl-$arch.log" >&2; exit 1; }
    # wixl only warns about attributes it does not know; ours must all be known.
    if grep -q . "$out/wixl-$arch.log"; then cat "$out/wixl-$arch.log" >&2; exit 1; fi
    echo "package: $msi"
done
