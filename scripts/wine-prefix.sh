#!/usr/bin/env bash
# Prepares the Wine prefix named by $WINEPREFIX for the installer's tests and demo: creates it when it is
# missing and maps "Microsoft Yahei" to the Debian CJK font, so Chinese texts draw as glyphs, not boxes.
# Idempotent: a second run changes nothing.
set -euo pipefail
: "${WINEPREFIX:?set WINEPREFIX to the prefix to prepare}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w 2>/dev/null || true
fi

key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
if ! grep -q '"Microsoft Yahei"="WenQuanYi Micro Hei"' "$WINEPREFIX/system.reg" 2>/dev/null; then
    wine reg add "$key" /v "Microsoft Yahei" /t REG_SZ /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
    wineserver -w 2>/dev/null || true
fi
echo "wine-prefix: $WINEPREFIX ready"
