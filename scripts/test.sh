#!/usr/bin/env bash
# Configures, builds and runs the whole test suite (debug preset).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset debug >/dev/null
cmake --build --preset debug -j"$(nproc)"
ctest --preset debug
