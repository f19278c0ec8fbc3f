#!/usr/bin/env bash
# ctest's package test: makes the packages of this build folder and of the Windows build folder
# with cpack, then tests them as a station would get them.
#   ctest_package.sh BUILD_DIR WIN32_BUILD_DIR WORK_DIR PLANTED_LIBRARY
set -u
build=$1 win32=$2 work=$3 planted=$4
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
rm -rf "$work"
mkdir -p "$work/made"
cpack --config "$build/CPackConfig.cmake" -B "$work/made/deb" >"$work/made/deb.log" 2>&1 ||
  { echo "FAILED: cpack of $build:"; cat "$work/made/deb.log"; exit 1; }
deb=$(ls "$work"/made/deb/zem_*.deb)
zip=-
if [ -f "$win32/CPackConfig.cmake" ]; then
  cpack --config "$win32/CPackConfig.cmake" -B "$work/made/zip" >"$work/made/zip.log" 2>&1 ||
    { echo "FAILED: cpack of $win32:"; cat "$work/made/zip.log"; exit 1; }
  zip=$(ls "$work"/made/zip/zem-*-win32.zip)
fi
wine_run=
command -v wine >/dev/null && wine_run="$source_dir/scripts/wine-run"
exec bash "$here/package_test.sh" "$deb" "$zip" "$work/test" "$planted" $wine_run
