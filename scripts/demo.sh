#!/usr/bin/env bash
# Sets up this machine (Debian 12), builds everything and runs the desk's whole job on the simulated
# handheld.
set -euo pipefail
cd "$(dirname "$0")/.."
if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  apt-get update -qq
  xargs -a .ci/packages apt-get install -y -qq --no-install-recommends >/dev/null
fi
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
# A host program loads the library and runs a detection with nothing attached.
TARVIX_COM1=/nonexistent TARVIX_COM2=/nonexistent TARVIX_COM3=/nonexistent TARVIX_COM4=/nonexistent \
  TARVIX_SHM_NAME="tarvix-demo-$$" build/release/tests/boundary/c_host
