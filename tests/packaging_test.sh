#!/usr/bin/env bash
# The Debian packages as a user gets them: builds them with
# scripts/package.sh, checks their control data and contents, unpacks them
# into a scratch root with dpkg -x and builds a host program against that
# tree twice, through pkg-config (PKG_CONFIG_SYSROOT_DIR) and through
# find_package(zucloud), then runs it.
#   packaging_test.sh <source dir> <binary dir>
set -euo pipefail
src="$1"; bin="$2"
fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -nE 's/^project\(zucloud VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
major=${version%%.*}
arch=$(dpkg --print-architecture)
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

# The package build tree stays in the test build, so a rerun is incremental.
if ! ZUCLOUD_PACKAGE_BUILD_DIR="$bin/package-build" \
     bash "$src/scripts/package.sh" "$work/debs" >"$work/package.log" 2>&1; then
  cat "$work/package.log"; fail "scripts/package.sh failed"
fi

libpkg="libzucloud$major"
for pkg in "$libpkg" libzucloud-dev zucloud-tools; do
  [ -f "$work/debs/${pkg}_${version}_${arch}.deb" ] || { ls "$work/debs"; fail "no $pkg package"; }
done
[ "$(ls "$work/debs" | wc -l)" -eq 3 ] || { ls "$work/debs"; fail "expected exactly three packages"; }

# Control data: name, version, architecture and the Depends each must have.
control_field() { dpkg-deb -I "$work/debs/${1}_${version}_${arch}.deb" control | sed -n "s/^$2: //p"; }
check_control() {
  local pkg="$1"; shift
  [ "$(control_field "$pkg" Package)" = "$pkg" ] || fail "$pkg: Package field"
  [ "$(control_field "$pkg" Version)" = "$version" ] || fail "$pkg: Version is not $version"
  [ "$(control_field "$pkg" Architecture)" = "$arch" ] || fail "$pkg: Architecture is not $arch"
  local depends; depends=$(control_field "$pkg" Depends)
  for want in "$@"; do
    grep -qE "(^|, )$want" <<<"$depends" || fail "$pkg: Depends lacks $want: $depends"
  done
}
# The library's dependencies come from dpkg-shlibdeps: the runtime packages
# of what it links, with versions.
check_control "$libpkg" 'libcurl[0-9a-z.-]* \(>= ' 'libxerces-c[0-9.]+' 'libssl3 \(>= ' 'libc6 \(>= '
check_control libzucloud-dev "$libpkg \\(= $version\\)"
check_control zucloud-tools "$libpkg \\(= $version\\)" 'libc6 \(>= '
dpkg-deb -I "$work/debs/${libpkg}_${version}_${arch}.deb" shlibs | grep -x "libzucloud $major $libpkg (>= $version)" >/dev/null ||
  fail "$libpkg: no shlibs entry for libzucloud $major"

# Contents: each file in its package and nowhere else.
contents() { dpkg-deb -c "$work/debs/${1}_${version}_${arch}.deb" | awk '$1 !~ /^d/ { print $6 }' | sort; }
expect_contents() {
  local pkg="$1"; shift
  local want; want=$(printf './%s\n' "$@" | sort)
  [ "$(contents "$pkg")" = "$want" ] || { contents "$pkg"; fail "$pkg holds other files than expected"; }
}
lib="usr/lib/$ma"
expect_contents "$libpkg" "$lib/libzucloud.so.$major" "$lib/libzucloud.so.$version"
expect_contents libzucloud-dev "$lib/libzucloud.so" \
  usr/include/zucloud/{ZUCloudService.h,ZUCloudAzureService.h,ZuUrlEncode.h,ZuCloudExport.h,ZuUploadProgress.h} \
  "$lib/pkgconfig/zucloud.pc" \
  "$lib/cmake/zucloud/"{zucloudConfig.cmake,zucloudConfigVersion.cmake,zucloudTargets.cmake,zucloudTargets-relwithdebinfo.cmake}
expect_contents zucloud-tools usr/bin/zucloud-upload usr/share/man/man1/zucloud-upload.1.gz

root="$work/root"
for deb in "$work/debs"/*.deb; do dpkg -x "$deb" "$root"; done
[ "$(readlink "$root/$lib/libzucloud.so.$major")" = "libzucloud.so.$version" ] || fail "SONAME link"
[ "$(readlink "$root/$lib/libzucloud.so")" = "libzucloud.so.$major" ] || fail ".so link"
readelf -d "$root/$lib/libzucloud.so.$version" | grep "SONAME.*\[libzucloud.so.$major\]" >/dev/null || fail "SONAME"
gzip -dc "$root/usr/share/man/man1/zucloud-upload.1.gz" | grep '^\.TH ZUCLOUD-UPLOAD 1' >/dev/null || fail "manual page"
tool_version=$(LD_LIBRARY_PATH="$root/$lib" "$root/usr/bin/zucloud-upload" --version)
[ "$tool_version" = "zucloud-upload (zucloud) $version" ] || fail "zucloud-upload --version: $tool_version"

export ZUCLOUD_LOG_DIR="$work/log" ZUCLOUD_CONFIG="$work/none.conf"
host_src="$src/tests/host/host_program.cpp"

# 1. pkg-config, as a cross build sees a sysroot: every folder it names must
#    exist in the unpacked tree.
pc() { env -u PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/$lib/pkgconfig" pkg-config "$@"; }
[ "$(pc --modversion zucloud)" = "$version" ] || fail "pkg-config version"
cflags=$(pc --cflags zucloud); libs=$(pc --libs zucloud)
for flag in $cflags $libs; do
  case "$flag" in
    -I*|-L*) dir="${flag:2}"
             [ -d "$dir" ] || fail "pkg-config names a missing folder: $flag"
             case "$(realpath "$dir")" in "$root"/usr/*) ;; *) fail "outside the tree: $flag" ;; esac ;;
  esac
done
[ -f "$(pc --variable=includedir zucloud)/ZUCloudService.h" ] || fail "includedir"
# shellcheck disable=SC2086
c++ -std=c++17 -Wall -Wextra -Werror $cflags "$host_src" -o "$work/host-pc" $libs
LD_LIBRARY_PATH="$root/$lib" ldd "$work/host-pc" | grep "libzucloud.so.$major => $root/$lib/" >/dev/null ||
  fail "host program does not load the unpacked library"
out=$(LD_LIBRARY_PATH="$root/$lib" "$work/host-pc")
[ "$out" = "host ok" ] || fail "host program (pkg-config): $out"

# 2. find_package(zucloud) with the tree's /usr as the prefix.
mkdir "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.18)
project(zucloud_host CXX)
find_package(zucloud $major REQUIRED CONFIG)
add_executable(host "$host_src")
target_compile_features(host PRIVATE cxx_std_17)
target_link_libraries(host PRIVATE zucloud::zucloud)
EOF
cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "find_package(zucloud) configure"; }
found=$(sed -n 's/^zucloud_DIR:PATH=//p' "$work/consumer/build/CMakeCache.txt")
[ "$found" = "$root/$lib/cmake/zucloud" ] || fail "find_package found $found"
cmake --build "$work/consumer/build" >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "find_package(zucloud) build"; }
# No LD_LIBRARY_PATH: the imported target's location gives the build RPATH.
out=$("$work/consumer/build/host")
[ "$out" = "host ok" ] || fail "host program (find_package): $out"

echo "packaging ok: $(cd "$work/debs" && echo *.deb)"
