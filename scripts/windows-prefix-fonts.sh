#!/usr/bin/env bash
# Gives the wine prefix $WINEPREFIX the user-interface fonts a Windows machine has, so that a
# window under wine looks as it does on Windows (sans-serif text) rather than in the serif font
# wine falls back to:
#   - Tahoma, wine's own (fonts-wine), for the system's dialog font ("MS Shell Dlg" is Tahoma
#     under wine); wine 8 does not find Debian's copy by itself, so it goes into C:\windows\Fonts
#     as a Windows installation has its fonts there;
#   - Arial, which forms name, as Liberation Sans (fonts-liberation2), metric-compatible with it.
# Run after `wineboot -i`, before the first program that draws. Needs fonts-wine and
# fonts-liberation2 (the callers install them).
#
#   scripts/windows-prefix-fonts.sh WINE
set -euo pipefail
wine=$1
fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
cp /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf "$fonts/"
"$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /d 'Liberation Sans' /f >/dev/null 2>&1
