#!/usr/bin/env bash
# Configures, builds and runs the whole test suite three times: the debug build, the asan build
# (AddressSanitizer and UndefinedBehaviorSanitizer) and, for the host scenarios and the background
# transfers, the tsan build (ThreadSanitizer, without the desk).
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
