#!/usr/bin/env bash
# The simple downloader (Dorrinel) against a loopback server: wall time and peak memory of one whole
# download beside curl's, and peak memory against a flood of interim "100 Continue" answers.
#   bench/dorrinel/run_dorrinel_bench.sh [BUILD_DIR]     default BUILD_DIR: build
# Settings: SIZE_MB (the file, default 1024), RUNS (default 3), RATES (server rates in MiB/s for one
# paced download each, default "120 300": gigabit and a fast disk), FLOODS (interim answers, default
# "10000 640000": 250 KB and 16 MB of them), DL_DIR (where the files go, default a temporary folder).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
dorrinel=$build/bin/Dorrinel
size=$(( ${SIZE_MB:-1024} << 20 ))
runs=${RUNS:-3}
[[ -x $dorrinel ]] || { echo "no $dorrinel: build first" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/dorrinel-bench.XXXXXX")
trap 'kill "$server" 2>/dev/null; rm -rf "$work"' EXIT

python3 "$here/bench_server.py" "$work/port" & server=$!
for _ in $(seq 50); do [[ -s $work/port ]] && break; sleep 0.1; done
port=$(cat "$work/port")
export QT_QPA_PLATFORM=offscreen

# "<seconds> <peak KB>" of one command
# "<seconds> <peak KB> <exit status>" of one command (the time file's last line: a failed command
# makes /usr/bin/time write a line of its own first)
measure() {
  local rc=0
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || rc=$?
  echo "$(tail -1 "$work/time") $rc"
}

printf '%-28s %10s %10s %12s\n' "what" "wall s" "MB/s" "peak RSS MB"
for run in $(seq "$runs"); do
  rm -rf "$work/dl"
  read -r secs kb _ < <(measure "$dorrinel" --quit --dir "$work/dl" "http://127.0.0.1:$port/big/$size")
  [[ $(stat -c %s "$work/dl/$size") -eq $size ]] || { echo "Dorrinel saved a wrong size" >&2; exit 1; }
  printf '%-28s %10s %10.0f %12.1f\n' "Dorrinel $((size >> 20)) MB #$run" "$secs" "$(echo "$size / 1048576 / $secs" | bc -l)" "$(echo "$kb / 1024" | bc -l)"
  rm -rf "$work/dl"
  read -r secs kb _ < <(measure curl -s -o "$work/curl.out" "http://127.0.0.1:$port/big/$size")
  printf '%-28s %10s %10.0f %12.1f\n' "curl $((size >> 20)) MB #$run" "$secs" "$(echo "$size / 1048576 / $secs" | bc -l)" "$(echo "$kb / 1024" | bc -l)"
  rm -f "$work/curl.out"
done
for r in ${RATES:-120 300}; do
  rm -rf "$work/dl"
  read -r secs kb _ < <(measure "$dorrinel" --quit --dir "$work/dl" "http://127.0.0.1:$port/big/$size/$r")
  printf '%-28s %10s %10.0f %12.1f\n' "Dorrinel at $r MiB/s" "$secs" "$(echo "$size / 1048576 / $secs" | bc -l)" "$(echo "$kb / 1024" | bc -l)"
done
for k in ${FLOODS:-10000 640000}; do
  rm -rf "$work/dl"
  read -r secs kb rc < <(measure "$dorrinel" --quit --dir "$work/dl" "http://127.0.0.1:$port/flood/$k/1000")
  result="file saved"
  [[ -f $work/dl/1000 ]] || result="no file: $(sed -n 's/^Dorrinel: error: //p' "$work/err" | head -1)"
  printf '%-28s %10s %10s %12.1f   (%d KB of interim answers; %s)\n' "Dorrinel 100-flood $k" "$secs" "-" \
    "$(echo "$kb / 1024" | bc -l)" $(( k * 25 / 1024 )) "$result"
done
