#!/usr/bin/env bash
# Opens the meter desk on the simulated handheld, with an empty db.mdb, the template B.DBF and a
# sample workbook in its data folder:
#   scripts/desk_demo.sh [BUILD_DIR] [text|byte]
# BUILD_DIR defaults to build/release (built already).  The data folder is BUILD_DIR/desk-demo; the
# workbook to import is meters.xlsx there.  Where there is no display the desk runs under xvfb-run
# for DESK_DEMO_SECONDS (default 20) seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
family=${2:-text}
desk="$build/desk/KELVANORMProgram"
hhsim="$build/sim/hhsim"
for f in "$desk" "$hhsim" "$build/desk/B.DBF"; do
  [ -e "$f" ] || { echo "desk_demo: $f is missing; build first" >&2; exit 1; }
done

demo="$build/desk-demo"
rm -rf "$demo"
mkdir -p "$demo/store/KELVANHB"
"$root/scripts/create_db.sh" "$demo"
cp "$build/desk/B.DBF" "$demo/B.DBF"
/usr/bin/python3 "$root/scripts/make_sample_workbook.py" "$demo/meters.xlsx" 25

# The handheld: it answers on a pseudo-terminal that COM1 names, and fills in the readings of every
# task table it receives.
# A byte-frame handheld's number has at most 9 characters.
if [ "$family" = byte ]; then number=KV2026012; else number=KV2026000123; fi
"$hhsim" --family "$family" --number "$number" --store "$demo/store" --link "$demo/com1" \
  --fill-readings A.DBF >"$demo/hhsim.log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
  [ -e "$demo/com1" ] && break
  sleep 0.1
done
[ -e "$demo/com1" ] || { echo "desk_demo: hhsim did not start (see $demo/hhsim.log)" >&2; exit 1; }

export TARVIX_COM1="$demo/com1" TARVIX_COM2=/nonexistent TARVIX_COM3=/nonexistent TARVIX_COM4=/nonexistent
export TARVIX_SHM_NAME="tarvix-desk-demo-$$"
cd "$demo"
echo "desk_demo: $family-frame handheld on $TARVIX_COM1; data folder $demo"
echo "desk_demo: File > Connect to HHU, Data > Import data from excel (meters.xlsx), right-click the grid >"
echo "           Upload all data to HHU, Data > Download from HHU, right-click the list > Export data to excel"
if [ -n "${DISPLAY:-}" ]; then
  "$desk"
else
  command -v xvfb-run >/dev/null || { echo "desk_demo: no display and no xvfb-run" >&2; exit 1; }
  status=0
  timeout "${DESK_DEMO_SECONDS:-20}" xvfb-run -a -s "-screen 0 1280x720x24" "$desk" || status=$?
  # timeout's 124: the desk was still open when the time was up, as it should be.
  [ "$status" = 0 ] || [ "$status" = 124 ] || exit "$status"
  echo "desk_demo: the desk ran under xvfb-run for ${DESK_DEMO_SECONDS:-20} s"
fi
