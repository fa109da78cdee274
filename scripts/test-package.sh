#!/bin/sh
# Proves the Windows Installer packages under Wine, each case in a fresh prefix of its own:
#   scripts/test-package.sh [PACKAGE_DIR]     (default build-package, made by package.sh)
#
# - install, use, registration and removal of the 64-bit package: installed silently, the
#   installed opcclient (and the 32-bit one, through the WOW64 proxies) reads the simulator,
#   the registry equals what the installed programs' own /RegServer and regsvr32 write, and
#   removal leaves no key and no file;
# - a user's default configuration survives a first install and an upgrade from an older
#   package, and so do the user's files; the same package twice is one installation;
# - an upgrade while a client holds the server leaves a working installation;
# - each package refuses the other architecture; the 32-bit package on 32-bit Windows.
# Exit code 0 only when every case passes.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PKG=$(cd "${1:-$ROOT/build-package}" && pwd)
VERSION=$("$ROOT/scripts/project-version.sh")
X64="$PKG/OPCServerVEXA-$VERSION-x64.msi"
X86="$PKG/OPCServerVEXA-$VERSION-x86.msi"
OLD="$PKG/older/OPCServerVEXA-1.0.0-x64.msi"
WORK="$PKG/tests"
COMPARE="python3 $ROOT/installer/compare_registry.py"
RUNS_32BIT=$(cat "$ROOT/build/runs-32bit" 2>/dev/null || echo no)
I686_CLIENT="$ROOT/build-i686/bin/opcclient.exe"
rm -rf "$WORK"
mkdir -p "$WORK"

. "$ROOT/scripts/wine-env.sh"
failures=0
case_name=
fail() {
    echo "test-package: FAIL [$case_name] $*"
    failures=$((failures + 1))
}
ok() { echo "test-package: ok   [$case_name] $*"; }

# fresh NAME [win32]: a new prefix, made and ready; the previous one's wineserver is stopped.
fresh() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
    case_name=$1
    export WINEPREFIX="$WORK/$1"
    if [ "${2:-}" = win32 ]; then
        export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine
    else
        # Back to the shared 64-bit settings after a 32-bit case.
        . "$ROOT/scripts/wine-env.sh"
    fi
    "$WINELOADER" wineboot.exe -i </dev/null >/dev/null 2>&1
    wineserver -w
    C="$WINEPREFIX/drive_c"
    INSTALLED="$C/Program Files/OPCServerVEXA"
}
wine() { "$WINELOADER" "$@" </dev/null; }
# msi VERB FILE [PROPERTIES...]: msiexec silently with a log; prints the exit code, of which
# Wine passes on the low byte only: 1603 (failed) is 67, 1633 (platform not supported) 97,
# 3010 (restart needed) 194.
msi() {
    verb=$1 file=$2
    shift 2
    cp "$file" "$C/package.msi"
    wine msiexec.exe "$verb" 'C:\package.msi' /qn /l*v 'C:\msi.log' "$@" >/dev/null 2>&1
    rc=$?
    # The log is UTF-16 when msiexec writes it so.
    log="$WORK/$case_name-$(date +%s%N).log"
    if [ "$(head -c 2 "$C/msi.log" 2>/dev/null | od -An -tx1 | tr -d ' ')" = fffe ]; then
        iconv -f UTF-16LE -t UTF-8 "$C/msi.log" >"$log"
    else
        cp "$C/msi.log" "$log" 2>/dev/null
    fi
    wineserver -w
    echo $rc
}
# export_classes NAME: HKLM\Software\Classes (with its 32-bit view) as UTF-8 in WORK.
export_classes() {
    wine regedit.exe /E 'C:\export.reg' 'HKEY_LOCAL_MACHINE\Software\Classes' >/dev/null 2>&1
    iconv -f UTF-16LE -t UTF-8 "$C/export.reg" | tr -d '\r' >"$WORK/$case_name-$1.reg"
    echo "$WORK/$case_name-$1.reg"
}
# The classes key without what the installer and the platform keep for themselves.
BOOKKEEPING="--ignore HKEY_LOCAL_MACHINE\\\\Software\\\\Classes\\\\Installer"
default_configuration() {
    wine reg.exe query 'HKCR\AppID\{8A46C01B-C8C7-4202-BD5C-A05489E60FDA}\Configuration' \
        /v DefaultConfiguration 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p'
}
set_default_configuration() {
    wine reg.exe add 'HKCR\AppID\{8A46C01B-C8C7-4202-BD5C-A05489E60FDA}\Configuration' \
        /v DefaultConfiguration /t REG_SZ /d "$1" /f >/dev/null 2>&1
}
client() { (cd "$INSTALLED/bin" && wine opcclient.exe "$@" 2>&1); }
products() {
    wine reg.exe query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | grep -c 'DisplayName.*OPCServerVEXA'
}

# An older package for the upgrade cases: the same files under version 1.0.0, built from
# the tree package.sh staged.
if [ ! -f "$OLD" ] && [ -d "$PKG/stage" ]; then
    mkdir -p "$PKG/older"
    (cd "$PKG/stage" && wixl -a x64 -D Arch=x64 -D Version=1.0.0 -I gen -o "$OLD" \
        "$ROOT/installer/OPCServerVEXA.wxs" 2>/dev/null)
