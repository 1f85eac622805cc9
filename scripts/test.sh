#!/usr/bin/env bash
# Configures, builds and runs every test. Usage: scripts/test.sh [plain|asan|tsan]
# Each flavour builds in its own folder under build/.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-plain}"
"$(pwd)/scripts/install-deps.sh"

case "$flavour" in
  plain) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBREDIR_BENCH=ON) ;;
  asan)  args=(-DCMAKE_BUILD_TYPE=Debug -DUSBREDIR_SANITIZE=address -DUSBREDIR_BENCH=OFF) ;;
  tsan)  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBREDIR_SANITIZE=thread -DUSBREDIR_BENCH=OFF) ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac

dir="build/$flavour"
cmake -S . -B "$dir" -G Ninja "${args[@]}"
cmake --build "$dir" -j2

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
# The soak (label "soak") runs for minutes: scripts/soak.sh.
ctest --test-dir "$dir" -j2 --output-on-failure -LE soak
