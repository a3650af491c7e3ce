#!/usr/bin/env bash
# Sets everything up, builds, and starts Quelvar. Arguments are passed to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [[ -x build/bin/quelvar ]]; then
  exec build/bin/quelvar "$@"
fi
# Until the window exists: the headless front on a sample capture.
if [[ $# -eq 0 ]]; then set -- --read ../shared/captures/http_espn_fail.pcapng; fi
exec build/bin/quelvar-scan "$@"
