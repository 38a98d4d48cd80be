#!/usr/bin/env bash
# Configures, builds and runs the whole test suite: the debug preset, then tarvix.dll (win32 preset)
# with its host scenarios under Wine against the simulated handheld of the debug build.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset debug >/dev/null
cmake --build --preset debug -j"$(nproc)"
ctest --preset debug
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$(nproc)"
ctest --preset win32
