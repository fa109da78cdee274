#!/bin/sh
# Installs what building and testing need on Debian 12, quietly; does nothing when all is there.
set -eu
PACKAGES="g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools libwine-dev wine wine64
fonts-wine libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1 libxinerama1 libxfixes3
libgnutls30 xvfb xauth x11-utils imagemagick cmake googletest python3 python3-pymodbus ninja-build
python3-serial-asyncio locales"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
# wine32 makes /usr/bin/wine choose a 32-bit loader this kernel cannot run; we never install it.
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    $SUDO apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
# The product's users run a Russian Windows: tests use Wine with the Russian code page, and
# Wine needs the matching Unix locale to name files in Cyrillic.
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
    localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 2>/dev/null || $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
