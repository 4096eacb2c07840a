#!/usr/bin/env bash
# Line and branch coverage of the C++ libraries by their own tests.
#
#   scripts/coverage.sh [BUILD_DIR] [GCOVR]
#
# Builds every library and its tests with g++ --coverage (unoptimised, so that
# lines and branches map onto the source) in BUILD_DIR (default
# build/coverage), runs ctest from zeroed counters, and reports with gcovr on
# the libraries' own sources only: <lib>/src and <lib>/include of core, codec,
# udif, hfsplus, apfs, xara, pbzx and pipeline; tests, fuzz targets, the
# Python module and third-party code are left out.  Writes, in BUILD_DIR:
#   coverage.txt, coverage-branches.txt   per-file lines, branches, and totals
#   coverage.json   every line and branch with its count (for comparing runs)
# Branches count as gcovr counts them with --exclude-throw-branches and
# --exclude-unreachable-branches: the exception edges that every call in C++
# grows, and branches of lines that cannot run, are not branches of the code.
# The exit status is ctest's: a failing test still leaves a report.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/coverage}
gcovr=${2:-gcovr}
jobs=${JOBS:-4}

# Atomic counters: the thread pool runs library code on several threads at once.
flags="--coverage -fprofile-update=atomic -O0 -g"
cmake -S "$src" -B "$build" -G Ninja -DKIV_BUILD_TESTS=ON -DKIV_LIBS= -DKIV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j"$jobs"
build=$(cd "$build" && pwd)

# Counters from an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete
status=0
ctest --test-dir "$build" -j"$jobs" --output-on-failure >"$build/ctest.log" 2>&1 || status=$?
tail -3 "$build/ctest.log"

libs="core|codec|udif|hfsplus|apfs|xara|pbzx|pipeline"
"$gcovr" --root "$src" --object-directory "$build" -j "$jobs" \
  --filter "$src/($libs)/(src|include)/" \
  --gcov-exclude-directory "$build/CMakeFiles/[0-9]" --gcov-exclude-directory "$build/CMakeFiles/lzfse\\.dir" \
  --exclude-throw-branches --exclude-unreachable-branches \
  --json "$build/coverage.json" --json-pretty
"$gcovr" --root "$src" --json-add-tracefile "$build/coverage.json" \
  --txt "$build/coverage.txt" --txt-metric line --print-summary | tail -3
"$gcovr" --root "$src" --json-add-tracefile "$build/coverage.json" \
  --txt "$build/coverage-branches.txt" --txt-metric branch
echo "reports: $build/coverage.txt, coverage-branches.txt, coverage.json"
exit "$status"
