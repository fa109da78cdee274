#!/bin/sh
# Runs a Windows program under Wine in the project's own prefix (never ~/.wine).
# Used as CTest's cross-compiling emulator and by the scripts.
#
# The prefix is $OPC_WINEPREFIX (the build tree sets it). One persistent wineserver per prefix
# is started once, with Wine's background services detached from our stdio: otherwise the
# first program under a new wineserver hands its stdout/stderr to those services, and whoever
# reads the pipe (ctest, $(...), CI logs) waits for them. Stop it with scripts/wine-stop.sh.
set -u
: "${OPC_WINEPREFIX:?OPC_WINEPREFIX must name the project's Wine prefix}"
export WINEPREFIX="$OPC_WINEPREFIX"
# Every process of a prefix must see the same display: Wine's desktop process is started by
# the first one that needs it and serves all later windows.
if [ -z "${DISPLAY:-}" ] && [ -n "${OPC_DISPLAY_FILE:-}" ] && [ -s "$OPC_DISPLAY_FILE" ]; then
    DISPLAY=":$(cat "$OPC_DISPLAY_FILE")"
    export DISPLAY
fi
# Unlike the packaging, this lets a caller's own WINEDEBUG or WINEDLLOVERRIDES through: that
# is how a test is traced.
caller_debug=${WINEDEBUG:-} caller_overrides=${WINEDLLOVERRIDES:-}
. "$(dirname "$0")/wine-env.sh"
WINEDEBUG=${caller_debug:-$WINEDEBUG}
WINEDLLOVERRIDES=${caller_overrides:-$WINEDLLOVERRIDES}
mkdir -p "$(dirname "$WINEPREFIX")"
# Which 32-bit Wine is installed, by its kernel32's time and size.
wow_wine_id() { stat -c '%Y %s' /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll 2>/dev/null; }
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$WINELOADER" wineboot.exe -i </dev/null >/dev/null 2>&1 9>&-
        wineserver -w 9>&-
    elif [ -d /usr/lib/i386-linux-gnu/wine/i386-windows ] &&
        [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] &&
        [ "$(cat "$WINEPREFIX/.syswow64-update" 2>/dev/null)" != "$(wow_wine_id)" ]; then
        # A prefix made before 32-bit Wine was installed has an empty syswow64, and every
        # 32-bit program in it fails with c0000135: an update fills it in.
        # The update waits for the prefix's wineserver to end: a persistent one must go first.
        echo "wine-run: adding 32-bit Windows to the prefix $WINEPREFIX" >&2
        wineserver -k 9>&- 2>/dev/null
        rm -f "$WINEPREFIX/.update-timestamp"
        "$WINELOADER" wineboot.exe -u </dev/null >/dev/null 2>&1 9>&-
        wineserver -w 9>&-
        # Where the kernel runs no 32-bit code the update leaves syswow64 empty. Tried again on
        # every call, it would end the wineserver, and every program under it, each time; it
        # is tried again only when another 32-bit Wine is installed.
        wow_wine_id >"$WINEPREFIX/.syswow64-update"
    fi
    # wineserver -p exits non-zero when a server for this prefix already runs.
    started=
    if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
        "$WINELOADER" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 9>&-
        started=1
    fi
    # The desktop process (explorer) likewise inherits the stderr of the first program that
    # needs it: start it here, on the display every later program uses. OPC_DESKTOP_KEEPER
    # names a program that keeps it alive for the whole run (Wine ends an unused desktop, and
    # the next window would start it again with its own stderr). This is checked on every
    # call, not only by the one that started the wineserver: CTest lists the tests of each
    # program through this script before any fixture runs, without a display.
    if [ -n "${DISPLAY:-}" ]; then
        if [ -n "${OPC_DESKTOP_KEEPER:-}" ] && [ -f "$OPC_DESKTOP_KEEPER" ]; then
            # The keeper is found by its own command line, its path as a pattern (each
            # build's is another; a 64-bit keeper shows it as given, a 32-bit one as a
            # Windows path): a 32-bit one runs as a child of a start.exe that the loader's
            # process becomes, so the pid the shell knows is not the keeper's.
            keeper="(Z:)?$(printf '%s' "$OPC_DESKTOP_KEEPER" | sed 's/[][\.*^$+?(){}|]/\\&/g' |
                sed 's|/|[/\\]|g')"
            if ! pgrep -f -- "$keeper" >/dev/null; then
                setsid "$WINELOADER" "$OPC_DESKTOP_KEEPER" </dev/null >/dev/null 2>&1 9>&- &
                # Once it shows, later calls see it.
                for _ in 1 2 3 4 5 6 7 8 9 10; do
                    pgrep -f -- "$keeper" >/dev/null && break
                    sleep 0.2
                done
                # Returns once the desktop exists, whoever of the two started it.
                "$WINELOADER" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 9>&-
            fi
        elif [ -n "$started" ]; then
            "$WINELOADER" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 9>&-
        fi
    fi
) 9>"$WINEPREFIX.lock"
exec "$WINELOADER" "$@"
