#!/usr/bin/env bash
# Builds the tests with gcov instrumentation in build/coverage, runs them, and prints the
# line and branch coverage of src/ per file and in total (gcovr). Branches that only throw
# or that the compiler proved unreachable are left out: the code throws nothing itself.
# Usage: scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."

"$(pwd)/scripts/install-deps.sh"

dir="build/coverage"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUSBREDIR_COVERAGE=ON \
  -DUSBREDIR_BENCH=OFF
cmake --build "$dir" -j2
# Counts of an earlier run would add up with this one's.
find "$dir" \( -name '*.gcda' -o -name '*.gcov' \) -delete
ctest --test-dir "$dir" -j2 --output-on-failure

common=(--root . --object-directory "$dir" --filter 'src/'
        --exclude-unreachable-branches --exclude-throw-branches)
echo "--- lines per file"
gcovr "${common[@]}"
echo "--- branches per file, then the summary"
gcovr "${common[@]}" --branches --print-summary
