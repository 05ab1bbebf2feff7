#!/usr/bin/env bash
# Checks the shared library's interface as a host sees it:
#  1. only the service classes, the URL encoders and the progress callback
#     are exported;
#  2. a host program compiles against the installed headers with only
#     -I<includedir> (no curl, Xerces or JSON headers needed), links with
#     -lzucloud (found through pkg-config) and runs;
#  3. zucloud.pc names folders that exist for every kind of libdir: plain,
#     lib64, multiarch, one with "..", and absolute.
set -euo pipefail
build="$1"; src="$2"
lib="$build/libzucloud.so.1"
[ -f "$lib" ] || { echo "missing $lib"; exit 1; }

readelf -d "$lib" | grep 'SONAME.*libzucloud.so.1' >/dev/null || { echo "SONAME is not libzucloud.so.1"; exit 1; }

bad=$(nm -D --defined-only "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' | c++filt |
      grep -v -E '^(ZUCloudService::|ZUCloudAzureService::|urlEncode\(|urlEncodeUseSafeChar\(|zuSetUploadProgressCallback$)' || true)
if [ -n "$bad" ]; then
  echo "Symbols exported beyond the public interface:"; echo "$bad" | head -20; exit 1
fi
exported=$(nm -D --defined-only "$lib" | c++filt)
for sym in 'ZUCloudService::ZUCloudService()' 'ZUCloudAzureService::UploadFile(' 'urlEncode(char*, char const*, int)'; do
  grep -qF "$sym" <<<"$exported" || { echo "missing export: $sym"; exit 1; }
done

work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig"
cflags=$(pkg-config --cflags zucloud); libs=$(pkg-config --libs zucloud)
# Only the installed include directory: the public headers must stand alone.
c++ -std=c++17 -Wall -Wextra -Werror -nostdinc++ -isystem /usr/include/c++/12 \
    -isystem /usr/include/x86_64-linux-gnu/c++/12 $cflags \
    "$src/tests/host/host_program.cpp" -o "$work/host" $libs
# A host allocates the service objects with the size its headers gave:
# libzucloud.so.1 keeps the sizes of its first interface (x86_64).
cat >"$work/sizes.cpp" <<'EOF_SIZES'
#include <ZUCloudAzureService.h>
#include <ZUCloudService.h>
static_assert(sizeof(void*) != 8 || sizeof(ZUCloudService) == 296, "ZUCloudService changed size");
static_assert(sizeof(void*) != 8 || sizeof(ZUCloudAzureService) == 400,
              "ZUCloudAzureService changed size");
EOF_SIZES
c++ -std=c++17 -fsyntax-only $cflags "$work/sizes.cpp"
libdir=$(pkg-config --variable=libdir zucloud)
export ZUCLOUD_LOG_DIR="$work/log" ZUCLOUD_CONFIG="$work/none.conf"
LD_LIBRARY_PATH="$libdir" "$work/host"
test -f "$work/prefix/lib/cmake/zucloud/zucloudConfig.cmake" || test -f "$work/prefix/lib/x86_64-linux-gnu/cmake/zucloud/zucloudConfig.cmake" || { echo "no CMake package config"; exit 1; }

# zucloud.pc for each layout, installed where that layout puts it, must give
# exactly the layout's include and library folders.
layouts=0
check_pc_layout() {
  local libdir="$1" includedir="$2"
  layouts=$((layouts + 1))
  local prefix="$work/layout/$layouts" pcdir
  case "$libdir" in /*) pcdir="$libdir/pkgconfig" ;; *) pcdir="$prefix/$libdir/pkgconfig" ;; esac
  local want_lib want_inc
  case "$libdir" in /*) want_lib="$libdir" ;; *) want_lib="$prefix/$libdir" ;; esac
  case "$includedir" in /*) want_inc="$includedir/zucloud" ;; *) want_inc="$prefix/$includedir/zucloud" ;; esac
  mkdir -p "$pcdir" "$want_lib" "$want_inc"
  cmake -DOUT="$pcdir/zucloud.pc" -DPREFIX="$prefix" -DLIBDIR="$libdir" -DINCLUDEDIR="$includedir" \
        -DVERSION=0.0.1 -P "$src/cmake/zucloudPkgConfig.cmake"
  local got
  got=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs zucloud)
  local inc lib
  inc=$(sed -nE 's/.*-I([^ ]+).*/\1/p' <<<"$got"); lib=$(sed -nE 's/.*-L([^ ]+).*/\1/p' <<<"$got")
  if [ ! -d "$inc" ] || [ ! -d "$lib" ] ||
     [ "$(realpath "$inc")" != "$(realpath "$want_inc")" ] || [ "$(realpath "$lib")" != "$(realpath "$want_lib")" ]; then
    echo "zucloud.pc wrong for libdir '$libdir', includedir '$includedir': $got"; exit 1
  fi
}
for layout in "lib include" "lib64 include" "lib/x86_64-linux-gnu include" "./lib/../lib32/ include" \
              "$work/abs/lib include" "lib $work/abs/include"; do
  # shellcheck disable=SC2086
  check_pc_layout $layout
done
echo "abi ok"
