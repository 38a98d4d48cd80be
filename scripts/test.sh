#!/usr/bin/env bash
# Configures, builds and runs the whole test suite: the debug build, the asan build
# (AddressSanitizer and UndefinedBehaviorSanitizer), the tsan build (ThreadSanitizer, without the
# desk) for the host scenarios and the background transfers, and tarvix.dll (win32 preset) with its
# host scenarios under Wine against the simulated handheld of the debug build.
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

# The Windows library, its host programs under Wine.
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$jobs"
ctest --preset win32
