#!/usr/bin/env bash
# ctest's package test: makes the packages of this build folder and of the Windows build folders
# with cpack, then tests them as a station would get them.
#   ctest_package.sh BUILD_DIR WORK_DIR PLANTED_LIBRARY [WINDOWS_BUILD_DIR...]
set -u
build=$1 work=$2 planted=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
rm -rf "$work"
mkdir -p "$work/made"
cpack --config "$build/CPackConfig.cmake" -B "$work/made/deb" >"$work/made/deb.log" 2>&1 ||
  { echo "FAILED: cpack of $build:"; cat "$work/made/deb.log"; exit 1; }
deb=$(ls "$work"/made/deb/zem_*.deb)
zips=
for windows in "$@"; do
  [ -f "$windows/CPackConfig.cmake" ] || continue
  out="$work/made/$(basename "$windows")"
  cpack --config "$windows/CPackConfig.cmake" -B "$out" >"$out.log" 2>&1 ||
    { echo "FAILED: cpack of $windows:"; cat "$out.log"; exit 1; }
  zips="$zips${zips:+,}$(ls "$out"/zem-*-win*.zip)"
done
[ -n "$zips" ] || zips=-
wine_run=
command -v wine >/dev/null && wine_run="$source_dir/scripts/wine-run"
exec bash "$here/package_test.sh" "$deb" "$zips" "$work/test" "$planted" $wine_run
