#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan, and runs each for the given
# number of seconds (default 60) on a copy of its seed corpus fuzz/corpus/<name>/, with the
# tokens of fuzz/<name>.dict when there is one.
# Fails on any finding. Usage: scripts/fuzz.sh [seconds]
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
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${extra[@]}" \
      -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus"; then
    echo "fuzz_$name: finding, see $work/artifacts/" >&2
    status=1
  fi
done
exit $status
