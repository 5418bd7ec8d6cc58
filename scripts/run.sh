#!/bin/bash
# Sets everything up and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
BUILD_DIR="${QM_BUILD_DIR:-build}"
"$BUILD_DIR/bin/quillmoor-cli" libraries
