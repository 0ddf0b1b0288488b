#!/usr/bin/env bash
# Builds both builds and runs every test: the host tests plain, under AddressSanitizer with
# UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, a bounded run of each fuzz
# target, the driver image checks with the image's end-to-end tests under Wine, and the static analysis
# of the driver and the simulated kernel (clang-tidy and cppcheck), where any finding is a failure.
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
broken=()

# ctest's own summary line gives the counts of one run.
run_ctest() {
  local name=$1
  shift
  local log
  log=$(mktemp)
  ctest "$@" 2>&1 | tee "$log"
  local summary
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$summary" ]; then
    broken+=("$name: no test summary")
    return
  fi
  local total fail
  fail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
  passed=$((passed + total - fail))
  failed=$((failed + fail))
  [ "$fail" -eq 0 ] || broken+=("$name: $fail failed")
}

# A check that is not a ctest run counts as one test.
run_check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    broken+=("$name: failed")
  fi
}

build() {
  local preset=$1
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    broken+=("$preset: build failed")
    return 1
  fi
}

# The driver first: the host tests read the signed image's real PDB identity when it is there.
if build driver; then
  run_ctest driver --preset driver
fi
if build host; then
  run_ctest host --preset host
fi
run_check "static analysis" scripts/static-analysis.sh
if build host-asan; then
  run_ctest host-asan --preset host-asan
fi
if build host-tsan; then
  run_ctest host-tsan --preset host-tsan -R 'Concurrent|Threads|Decode|Lab'
fi
if build fuzz; then
  run_ctest fuzz --preset fuzz
fi

echo
for problem in "${broken[@]}"; do
  echo "problem: $problem"
done
echo "hestolvane: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "${#broken[@]}" -eq 0 ]
