#!/bin/sh
# Starts the desk under Xvfb with a filled reading list and saves a screenshot:
#   scripts/desk_screenshot.sh [BUILD_DIR] [OUT.png] [page 0|1]
# BUILD_DIR defaults to build/debug; OUT.png to BUILD_DIR/desk-screenshot.png.  The window runs on a
# stand-in handheld (desk_showcase), so neither the library nor the simulator is needed.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/debug}" && pwd)
out=${2:-$build/desk-screenshot.png}
page=${3:-1}
showcase="$build/desk/desk_showcase"
[ -x "$showcase" ] || { echo "desk_screenshot: build desk_showcase first ($showcase)" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "desk_screenshot: xvfb-run is needed (apt-get install xvfb xauth)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/scripts/create_db.sh" "$work" >/dev/null
cp "$build/desk/B.DBF" "$work/B.DBF"
/usr/bin/python3 "$root/scripts/make_sample_workbook.py" "$work/meters.xlsx" 30 >/dev/null
cd "$work"
xvfb-run -a -s "-screen 0 1280x720x24" \
  "$showcase" --data "$work" --workbook "$work/meters.xlsx" --screenshot "$out" --delay 1500 --page "$page"
echo "desk_screenshot: $out"
