#!/usr/bin/env bash
# Builds what the demo needs and runs it: the stand-in hub loads the plug-in and plays
# client sessions against the stand-in channel service. Arguments go to the demo
# (scripts/demo.sh --help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."

"$(pwd)/scripts/install-deps.sh"
dir="build/plain"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j2 --target vhub_demo
exec "$dir/tools/vhub/vhub" "$@"
