#!/usr/bin/env bash
# Makes docs/screenshot.png: the main window listing the rows of a real capture, drawn by a real X
# server (Xvfb). BUILD_DIR picks the build folder (default build), JOBS the parallel jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
capture=${1:-../shared/captures/http_espn_fail.pcapng}
cmake -S . -B "$build" -G Ninja -DQUELVAR_UI=ON >/dev/null
cmake --build "$build" --target quelvar-screenshot -j"${JOBS:-$(nproc)}"
mkdir -p docs
xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb \
  "$build/bin/quelvar-screenshot" "$capture" docs/screenshot.png
echo "docs/screenshot.png written"
