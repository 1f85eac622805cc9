#!/usr/bin/env bash
# Runs the end-to-end tests and a short demo under valgrind's memcheck (plain build,
# build/plain): any memory error or leak fails. Suppressions, each with its reason, are in
# scripts/valgrind.supp and cover only the system's own libraries.
# Usage: scripts/valgrind.sh [demo seconds, default 1]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-1}"
"$(pwd)/scripts/install-deps.sh"

dir="build/plain"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j2 --target test_e2e vhub_demo

memcheck=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible
          --keep-debuginfo=yes
          --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=1
          --num-callers=40 --suppressions="$(pwd)/scripts/valgrind.supp")

echo "--- end-to-end tests under memcheck"
# The tests wait with margins meant for a loaded machine; memcheck is some 20-50 times slower.
"${memcheck[@]}" "$dir/tests/test_e2e"
echo "--- demo under memcheck (${seconds}s)"
"${memcheck[@]}" "$dir/tools/vhub/vhub" --sessions 2 --duration "$seconds" --quiet
echo "valgrind: no errors, no leaks"
