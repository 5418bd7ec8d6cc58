#!/bin/bash
# Installs what is missing, then configures and builds Quillmoor into build/ (or $QM_BUILD_DIR).
# Extra arguments go to cmake's configure step, e.g. -DQM_SANITIZE=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR="${QM_BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja "$@" >/dev/null
cmake --build "$BUILD_DIR" -- -j"$(nproc)"
