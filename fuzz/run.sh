#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 19 (or $FUZZ_CXX) and runs each for
# FUZZ_SECONDS (default 30), starting from the committed seeds in
# fuzz/corpus/<target>.
# New inputs go to build/fuzz/corpus/<target>; a crashing input is saved in
# build/fuzz/artifacts/. Prints one line per target and fails if any crashed.
#
#   fuzz/run.sh [target...]      e.g. FUZZ_SECONDS=300 fuzz/run.sh record_reader
set -uo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH="${FUZZ_SECONDS:-30}"
BUILD="${FUZZ_BUILD:-build/fuzz}"
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(record_reader config_reader quote lossy_utf8 store_url extract_version secrets registry_list)

CXX_FUZZ="${FUZZ_CXX:-clang++-19}"
if ! command -v "$CXX_FUZZ" >/dev/null; then
  echo "fuzz: $CXX_FUZZ is missing; run scripts/bootstrap --fuzz" >&2
  exit 2
fi
cmake -S . -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX_FUZZ" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARVO_FUZZ=ON \
  -DQUARVO_BUILD_TESTS=OFF -DQUARVO_BUILD_PYTHON=OFF >/dev/null || exit 2
cmake --build "$BUILD" -j "${JOBS:-2}" --target "${TARGETS[@]/#/fuzz_}" >/dev/null || exit 2

failed=0
mkdir -p "$BUILD/artifacts"
printf '%-16s %12s %10s  %s\n' target executions seconds result
for t in "${TARGETS[@]}"; do
  mkdir -p "$BUILD/corpus/$t"
  log="$BUILD/fuzz_$t.log"
  "$BUILD/fuzz_$t" -max_total_time="$SECONDS_EACH" -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t-" \
    "$BUILD/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  if ((rc == 0)); then
    result=ok
  else
    failed=1
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    result="CRASH: ${artifact:-see $log}"
    grep -m 3 -E 'ERROR|runtime error|property broken|Assertion' "$log" | sed 's/^/    /'
  fi
  printf '%-16s %12s %10s  %s\n' "$t" "${runs:-?}" "${took:-?}" "$result"
done
exit $failed
