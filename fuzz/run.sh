#!/usr/bin/env bash
# Runs fuzz targets built with KIV_FUZZ for a while each, over corpora kept in
# the build folder and seeded from the shared fixtures.
#
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]     (default: every target)
#
# FUZZ_JOBS targets run at once (default 1).  Crashing inputs land in
# BUILD_DIR/work/artifacts/<target>/; the exit status is 1 when any target
# found one.  A finding that stays is committed under fuzz/regressions/<target>/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(udif_memory udif_file hfsplus apfs xar xar_toc pbzx cpio)
work=$build/work
fixtures=${KIV_FIXTURES:-$here/../../shared/fixtures}
"$build/fuzz/make_seeds" "$fixtures" "$work/corpus"

# Largest input per target: the largest seed that must stay whole, no more.
declare -A max_len=([udif_memory]=1200000 [udif_file]=1200000 [hfsplus]=1200000 [apfs]=524288
                    [xar]=1048576 [xar_toc]=262144 [pbzx]=262144 [cpio]=262144)
declare -A dict=([xar]=$here/xar.dict [xar_toc]=$here/xar.dict)

run_one() {
  local t=$1
  local corpus=$work/corpus/$t artifacts=$work/artifacts/$t log=$work/logs/$t.log
  mkdir -p "$corpus" "$artifacts" "$work/logs"
  local before status=0
  # A slow unit is noted by libFuzzer (-report_slow_units) but is no finding: on a loaded machine
  # any input can take seconds.  Timeouts (-timeout) still are.
  findings() { ls "$artifacts" | grep -cv '^slow-unit-' || true; }
  before=$(findings)
  local options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 -malloc_limit_mb=2048
                 -max_len="${max_len[$t]}" -print_final_stats=1 -artifact_prefix="$artifacts/")
  [ -z "${dict[$t]:-}" ] || options+=(-dict="${dict[$t]}")
  # FUZZ_KEEP_GOING=1: record crashes, out-of-memory inputs and timeouts, and go on.
  [ "${FUZZ_KEEP_GOING:-0}" != 1 ] || options+=(-fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1)
  # Two pool threads are plenty for inputs this small.
  UBSAN_OPTIONS=print_stacktrace=1 RAYON_NUM_THREADS=2 "$build/fuzz/fuzz_$t" "${options[@]}" "$corpus" >"$log" 2>&1 ||
    status=$?
  local edges runs cov found
  edges=$(sed -nE 's/.*\(([0-9]+) inline 8-bit counters.*/\1/p' "$log" | head -1)
  runs=$(grep -oE '^#[0-9]+' "$log" | tail -1)
  cov=$(grep -E '^#[0-9]+' "$log" | grep -oE 'cov: [0-9]+' | tail -1)
  found=$(($(findings) - before))
  echo "$t: ${runs#\#} runs, ${cov:-cov: ?} of ${edges:-?} edges, $found new findings (log: $log)"
  if [ "$status" -ne 0 ] || [ "$found" -gt 0 ]; then
    grep -E 'ERROR: |runtime error' "$log" | sed -E 's/^==[0-9]+== ?//' | sort | uniq -c | head -5
    ls -t "$artifacts" | grep -v '^slow-unit-' | head -"$((found > 0 ? found : 1))" | sed "s|^|  $artifacts/|"
    echo "$t: FOUND"
    return 1
  fi
}
export -f run_one
export build work seconds
export max_len_def="$(declare -p max_len)" dict_def="$(declare -p dict)"

summary=$(printf '%s\n' "${targets[@]}" |
  xargs -P "${FUZZ_JOBS:-1}" -I{} bash -c 'eval "$max_len_def"; eval "$dict_def"; run_one {}' || true)
echo "$summary"
found=$(grep -c ': FOUND$' <<<"$summary" || true)
echo "fuzz: $((${#targets[@]} - found)) passed, $found failed"
[ "$found" -eq 0 ]