fi
for f in "$X64" "$X86" "$OLD"; do
    [ -f "$f" ] || { echo "test-package: $f is missing (scripts/package.sh makes it)"; exit 1; }
done

# --- The 64-bit package: install, use, registration, removal -------------------------------
fresh install64
before=$(export_classes before)
rc=$(msi /i "$X64")
[ "$rc" = 0 ] && ok "installed" || fail "msiexec /i returned $rc"
for f in Drivers.cfg Example.cfg README.md bin/OPCServerVEXA.exe bin/simulator.dll \
    bin/modbus.dll bin/opcda_ps.dll bin/opccomn_ps.dll bin/opcclient.exe bin/opcdefaults.exe \
    bin/opcserverlist.exe bin32/opcda_ps.dll bin32/opccomn_ps.dll; do
    [ -f "$INSTALLED/$f" ] || fail "not installed: $f"
done
# No other server list in a fresh prefix: ours is registered, and clients find the server
# through it.
out=$(client list --server-list)
echo "$out" | grep -q 'Source: the OPC server list' && echo "$out" | grep -q 'OPCServerVEXA.OPCServer' &&
    ok "the installed server list names the server" || fail "list --server-list: $out"
grep -q 'simulator.dll|Simulator' "$INSTALLED/Drivers.cfg" && grep -q 'modbus.dll|Modbus' "$INSTALLED/Drivers.cfg" ||
    fail "Drivers.cfg does not list both shipped drivers"
find "$C/users" -name 'OPC Server Configurator.lnk' | grep -q . || fail "no Start-menu shortcut"
[ "$(default_configuration)" = 'C:\Program Files\OPCServerVEXA\Example.cfg' ] &&
    ok "the example configuration is the default" ||
    fail "DefaultConfiguration is '$(default_configuration)'"
out=$(client status OPCServerVEXA.OPCServer)
echo "$out" | grep -q "Version: *$VERSION" && ok "status from the installed copy: $VERSION" ||
    fail "status: $out"
out=$(client browse OPCServerVEXA.OPCServer --leaves)
echo "$out" | grep -q '^Simulator.Boiler.Sensors.Temperature$' && ok "browsed" || fail "browse: $out"
out=$(client read OPCServerVEXA.OPCServer Simulator.Boiler.Sensors.Temperature --device)
echo "$out" | grep -qi 'good' && ok "read from the device" || fail "read: $out"
if [ "$RUNS_32BIT" = yes ] && [ -f "$I686_CLIENT" ]; then
    out=$(cd "$INSTALLED" && wine "$I686_CLIENT" read OPCServerVEXA.OPCServer \
        Simulator.Boiler.Sensors.Temperature --device 2>&1)
    echo "$out" | grep -qi 'good' && ok "a 32-bit client read through the WOW64 proxies" ||
        fail "32-bit client: $out"
fi
# The package's registry against the programs' own: they register again over it, and
# nothing may change.
installed=$(export_classes installed)
(cd "$INSTALLED/bin" && wine OPCServerVEXA.exe /RegServer >/dev/null 2>&1 &&
    wine regsvr32.exe /s opcda_ps.dll >/dev/null 2>&1 &&
    wine regsvr32.exe /s opccomn_ps.dll >/dev/null 2>&1)
(cd "$INSTALLED/bin32" && wine 'C:\windows\syswow64\regsvr32.exe' /s opcda_ps.dll >/dev/null 2>&1 &&
    wine 'C:\windows\syswow64\regsvr32.exe' /s opccomn_ps.dll >/dev/null 2>&1)
wineserver -w
registered=$(export_classes registered)
# One value cannot match: the type library's help directory, which the server writes in the
# short form of its directory, and Windows Installer can format only the short form of a
# file. The server has no help files; that value is left out of the comparison.
if $COMPARE "$installed" "$registered" $BOOKKEEPING \
    --ignore '.*\\TypeLib\\\{[^}]*\}\\[^\\]*\\HELPDIR:@' >"$WORK/install64-registry.diff"; then
    ok "the registry equals what /RegServer and regsvr32 write"
else
    fail "the package's registry differs from the programs' (install64-registry.diff):"
    head -20 "$WORK/install64-registry.diff"
fi
rc=$(msi /x "$X64")
[ "$rc" = 0 ] && ok "removed" || fail "msiexec /x returned $rc"
after=$(export_classes removed)
if $COMPARE "$before" "$after" $BOOKKEEPING >"$WORK/install64-removal.diff"; then
    ok "removal left no key behind"
else
    fail "keys left after removal (install64-removal.diff):"
    head -20 "$WORK/install64-removal.diff"
fi
[ ! -e "$INSTALLED" ] && ok "removal left no file behind" ||
    fail "left after removal: $(find "$INSTALLED" | head -5)"
find "$C/users" "$C/ProgramData" -path '*Start Menu*' -name '*OPCServerVEXA*' 2>/dev/null | grep -q . &&
    fail "the Start-menu folder is left" || true

