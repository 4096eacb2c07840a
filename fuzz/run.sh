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
python3 "$here/seed.py" "$fixtures" "$work/corpus"
"$build/fuzz/make_seeds" "$fixtures" "$work/corpus"

# Largest input per target: the largest seed that must stay whole, no more.
declare -A max_len=([udif_memory]=1200000 [udif_file]=1200000 [hfsplus]=1200000 [apfs]=524288
                    [xar]=1048576 [xar_toc]=262144 [pbzx]=262144 [cpio]=262144)
declare -A dict=([xar]=$here/xar.dict [xar_toc]=$here/xar.dict)

run_one() {
  local t=$1
  local corpus=$work/corpus/$t artifacts=$work/artifacts/$t/ log=$work/logs/$t.log
  mkdir -p "$corpus" "$artifacts" "$work/logs"
  local options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 -malloc_limit_mb=2048
                 -max_len="${max_len[$t]}" -print_final_stats=1 -artifact_prefix="$artifacts")
  [ -z "${dict[$t]:-}" ] || options+=(-dict="${dict[$t]}")
  # Two pool threads are plenty for inputs this small.
  if UBSAN_OPTIONS=print_stacktrace=1 RAYON_NUM_THREADS=2 "$build/fuzz/fuzz_$t" "${options[@]}" "$corpus" >"$log" 2>&1; then
    local edges
    edges=$(grep -m1 -oE '\(([0-9]+) inline 8-bit counters' "$log" | grep -oE '[0-9]+' || echo '?')
    echo "$t: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 |
                sed -E "s/^#([0-9]+)[[:space:]]+DONE +cov: ([0-9]+)/\1 runs, cov: \2 of $edges edges,/")"
  else
    echo "$t: FOUND $(grep -m1 -E 'ERROR: |runtime error|Test unit written' "$log" | sed -E 's/^==[0-9]+==//')"
    echo "  $(grep -m1 'Test unit written to' "$log" | sed 's/.*written to //')  (log: $log)"
    return 1
  fi
}
export -f run_one
export build work seconds
export max_len_def="$(declare -p max_len)" dict_def="$(declare -p dict)"

summary=$(printf '%s\n' "${targets[@]}" |
  xargs -P "${FUZZ_JOBS:-1}" -I{} bash -c 'eval "$max_len_def"; eval "$dict_def"; run_one {}' || true)
echo "$summary"
found=$(grep -c ': FOUND ' <<<"$summary" || true)
echo "fuzz: $((${#targets[@]} - found)) passed, $found failed"
[ "$found" -eq 0 ]
