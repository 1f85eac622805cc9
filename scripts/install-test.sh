#!/usr/bin/env bash
# Installs the plug-in as a packager and a host author would, and drives the installed copy:
#  1. `cmake --install` of build/plain into a staging folder (DESTDIR);
#  2. tests/install/host.c, a small C host, built against the installed header through
#     pkg-config, and again through the installed CMake package;
#  3. each host loads the installed .so with dlopen and plays a session against the stand-in
#     channel service; the plug-in's start-up line must name this build;
#  4. the Debian packages (scripts/package.sh): their fields and files checked, unpacked into a
#     second staging folder, and the pkg-config host run against that.
# Work folder: build/install-test. Usage: scripts/install-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd -P)"

"$root/scripts/install-deps.sh"
build="$root/build/plain"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target usbRedirectionPlugin kapservice

work="$root/build/install-test"
rm -rf "$work"
mkdir -p "$work"
sim="$build/tools/kapservice-sim/libkapservice.so"
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version="$(cache CMAKE_PROJECT_VERSION)"
prefix="$(cache CMAKE_INSTALL_PREFIX)"
sim_includes=(-I"$root/tools/kapservice-sim" -I"$root/src")

# The build number the start-up line must carry, found as the build finds it: the commit
# count when the sources are the top of a full git checkout.
expected="$(cache USBREDIR_BUILD_NUMBER)"
if [ -z "$expected" ]; then
  expected="0"
  if [ "$(git -C "$root" rev-parse --show-toplevel --is-shallow-repository 2>/dev/null | xargs)" \
       = "$root false" ]; then
    expected="$(git -C "$root" rev-list --count HEAD)"
  fi
fi

fail() { echo "install test: FAILED: $*" >&2; exit 1; }

# check_file <staging root> <path below it>...
check_files() {
  local dest="$1"
  shift
  for path in "$@"; do
    [ -f "$dest$path" ] || fail "$dest$path was not installed"
  done
}

# build_with_pkgconfig <staging root> <pkg-config folder> <output>: compiles the host with
# the flags of the staged usbRedirectionPlugin.pc and checks it read the staged header.
build_with_pkgconfig() {
  local dest="$1" pcdir="$2" out="$3"
  pc() { PKG_CONFIG_LIBDIR="$pcdir" PKG_CONFIG_SYSROOT_DIR="$dest" pkg-config "$@" usbRedirectionPlugin; }
  [ "$(pc --modversion)" = "$version" ] || fail "pkg-config version $(pc --modversion), not $version"
  # shellcheck disable=SC2046  # the flags are words
  cc -std=c11 -Wall -Wextra -Werror $(pc --cflags) "${sim_includes[@]}" -MD -MF "$out.d" \
    tests/install/host.c -o "$out" $(pc --libs) -pthread
  grep -q "${dest}[^ ]*/usbRedirectionPlugin.h" "$out.d" || fail "the host did not use the installed header"
  plugin="$(pc --variable=plugin)"
  [[ "$plugin" == "$dest"* ]] || plugin="$dest$plugin"  # pkgconf adds the sysroot, pkg-config not
  echo "pkg-config: $(pc --cflags --libs | xargs), plugin=$plugin"
}

# run_host <name> <host> [plug-in]: a session with a fresh home and log folder.
run_host() {
  local name="$1" host="$2" home="$work/home-$1"
  shift 2
  mkdir -p "$home/tmp"
  echo "--- $name host"
  HOME="$home" TMPDIR="$home/tmp" USER=installtest KAPSERVICE_PATH="$sim" \
    timeout 120 "$host" "$@" || fail "the $name host"
  local line
  line="$(grep -h -m1 "LogStartupInfo" "$home"/tmp/quorin-installtest/quorin-UsbRedirPlugin-*.log)" ||
    fail "no start-up line in the plug-in's log"
  echo "start-up line: ${line#* A }"
  [[ "$line" =~ version=build-$expected\ \( ]] || fail "the start-up line does not name build $expected"
}

echo "=== cmake --install (DESTDIR, prefix $prefix, version $version, build $expected)"
dest="$work/destdir"
DESTDIR="$dest" cmake --install "$build" | sed "s|$dest||"
libdir="$(cache CMAKE_INSTALL_LIBDIR)"
[[ "$libdir" = /* ]] || libdir="$prefix/$libdir"
check_files "$dest" "$libdir/libusbRedirectionPlugin.so" "$prefix/include/usbRedirectionPlugin.h" \
  "$libdir/pkgconfig/usbRedirectionPlugin.pc" \
  "$libdir/cmake/UsbRedirectionPlugin/UsbRedirectionPluginConfig.cmake" \
  "$libdir/cmake/UsbRedirectionPlugin/UsbRedirectionPluginConfigVersion.cmake"

build_with_pkgconfig "$dest" "$dest$libdir/pkgconfig" "$work/host-pkgconfig"
run_host pkg-config "$work/host-pkgconfig" "$plugin"

cmake -S tests/install -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$dest$prefix" \
  -DKAPSIM_INCLUDE_DIRS="$root/tools/kapservice-sim;$root/src" >/dev/null
cmake --build "$work/host-cmake" >/dev/null
run_host find_package "$work/host-cmake/install_host"  # the path comes from the package

echo "=== Debian packages"
packages=()
while IFS= read -r file; do packages+=("$file"); done < <(scripts/package.sh | grep '\.d\?deb$')
runtime="" dev=""
for file in "${packages[@]}"; do
  case "$(basename "$file")" in
    libusbredirectionplugin_*.deb) runtime="$file" ;;
    libusbredirectionplugin-dev_*.deb) dev="$file" ;;
  esac
  echo "--- $(basename "$file")"
  dpkg-deb -f "$file" Package Version Architecture Section Depends | sed 's/^/  /'
  dpkg-deb -c "$file" | awk '$1 !~ /^d/ {print "  " $6}'
done
if [ -z "$runtime" ] || [ -z "$dev" ]; then fail "scripts/package.sh did not make both packages"; fi
for file in "$runtime" "$dev"; do
  [ "$(dpkg-deb -f "$file" Version)" = "$version" ] || fail "$file is not version $version"
done
dpkg-deb -f "$runtime" Depends | grep -Eq '(^|, )libicu[0-9]+ ' || fail "no ICU runtime dependency"
dpkg-deb -f "$dev" Depends | grep -Fq "libusbredirectionplugin (= $version)" ||
  fail "the -dev package does not depend on the plug-in of its version"

debroot="$work/debroot"
for file in "$runtime" "$dev"; do dpkg-deb -x "$file" "$debroot"; done
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
check_files "$debroot" "/usr/lib/$multiarch/libusbRedirectionPlugin.so" \
  "/usr/include/usbRedirectionPlugin.h" "/usr/lib/$multiarch/pkgconfig/usbRedirectionPlugin.pc"
build_with_pkgconfig "$debroot" "$debroot/usr/lib/$multiarch/pkgconfig" "$work/host-deb"
run_host deb "$work/host-deb" "$plugin"

echo "install test: OK"