# --- Upgrade, a user's default and files, and the same package twice ----------------------
fresh upgrade
rc=$(msi /i "$OLD")
[ "$rc" = 0 ] || fail "the older package: msiexec /i returned $rc"
mkdir -p "$C/Plant"
printf 'mine' >"$C/Plant/Line1.cfg"
printf 'mine' >"$INSTALLED/Line2.cfg"
set_default_configuration 'C:\Plant\Line1.cfg'
rc=$(msi /i "$X64")
[ "$rc" = 0 ] && ok "installed over 1.0.0" || fail "upgrade: msiexec /i returned $rc"
[ "$(products)" = 1 ] && ok "one product after the upgrade" || fail "$(products) products"
[ "$(default_configuration)" = 'C:\Plant\Line1.cfg' ] && ok "the user's default is kept" ||
    fail "DefaultConfiguration became '$(default_configuration)'"
[ "$(cat "$INSTALLED/Line2.cfg" 2>/dev/null)" = mine ] && ok "the user's file beside the server is kept" ||
    fail "Line2.cfg is gone"
client status OPCServerVEXA.OPCServer | grep -q "Version: *$VERSION" && ok "the new version runs" ||
    fail "status after the upgrade"
rc=$(msi /i "$X64")
[ "$(products)" = 1 ] && [ "$rc" = 0 ] && ok "the same package again: one installation" ||
    fail "the same package again: rc $rc, $(products) products"
rc=$(msi /i "$OLD")
[ "$rc" != 0 ] && [ "$(products)" = 1 ] && ok "the older package over the newer one is refused" ||
    fail "downgrade: rc $rc"

# --- A user's default before the first installation; an upgrade under a running client ----
fresh inuse
set_default_configuration 'C:\Plant\Own.cfg'
rc=$(msi /i "$OLD")
[ "$(default_configuration)" = 'C:\Plant\Own.cfg' ] && ok "a default from before is not overwritten" ||
    fail "DefaultConfiguration became '$(default_configuration)'"
mkdir -p "$C/Plant"
cp "$INSTALLED/Example.cfg" "$C/Plant/Own.cfg"
# Two updates a second for 30 s; the upgrade comes in the middle.
(cd "$INSTALLED/bin" && "$WINELOADER" opcclient.exe watch OPCServerVEXA.OPCServer \
    Simulator.Boiler.Cycles --rate 500 --count 60 </dev/null >"$WORK/inuse-watch.txt" 2>&1) &
watcher=$!
sleep 8
rc=$(msi /i "$X64")
case "$rc" in
    0 | 194) ok "upgraded while a client held the server (msiexec $rc)" ;;
    *) fail "upgrade under a running server: msiexec returned $rc" ;;
esac
wait $watcher
watched=$?
[ $watched = 0 ] && [ "$(grep -c 'Simulator.Boiler.Cycles' "$WORK/inuse-watch.txt")" -ge 50 ] &&
    ok "the client was served throughout" ||
    fail "the watching client (exit $watched): $(tail -3 "$WORK/inuse-watch.txt")"
client status OPCServerVEXA.OPCServer | grep -q "Version: *$VERSION" &&
    ok "the upgraded server answers once the old one has ended" || fail "status after the upgrade"

# --- Architectures ---------------------------------------------------------------------------
fresh wrongarch64
rc=$(msi /i "$X86")
[ "$rc" = 67 ] && [ ! -e "$C/Program Files (x86)/OPCServerVEXA" ] && [ ! -e "$INSTALLED" ] &&
    ok "the 32-bit package refuses 64-bit Windows" || fail "x86 package on 64-bit: rc $rc"
# Wine's log leaves the condition's message out: the package must carry it.
msiinfo export "$X86" LaunchCondition | grep -q 'This package is for 32-bit Windows. Install the 64-bit package' &&
    ok "and says why" || fail "no message naming the other package"
if [ "$RUNS_32BIT" = yes ]; then
    fresh x86 win32
    rc=$(msi /i "$X64")
    [ "$rc" = 97 ] && ok "the 64-bit package refuses 32-bit Windows" || fail "x64 package on 32-bit: rc $rc"
    before=$(export_classes before)
    rc=$(msi /i "$X86")
    [ "$rc" = 0 ] && ok "the 32-bit package installed" || fail "msiexec /i returned $rc"
    out=$(client read OPCServerVEXA.OPCServer Simulator.Boiler.Sensors.Temperature --device)
    echo "$out" | grep -qi 'good' && ok "read from the device" || fail "read: $out"
    rc=$(msi /x "$X86")
    after=$(export_classes removed)
    [ "$rc" = 0 ] && $COMPARE "$before" "$after" $BOOKKEEPING >"$WORK/x86-removal.diff" &&
        [ ! -e "$INSTALLED" ] && ok "removed without a trace" ||
        fail "removal: rc $rc, see x86-removal.diff"
fi
wineserver -k 2>/dev/null

if [ $failures -eq 0 ]; then
    echo "test-package: every case passed"
else
    echo "test-package: $failures checks failed (logs in $WORK)"
fi
[ $failures -eq 0 ]
