#!/bin/sh
# Starts the desk under Xvfb with a filled reading list and saves a screenshot:
#   scripts/desk_screenshot.sh [BUILD_DIR] [OUT.png] [PAGE] [HANDHELD] [REPORT.xlsx]
# BUILD_DIR defaults to build/debug, OUT.png to BUILD_DIR/desk-screenshot.png, PAGE (0 the meter grid,
# 1 the reading list) to 1.  HANDHELD is "stand-in" (default: a handheld of the showcase's own, no
# library needed), or "text" / "byte": the simulated handheld hhsim of that family through libtarvix.
# The window is driven through connect, import, upload and download (desk_showcase), then shot.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/debug}" && pwd)
out=${2:-$build/desk-screenshot.png}
page=${3:-1}
handheld=${4:-stand-in}
report=${5:-}
case "$report" in ""|/*) ;; *) report="$(pwd)/$report" ;; esac
showcase="$build/desk/desk_showcase"
[ -x "$showcase" ] || { echo "desk_screenshot: build desk_showcase first ($showcase)" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "desk_screenshot: xvfb-run is needed (apt-get install xvfb xauth)" >&2; exit 1; }
case "$out" in /*) ;; *) out="$(pwd)/$out" ;; esac

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
"$root/scripts/create_db.sh" "$work" >/dev/null
cp "$build/desk/B.DBF" "$work/B.DBF"
/usr/bin/python3 "$root/scripts/make_sample_workbook.py" "$work/meters.xlsx" 30 >/dev/null
mode=
[ -n "$report" ] && mode="--report $report"
if [ "$handheld" != stand-in ]; then
  hhsim="$build/sim/hhsim"
  [ -x "$hhsim" ] || { echo "desk_screenshot: $hhsim is missing" >&2; exit 1; }
  if [ "$handheld" = byte ]; then number=KV2026012; else number=KV2026000123; fi
  mkdir -p "$work/store/KELVANHB"
  "$hhsim" --family "$handheld" --number "$number" --store "$work/store" --link "$work/com1" \
    --fill-readings A.DBF >"$work/hhsim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 50); do [ -e "$work/com1" ] && break; sleep 0.1; done
  export TARVIX_COM1="$work/com1" TARVIX_COM2=/nonexistent TARVIX_COM3=/nonexistent TARVIX_COM4=/nonexistent
  export TARVIX_SHM_NAME="tarvix-desk-screenshot-$$"
  mode="$mode --handheld library"
fi
cd "$work"
echo "desk_screenshot: handheld $handheld $mode" >&2
# shellcheck disable=SC2086
xvfb-run -a -s "-screen 0 1280x720x24" \
  "$showcase" --data "$work" --workbook "$work/meters.xlsx" --screenshot "$out" --delay 1500 --page "$page" $mode
echo "desk_screenshot: $out"
