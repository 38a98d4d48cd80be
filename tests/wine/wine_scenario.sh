#!/usr/bin/env bash
# Runs one host scenario of tarvix.dll under Wine, with the simulated handheld (native) on COM1 of a
# Wine prefix made once per test run.
#   wine_scenario.sh --create | --remove
#   wine_scenario.sh FAMILY SETTINGS HOST-ARGUMENTS...
# SETTINGS: comma-separated: none | sim | sim-paced, gone=SECONDS (the handheld ends that long after
# the host starts), locale=ID (registry value Locale), com=N (the handheld on COMn instead of COM1),
# ini=beside|windows (a tarvix.ini choosing Chinese beside the host or in the Windows folder).
# Environment: WINE_TEST_PREFIX, WINE_TEST_HOST, WINE_TEST_DLL, WINE_TEST_HHSIM, WINE_TEST_TABLE,
# WINE_TEST_WINE (the Wine loader of the build, default wine), WINE_TEST_ARCH (win64 for a 64-bit
# prefix, empty for Wine's default).
set -euo pipefail
export WINEPREFIX="$WINE_TEST_PREFIX" WINEDEBUG=-all
wine=${WINE_TEST_WINE:-wine}
if [ -n "${WINE_TEST_ARCH:-}" ]; then export WINEARCH="$WINE_TEST_ARCH"; fi
# No desktop integration, no .NET or HTML engines: the prefix is made much faster without them.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
export DISPLAY=

case "${1:-}" in
  --create)
    # The prefix's own wineserver is ours: stop it, then start afresh.
    if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"; fi
    mkdir -p "$(dirname "$WINEPREFIX")"
    # Its output is kept: a Wine that cannot start says why there.
    if ! "$wine" wineboot -i >"$WINE_TEST_PREFIX.log" 2>&1; then
      echo "Wine ($wine) could not make the prefix:" >&2
      tail -20 "$WINE_TEST_PREFIX.log" >&2
      exit 1
    fi
    wineserver -w
    # One server for the whole run: the prefix's services start once, not in every scenario.
    wineserver -p </dev/null >/dev/null 2>&1
    # Its services start with the first program; their device manager links COM1 to the first Linux
    # serial device as it starts, so let that happen before any scenario links its own.
    "$wine" reg add 'HKCU\Control Panel\International' /v Locale /t REG_SZ /d 00000409 /f >/dev/null 2>&1
    exit 0 ;;
  --remove)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$WINE_TEST_PREFIX.log"
    exit 0 ;;
esac

family=$1 settings=$2
shift 2
[ -d "$WINEPREFIX/dosdevices" ] || { echo "no Wine prefix at $WINEPREFIX" >&2; exit 1; }

sim=none locale=00000409 ini= gone= com=1
IFS=, read -r -a parts <<<"$settings"
for part in "${parts[@]}"; do
  case "$part" in
    none | sim | sim-paced) sim=$part ;;
    locale=*) locale=${part#locale=} ;;
    gone=*) gone=${part#gone=} ;;
    com=*) com=${part#com=} ;;
    ini=*) ini=${part#ini=} ;;
    *) echo "unknown setting $part" >&2; exit 2 ;;
  esac
done

# A fresh folder for the host and the DLL inside the prefix (C:\scenario).
work="$WINEPREFIX/drive_c/scenario"
rm -rf "$work"
mkdir -p "$work"
cp "$WINE_TEST_HOST" "$WINE_TEST_DLL" "$work/"
cp "$WINE_TEST_TABLE" "$work/exports.txt"
windows_ini="$WINEPREFIX/drive_c/windows/tarvix.ini"
rm -f "$windows_ini"
ini_text=$'[INFO]\r\nlanguage=chinese\r\n'
case "$ini" in
  beside) printf '%s' "$ini_text" >"$work/tarvix.ini" ;;
  windows) printf '%s' "$ini_text" >"$windows_ini" ;;
esac
# Setting the locale also brings the prefix's services up; their device manager links COM1 to the
# first Linux serial device when it starts, so the handheld's link must come after it.
"$wine" reg add 'HKCU\Control Panel\International' /v Locale /t REG_SZ /d "$locale" /f >/dev/null 2>&1

# The ports lead nowhere unless the handheld is linked in as one of them.
rm -f "$WINEPREFIX"/dosdevices/com[0-9]*
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -f "$windows_ini"
}
trap cleanup EXIT
if [ "$sim" != none ]; then
  [ -x "$WINE_TEST_HHSIM" ] || { echo "hhsim not built: $WINE_TEST_HHSIM" >&2; exit 1; }
  extra=()
  [ "$sim" = sim-paced ] && extra=(--pace)
  "$WINE_TEST_HHSIM" --family "$family" --number HC2025001 --store "$work/store" \
    --link "$WINEPREFIX/dosdevices/com$com" "${extra[@]}" >"$work/hhsim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q "hhsim ready" "$work/hhsim.log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "hhsim ready" "$work/hhsim.log" || { cat "$work/hhsim.log" >&2; exit 1; }
fi

args=()
for a in "$@"; do args+=("${a//@TABLE@/C:\\scenario\\exports.txt}"); done
if [ -n "$gone" ]; then (sleep "$gone"; kill "$sim_pid" 2>/dev/null) & fi
set +e
timeout 150 "$wine" 'C:\scenario\win_host.exe' "$family" "${args[@]}"
rc=$?
set -e
[ $rc -eq 0 ] || { echo "win_host ended with $rc" >&2; [ "$sim" = none ] || tail -20 "$work/hhsim.log" >&2; }
exit $rc
