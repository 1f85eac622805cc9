#!/usr/bin/env bash
# Builds and runs the soak (CTest label "soak") in build/<flavour>: sessions churning through
# the built plug-in while it logs at verbose level into a 1 MB rolling file.
# Usage: scripts/soak.sh [plain|asan|tsan] [seconds]   (default: plain, 30 s)
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-plain}"
seconds="${2:-30}"
"$(pwd)/scripts/install-deps.sh"

case "$flavour" in
  plain) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)  args=(-DCMAKE_BUILD_TYPE=Debug -DUSBREDIR_SANITIZE=address -DUSBREDIR_BENCH=OFF) ;;
  tsan)  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBREDIR_SANITIZE=thread -DUSBREDIR_BENCH=OFF) ;;
  *) echo "usage: $0 [plain|asan|tsan] [seconds]" >&2; exit 2 ;;
esac

dir="build/$flavour"
cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null
cmake --build "$dir" -j2 --target usb_soak

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
# -V: the soak's summary (a few lines; the plug-in's own lines go to its log file).
USBREDIR_SOAK_SECONDS="$seconds" ctest --test-dir "$dir" -L soak -V
