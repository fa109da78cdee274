#!/bin/sh
# Installs what building and testing need on Debian 12, quietly; does nothing when all is there.
# Then proves that this machine runs 32-bit Windows programs, and records the verdict in
# build/runs-32bit for scripts/test.sh.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PACKAGES="g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools libwine-dev wine wine64
fonts-wine libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1 libxinerama1 libxfixes3
libgnutls30 xvfb xauth x11-utils imagemagick cmake googletest python3 python3-pymodbus socat ninja-build
python3-serial-asyncio locales gnuplot-nox wixl msitools"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
missing=""
for p in $PACKAGES; do
    installed "$p" || missing="$missing $p"
done
# 32-bit Wine (multiarch) runs the i686 build in the WOW64 half of our 64-bit prefix, as
# 64-bit Windows runs 32-bit clients.
if ! installed wine32:i386; then
    dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
    missing="$missing wine32:i386"
fi
if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    # A mirror caught mid-sync fails an index or two; apt then still has the rest (and old
    # copies), which is usually enough, so a failed update is retried and then let pass.
    tries=0
    until $SUDO apt-get update -qq >/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -ge 3 ]; then
            echo "setup: apt-get update failed $tries times; installing from the indexes it has"
            break
        fi
        sleep 20
    done
    if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        $missing >/dev/null; then
        # Without 32-bit Wine everything but the 32-bit runs still works.
        case "$missing" in *wine32:i386*) ;; *) exit 1 ;; esac
        echo "setup: installing without wine32:i386"
        missing=$(echo "$missing" | sed 's/ wine32:i386//')
        [ -z "$missing" ] || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq \
            --no-install-recommends $missing >/dev/null
    fi
fi
# The product's users run a Russian Windows: tests use Wine with the Russian code page, and
# Wine needs the matching Unix locale to name files in Cyrillic.
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
    localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 2>/dev/null || $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
"$ROOT/scripts/check-32bit.sh"
