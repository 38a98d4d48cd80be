#!/usr/bin/env bash
# Sets up this machine (Debian 12), builds everything and runs the desk's whole job on the simulated
# handheld:
#   scripts/demo.sh [text|byte]
# With a display the desk opens on the simulated handheld (COM1), with an empty db.mdb, the template
# B.DBF and a sample workbook meters.xlsx in its data folder build/release/desk-demo.  Without one the
# desk is driven through import, upload, connect, download and export under Xvfb; a screenshot of the
# filled reading list and the report workbook are saved in build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
family=${1:-text}
if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  dpkg --add-architecture i386  # the package list holds Wine's 32-bit half for the Windows tests
  apt-get update -qq
  xargs -a .ci/packages apt-get install -y -qq --no-install-recommends >/dev/null
fi
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
if [ -n "${DISPLAY:-}" ]; then
  exec scripts/desk_demo.sh build/release "$family"
fi
scripts/desk_screenshot.sh build/release "build/release/desk-demo-$family.png" 1 "$family" \
  "build/release/desk-demo-$family-report.xlsx"
/usr/bin/python3 - "build/release/desk-demo-$family-report.xlsx" <<'PY'
import sys, openpyxl
sheet = openpyxl.load_workbook(sys.argv[1]).active
print(f"demo: report {sys.argv[1]}: {sheet.cell(1, 1).value!r}, {sheet.max_row - 4} readings")
PY
