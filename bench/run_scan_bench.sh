#!/usr/bin/env bash
# Whole-process benchmark of the headless front on a large capture file.
#   bench/run_scan_bench.sh [BUILD_DIR]          (default: build-bench beside this checkout's sources)
# Environment: RUNS (timed runs per command, default 5), FRAMES (frames of the large file, default
# 150000), SOURCE (capture repeated to build it), LOCAL (the capture's local address), BENCH_DATA
# (folder for the generated files, default BUILD_DIR/bench-data; never inside the sources).
#
# Builds quelvar-scan and pcap_loop_baseline, writes the large file and one ten times smaller, then
# times (bench/time_commands.py), each RUNS times after one warm-up run (page cache warm):
#   the bare libpcap read loop, quelvar-scan in URL mode and in packet-list mode, tshark with an HTTP
#   request filter and httpry (the last two when installed: scripts/install-deps.sh --bench),
# and prints the wall and CPU medians and their ratios. Last, the peak resident memory of quelvar-scan
# on both files, with the number of rows it listed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
runs=${RUNS:-5}
frames=${FRAMES:-150000}
source_capture=${SOURCE:-$root/../shared/captures/http_espn_fail.pcapng}
# The host that browses in http_espn_fail.pcapng (the source of its requests and TCP SYNs).
local_addr=${LOCAL:-172.16.16.154}
data=${BENCH_DATA:-$build/bench-data}

say() { printf '%s\n' "$*" >&2; }

# --- build ---------------------------------------------------------------------------------------
say "== building quelvar-scan and pcap_loop_baseline in $build"
cmake -S "$root" -B "$build" -G Ninja -DQUELVAR_BENCH=ON -DQUELVAR_UI=OFF -DQUELVAR_TESTS=OFF >/dev/null
cmake --build "$build" --target quelvar-scan pcap_loop_baseline -j2 >/dev/null
scan=$build/bin/quelvar-scan
baseline=$build/bin/pcap_loop_baseline

# --- data ----------------------------------------------------------------------------------------
mkdir -p "$data"
small_frames=$((frames / 10))
big=$data/big-$frames.pcapng
small=$data/small-$small_frames.pcapng
[[ -s $big ]] || python3 "$root/bench/make_big_capture.py" "$source_capture" "$big" --frames "$frames"
[[ -s $small ]] || python3 "$root/bench/make_big_capture.py" "$source_capture" "$small" --frames "$small_frames"
say "== $big ($(du -m "$big" | cut -f1) MB), $small"

# --- timing, memory, report ----------------------------------------------------------------------
python3 "$root/bench/time_commands.py" --runs "$runs" --frames "$frames" --big "$big" --small "$small" \
  --scan "$scan" --baseline "$baseline" --local "$local_addr"
