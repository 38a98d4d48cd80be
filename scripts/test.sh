#!/usr/bin/env bash
# Configures, builds and runs the whole test suite: the debug build, the asan build
# (AddressSanitizer and UndefinedBehaviorSanitizer), the tsan build (ThreadSanitizer, without the
# desk) for the host scenarios and the background transfers, and tarvix.dll with its host scenarios
# under Wine against the simulated handheld of the debug build.  Where this machine runs 32-bit Windows
# programs under Wine, that is the 32-bit tarvix.dll (win32 preset), all of its tests; where it does not
# (a kernel without 32-bit execution), the 32-bit tarvix.dll is still built and its exports checked
# without Wine, and the 64-bit tarvix.dll (win64 preset) runs the same Wine tests under Wine's 64-bit
# loader.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake --preset debug >/dev/null
cmake --build --preset debug -j"$jobs"
ctest --preset debug

cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan

# What runs threads of the library: the host programs' scenarios, the background transfers, the stops
# and the link held against a second thread.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs" --target tarvix hhsim host_linked host_runtime textframe_tests byteframe_tests
ctest --preset tsan -R '^hosts\.|^Background\.|^TransferTest\.(Background|Stop)|^StopTest\.|^StopAndClaim\.'

# The Windows library, its host programs under Wine.  First: does a 32-bit Windows program run here?
# Its exit status alone does not tell (a Wine without its 32-bit half can fail to load it and still
# end with 0): the program must say what it is.
probe=$(mktemp -d)
trap 'WINEPREFIX="$probe/prefix" wineserver -k 2>/dev/null || true; rm -rf "$probe"' EXIT
printf '#include <stdio.h>\nint main(void) { printf("32-bit probe: %%u-bit pointers\\n", (unsigned)(8 * sizeof(void*))); return 0; }\n' >"$probe/probe.c"
i686-w64-mingw32-gcc -O -o "$probe/probe.exe" "$probe/probe.c"
set +e
said=$(WINEPREFIX="$probe/prefix" WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d" \
  timeout 180 wine "$probe/probe.exe" 2>&1 </dev/null)
probe_rc=$?
set -e
WINEPREFIX="$probe/prefix" wineserver -k 2>/dev/null || true
said=${said//$'\r'/}
if grep -qx '32-bit probe: 32-bit pointers' <<<"$said"; then
  echo "== Windows tests, 32-bit form: this machine runs 32-bit Windows programs under Wine;"
  echo "== tarvix.dll for 32-bit Windows (win32 preset) runs all of its tests under Wine."
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 -j"$jobs"
  ctest --preset win32
else
  echo "== Windows tests, 64-bit form: this machine does not run 32-bit Windows programs under Wine"
  echo "== (a 32-bit test program ended with status $probe_rc and said: $(head -3 <<<"$said" | tr '\n' ' '))."
  echo "== tarvix.dll for 32-bit Windows (win32 preset) is built and its names, ordinals and argument"
  echo "== sizes checked without Wine; tarvix.dll for 64-bit Windows (win64 preset) runs the Wine tests"
  echo "== under Wine's 64-bit loader."
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 -j"$jobs" --target tarvix
  ctest --preset win32 -R '^wine\.exports$'
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 -j"$jobs"
  ctest --preset win64
fi

# The Debian packages: built from debian/ and checked with lintian, where the tools for it are here
# (.ci/packages installs them).
if command -v dpkg-buildpackage >/dev/null && command -v dh >/dev/null && command -v lintian >/dev/null; then
  echo "== Debian packages: built with dpkg-buildpackage and checked with lintian"
  scripts/packages.sh build/packages
else
  echo "== Debian packages: not built (debhelper and lintian are not installed)"
fi
