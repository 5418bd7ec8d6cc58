#!/bin/bash
# Sets everything up, builds once and runs the whole test suite.
# QM_BUILD_DIR and cmake arguments as for build.sh (e.g. -DQM_TSAN=ON into build-tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh "$@"
BUILD_DIR="${QM_BUILD_DIR:-build}"
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" --timeout 600
