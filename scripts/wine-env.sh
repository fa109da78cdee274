# shellcheck shell=sh
# The Wine settings shared by every script that runs Windows programs, sourced by each; the
# prefix stays each script's own.
#
# The 64-bit loader directly: /usr/bin/wine picks the 32-bit one when wine32 is installed,
# which cannot start 64-bit programs; the 64-bit loader hands 32-bit ones on to it.
export WINELOADER=/usr/lib/wine/wine64
export WINEARCH=win64
# No Mono/Gecko prompts, no menu entries, and no winedbg: a crash ends the process with its
# exception code at once instead of hanging in (or, now and then, exiting 0 from) the debugger.
# These replace whatever the caller had set: what the packaging records and what its test
# proves must not depend on a developer's own Wine settings.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
