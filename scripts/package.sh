#!/usr/bin/env bash
# Builds the Debian packages of the plug-in in build/package (prefix /usr, no tests):
# libusbredirectionplugin, libusbredirectionplugin-dev and the -dbgsym of the first.
# Prints their paths. Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

"$(pwd)/scripts/install-deps.sh"
dir="build/package"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DUSBREDIR_TESTS=OFF -DUSBREDIR_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target usbRedirectionPlugin
rm -f "$dir"/*.deb "$dir"/*.ddeb
(cd "$dir" && cpack -G DEB >/dev/null)
shopt -s nullglob
for file in "$(pwd)/$dir"/*.deb "$(pwd)/$dir"/*.ddeb; do echo "$file"; done
