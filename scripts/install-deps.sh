#!/usr/bin/env bash
# Installs what building and testing needs, only where it is missing (idempotent).
# Usage: scripts/install-deps.sh [extra package ...]   (for a script's own tools: valgrind)
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev libicu-dev pkg-config
          dpkg-dev file   # packaging: dpkg-shlibdeps, and CPack's look at each file's type
          libspdlog-dev   # spdlog: only the logging benchmark's comparison
          valgrind gcovr  # scripts/valgrind.sh and scripts/coverage.sh
          "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
