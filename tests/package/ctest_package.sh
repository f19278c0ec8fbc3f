#!/usr/bin/env bash
# ctest's package test: makes the packages of this build folder and of the Windows build folder
# (cpack, and the installer with wixl), then tests them as a station would get them.
#   ctest_package.sh VERSION BUILD_DIR WIN32_BUILD_DIR WORK_DIR PLANTED_LIBRARY
set -u
version=$1 build=$2 win32=$3 work=$4 planted=$5
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
rm -rf "$work"
mkdir -p "$work/made"
cpack --config "$build/CPackConfig.cmake" -B "$work/made/deb" >"$work/made/deb.log" 2>&1 ||
  { echo "FAILED: cpack of $build:"; cat "$work/made/deb.log"; exit 1; }
deb_cli=$(ls "$work"/made/deb/zemcli_*.deb)
deb_gui=$(ls "$work"/made/deb/zem_*.deb)
zip=- msi=-
if [ -f "$win32/CPackConfig.cmake" ]; then
  cpack --config "$win32/CPackConfig.cmake" -B "$work/made/zip" >"$work/made/zip.log" 2>&1 ||
    { echo "FAILED: cpack of $win32:"; cat "$work/made/zip.log"; exit 1; }
  zip=$(ls "$work"/made/zip/zem-*-win32.zip)
  if command -v wixl >/dev/null; then
    msi="$work/made/msi/zem-$version-win32.msi"
    "$source_dir/packaging/windows/make-msi" "$win32" "$msi" >"$work/made/msi.log" 2>&1 ||
      { echo "FAILED: the installer of $win32:"; cat "$work/made/msi.log"; exit 1; }
  fi
fi
wine_run=
command -v wine >/dev/null && wine_run="$source_dir/scripts/wine-run"
exec bash "$here/package_test.sh" "$version" "$deb_cli" "$deb_gui" "$zip" "$msi" "$work/test" \
  "$planted" $wine_run
