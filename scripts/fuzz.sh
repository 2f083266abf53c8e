#!/usr/bin/env bash
# Builds the libFuzzer targets of the pure parsers with clang and runs each
# for the given number of seconds (default 30), one after the other. Any
# crash, sanitizer report or failed check fails the script; the input that
# caused it is kept under fuzz/crashes/.
#   scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-30}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(head_scan request_head target_split pair_lookup content_length part_head multipart chunked strict_head
                                     file_answer static_path forwarded static_answer)

CC=${FUZZ_CC:-clang} CXX=${FUZZ_CXX:-clang++} \
  cmake -S . -B build/fuzz -G Ninja -DZELWEB_FUZZ=ON -DZELWEB_NATIVE_ONLY=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mkdir -p build
# A build that fails shows why.
cmake --build build/fuzz >build/fuzz-build.log 2>&1 || { tail -40 build/fuzz-build.log; exit 1; }

mkdir -p fuzz/crashes
status=0
for t in "${TARGETS[@]}"; do
  work=build/fuzz/corpus/$t
  mkdir -p "$work"
  args=(-max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="fuzz/crashes/$t-")
  [ -f "fuzz/$t.dict" ] && args+=(-dict="fuzz/$t.dict")
  log=build/fuzz/$t.log
  # New inputs go to the work corpus; the committed seeds are only read
  # (the sdist leaves them out).
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  if build/fuzz/fuzz/fuzz_$t "${args[@]}" "$work" "${seeds[@]}" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  printf '%-16s %-6s %12s executions  (%s)\n' "$t" "$result" "${execs:-?}" "$log"
  if [ "$result" = FAILED ]; then
    grep -E 'ERROR|FUZZ_CHECK|runtime error|Test unit written' "$log" | head -5 || true
  fi
done
exit $status
