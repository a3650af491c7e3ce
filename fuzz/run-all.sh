#!/usr/bin/env bash
# Runs every fuzzer of BIN_DIR (the fuzz_* programs) for SECONDS each, on a copy of its seed corpus in a
# temporary folder, so the repository's corpus never grows.
#   fuzz/run-all.sh BIN_DIR SECONDS
# A fuzzer fails when it finds a crash, a leak, a time-out or a broken invariant; its inputs are then
# kept under the printed folder. Exit status 0 only when every fuzzer passed.
set -uo pipefail
if [[ $# -ne 2 ]]; then
  echo "usage: $0 BIN_DIR SECONDS" >&2
  exit 2
fi
bin_dir=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)

shopt -s nullglob
fuzzers=()
for f in "$bin_dir"/fuzz_*; do
  [[ -x $f && -f $f ]] && fuzzers+=("$f")
done
if [[ ${#fuzzers[@]} -eq 0 ]]; then
  echo "no fuzzers in $bin_dir (build with -DQUELVAR_FUZZ=ON)" >&2
  echo "0 passed, 1 failed"
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quelvar-fuzz.XXXXXX")
passed=0
failed=0
for fuzzer in "${fuzzers[@]}"; do
  name=$(basename "$fuzzer")
  dir=$work/$name
  mkdir -p "$dir/corpus" "$dir/artifacts"
  [[ -d $here/corpus/$name ]] && cp -r "$here/corpus/$name/." "$dir/corpus/"
  args=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$dir/artifacts/")
  [[ -f $here/$name.dict ]] && args+=(-dict="$here/$name.dict")
  printf '=== %s: %s s on %d seeds\n' "$name" "$seconds" "$(ls "$dir/corpus" | wc -l)"
  # Scratch files of the fuzzer (fuzz_settings writes one per input): on the memory file system when
  # there is one, and gone afterwards even when the fuzzer died.
  scratch=$(mktemp -d "$([[ -w /dev/shm ]] && echo /dev/shm || echo "$work")/quelvar-fuzz-scratch.XXXXXX")
  TMPDIR=$scratch "$fuzzer" "${args[@]}" "$dir/corpus" >"$dir/log" 2>&1
  rc=$?
  rm -rf "$scratch"
  artifacts=("$dir"/artifacts/*)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  if [[ $rc -eq 0 && ${#artifacts[@]} -eq 0 ]]; then
    passed=$((passed + 1))
    printf '%s: passed, %s runs, corpus %d -> %d inputs\n' "$name" "${execs:-?}" \
      "$(ls "$here/corpus/$name" 2>/dev/null | wc -l)" "$(ls "$dir/corpus" | wc -l)"
  else
    failed=$((failed + 1))
    printf '%s: FAILED (exit %d); log and inputs kept in %s\n' "$name" "$rc" "$dir"
    for a in "${artifacts[@]}"; do printf '  %s\n' "$a"; done
    grep -E -m 20 '^(==[0-9]+==ERROR|SUMMARY|.*invariant broken|.*runtime error|    #[0-9]+ )' "$dir/log" | head -30
  fi
done

# Keep nothing when all went well.
[[ $failed -eq 0 ]] && rm -rf "$work"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
