#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan, and runs each fuzz/<name>.cpp for
# the given number of seconds (default 60) on a copy of its seed corpus fuzz/corpus/<name>/,
# with the tokens of fuzz/<name>.dict when there is one. Ends with one line per target:
# executions, executions per second, and the coverage libFuzzer reached (cov: edges,
# ft: features). Fails on any finding; its input stays in build/fuzz/run/<name>/artifacts/.
# Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
"$(pwd)/scripts/install-deps.sh"

dir="build/fuzz"
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUSBREDIR_FUZZ=ON -DUSBREDIR_SANITIZE=address \
  -DUSBREDIR_TESTS=OFF -DUSBREDIR_BENCH=OFF
cmake --build "$dir" -j2 --target fuzzers

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
summary=()
for src in fuzz/*.cpp; do
  name="$(basename "$src" .cpp)"
  target="$dir/fuzz/fuzz_$name"
  work="$dir/run/$name"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -R "fuzz/corpus/$name/." "$work/corpus/"
  fi
  extra=()
  if [ -f "fuzz/$name.dict" ]; then
    extra+=("-dict=fuzz/$name.dict")
  fi
  echo "--- fuzz_$name for ${seconds}s"
  result="ok"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${extra[@]}" \
      -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus" \
      2>&1 | tee "$work/output.log" | { grep -v -E '^#[0-9]+.*(pulse|REDUCE|NEW)' || true; }; then
    result="FINDING, see $work/"
    status=1
  fi
  done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/output.log" | tail -1 || true)"
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/output.log" | tail -1)"
  speed="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/output.log" | tail -1)"
  cov="$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1 ft \2/p' <<<"$done_line")"
  summary+=("$(printf '%-22s %10s runs %8s exec/s  %-22s %s' "fuzz_$name" "${runs:-?}" \
    "${speed:-?}" "${cov:-?}" "$result")")
done
echo "--- summary (${seconds}s each)"
printf '%s\n' "${summary[@]}"
exit $status
