#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset: clang, ASan + UBSan) and runs each
# one from its seed corpus for a fixed number of inputs. Knobs:
#   MFG_FUZZ_RUNS=N      inputs per target instead of each target's CI count
#   MFG_FUZZ_SECONDS=S   run each target for S seconds instead (no run limit)
#   MFG_FUZZ_TARGETS="store"   only these targets
# New inputs go to build/fuzz/corpus/<target>, findings to build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."

# Inputs per target in CI: 10 to 25 seconds each on this 2-core machine, shared.
declare -A runs=([store]=30000 [bootopts]=30000 [image]=10000)
# Largest input: five store slots, the override file and the OEM partition: 33 KB;
# an image file a little larger than the 64 KB partition.
declare -A max_len=([store]=33200 [bootopts]=4500 [image]=70000)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

out=build/fuzz
mkdir -p "$out/findings" "$out/logs"
status=0
for t in ${MFG_FUZZ_TARGETS:-store bootopts image}; do
  mkdir -p "$out/corpus/$t"
  if [ -n "${MFG_FUZZ_SECONDS:-}" ]; then limit=(-max_total_time="$MFG_FUZZ_SECONDS")
  else limit=(-runs="${MFG_FUZZ_RUNS:-${runs[$t]}}"); fi
  start=$(date +%s)
  if "$out/fuzz/fuzz_$t" "${limit[@]}" -max_len="${max_len[$t]}" -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$out/findings/$t-" "$out/corpus/$t" "fuzz/corpus/$t" \
      >"$out/logs/$t.log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/logs/$t.log")
    echo "fuzz $t: $execs inputs, no finding ($(($(date +%s) - start)) s)"
  else
    echo "fuzz $t: FAILED, input in $out/findings/, log $out/logs/$t.log:"
    grep -v -e '^#' -e '^\*\*Error' -e '^Could not' "$out/logs/$t.log" | tail -40
    status=1
  fi
done
exit $status
