#!/bin/sh
# Records what the built programs themselves write when they register: the server's
# /RegServer and regsvr32 of the proxy/stub DLLs, each run in a scratch Wine prefix, the
# registry exported before and after and the difference turned into registry.x64.wxi and
# registry.x86.wxi by registry_to_wxi.py. The package then carries those entries in its own
# Registry table, so repair and removal are exact and nothing runs at install time.
#
# usage: installer/capture_registration.sh X64_BIN I686_BIN OUT_DIR SCRATCH_DIR
#   X64_BIN, I686_BIN: directories holding OPCServerVEXA.exe, opcda_ps.dll, opccomn_ps.dll
#   OUT_DIR: where the two .wxi files go; SCRATCH_DIR: the prefix and the exports (kept)
set -eu
x64_bin=$1 i686_bin=$2 out=$3 scratch=$4
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$scratch" "$out"
scratch=$(cd "$scratch" && pwd)

export WINEPREFIX="$scratch/prefix"
# shellcheck source=scripts/wine-env.sh
. "$here/../scripts/wine-env.sh"
wine() { nice -n 19 "$WINELOADER" "$@" </dev/null; }
# A fresh prefix every time: what is recorded must be what the programs add to a clean one.
if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
fi
wine wineboot.exe -i >/dev/null 2>&1
wineserver -w

# Long directory names on purpose: the exports then show which values the programs write in
# short (8.3) form and which in long form, and the translation keeps the difference.
c="$WINEPREFIX/drive_c"
stage64="VEXA staging 64"
stage32="VEXA staging 32"
for pair in "$stage64:$x64_bin" "$stage32:$i686_bin"; do
    dir=${pair%%:*} bin=${pair#*:}
    mkdir -p "$c/$dir/bin"
    for f in OPCServerVEXA.exe opcda_ps.dll opccomn_ps.dll; do cp "$bin/$f" "$c/$dir/bin/"; done
done

classes='HKEY_LOCAL_MACHINE\Software\Classes'
export_classes() {
    rm -f "$scratch/$1.reg"
    wine regedit.exe /E "C:\\$1.reg" "$classes"
    iconv -f UTF-16LE -t UTF-8 "$c/$1.reg" | tr -d '\r' >"$scratch/$1.reg"
}
sys32='C:\windows\system32\regsvr32.exe'
wow32='C:\windows\syswow64\regsvr32.exe'

# Every program registers between two exports, so each entry is known to come from the
# program whose component then carries it.
steps=
step() {  # NAME COMPONENT FILE_ID DIR_ID COMMAND...
    name=$1 component=$2 file_id=$3 dir_id=$4
    shift 4
    wine "$@" >/dev/null 2>&1 || { echo "capture: failed: $*" >&2; exit 1; }
    export_classes "$name"
    steps="$steps $component:$file_id:$dir_id:$scratch/$last.reg:$scratch/$name.reg"
    last=$name
}

# 32-bit Windows' entries: the i686 build registered by itself. In a 64-bit prefix they land
# in the WOW64 view, which the translation maps back to the native one.
export_classes base32
last=base32
step server32 Registration.Server ServerExe BINDIR "C:\\$stage32\\bin\\OPCServerVEXA.exe" /RegServer
step opcda32 Registration.OpcdaPs OpcdaPs BINDIR "$wow32" /s "C:\\$stage32\\bin\\opcda_ps.dll"
step opccomn32 Registration.OpccomnPs OpccomnPs BINDIR "$wow32" /s "C:\\$stage32\\bin\\opccomn_ps.dll"
steps32=$steps
wine "C:\\$stage32\\bin\\OPCServerVEXA.exe" /UnregServer >/dev/null 2>&1 || true
wine "$wow32" /s /u "C:\\$stage32\\bin\\opcda_ps.dll" >/dev/null 2>&1 || true
wine "$wow32" /s /u "C:\\$stage32\\bin\\opccomn_ps.dll" >/dev/null 2>&1 || true
export_classes base64
if ! cmp -s "$scratch/base32.reg" "$scratch/base64.reg"; then
    echo "capture: the 32-bit registration was not undone completely" >&2
    exit 1
fi

# 64-bit Windows' entries: the x86_64 server and proxies, and the i686 proxies in the WOW64
# view for 32-bit clients.
steps= last=base64
step server64 Registration.Server ServerExe BINDIR "C:\\$stage64\\bin\\OPCServerVEXA.exe" /RegServer
step opcda64 Registration.OpcdaPs OpcdaPs BINDIR "$sys32" /s "C:\\$stage64\\bin\\opcda_ps.dll"
step opccomn64 Registration.OpccomnPs OpccomnPs BINDIR "$sys32" /s "C:\\$stage64\\bin\\opccomn_ps.dll"
step opcda64w Registration.OpcdaPs32 OpcdaPs32 PROXY32DIR "$wow32" /s "C:\\$stage32\\bin\\opcda_ps.dll"
step opccomn64w Registration.OpccomnPs32 OpccomnPs32 PROXY32DIR "$wow32" /s "C:\\$stage32\\bin\\opccomn_ps.dll"
steps64=$steps

wineserver -w
names="--file-name ServerExe=OPCServerVEXA.exe --file-name OpcdaPs=opcda_ps.dll
    --file-name OpccomnPs=opccomn_ps.dll --file-name OpcdaPs32=opcda_ps.dll
    --file-name OpccomnPs32=opccomn_ps.dll"
# shellcheck disable=SC2086
python3 "$here/registry_to_wxi.py" --arch x86 $names $steps32 >"$out/registry.x86.wxi"
# shellcheck disable=SC2086
python3 "$here/registry_to_wxi.py" --arch x64 $names $steps64 >"$out/registry.x64.wxi"
echo "capture: wrote $out/registry.x64.wxi and $out/registry.x86.wxi"
