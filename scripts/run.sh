#!/bin/bash
# Sets everything up and runs the main job on the built-in sample: a 20-second clip of a
# moving test pattern with a tone, made by the project's own fixture writer, converted into
# a DVD-Video folder. Extra arguments go to quillmoor-cli convert (e.g. -p ntsc-hq).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
BUILD_DIR="${QM_BUILD_DIR:-build}"
SAMPLE_DIR="$BUILD_DIR/sample"
mkdir -p "$SAMPLE_DIR"
SAMPLE="$SAMPLE_DIR/quillmoor-sample.mp4"
if [ ! -s "$SAMPLE" ]; then
  "$BUILD_DIR/bin/make-fixtures" --clip "$SAMPLE" size=640x480 duration=20 pattern=moving audio=tone
fi
"$BUILD_DIR/bin/quillmoor-cli" convert --overwrite -o "$SAMPLE_DIR/dvd" "$@" "$SAMPLE"
echo "The DVD-Video folder is in $(cd "$SAMPLE_DIR/dvd" && pwd)/VIDEO_TS"
