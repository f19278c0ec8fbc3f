#!/usr/bin/env bash
# ctest's package test: makes the packages of this build folder and of the Windows build folders
# (cpack, and each folder's installer with wixl), then tests them as a station would get them.
#   ctest_package.sh VERSION BUILD_DIR WORK_DIR PLANTED_LIBRARY [WINDOWS_BUILD_DIR...]
set -u
version=$1 build=$2 work=$3 planted=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
rm -rf "$work"
mkdir -p "$work/made"
cpack --config "$build/CPackConfig.cmake" -B "$work/made/deb" >"$work/made/deb.log" 2>&1 ||
  { echo "FAILED: cpack of $build:"; cat "$work/made/deb.log"; exit 1; }
deb_cli=$(ls "$work"/made/deb/zemcli_*.deb)
deb_gui=$(ls "$work"/made/deb/zem_*.deb)
# The line service's package, made where the build has the line service.
ZEM_DEB_LINE=$(ls "$work"/made/deb/zem-line_*.deb 2>/dev/null)
export ZEM_DEB_LINE
# Reproducible: made again a second later (every file installed anew), the packages are the same
# to the byte.
sleep 1
cpack --config "$build/CPackConfig.cmake" -B "$work/made/deb-again" >"$work/made/deb-again.log" 2>&1 ||
  { echo "FAILED: second cpack of $build:"; cat "$work/made/deb-again.log"; exit 1; }
for deb in "$deb_cli" "$deb_gui"; do
  cmp -s "$deb" "$work/made/deb-again/$(basename "$deb")" ||
    { echo "FAILED: two cpack runs of one build give different $(basename "$deb")"; exit 1; }
done
zips= msis=
# A version below this one in four parts: the previous minor release (or major, at a .0).
older=$(awk -F. '{ if ($2 > 0) print $1 "." $2 - 1 ".0.0"; else print $1 - 1 ".99.0.0" }' <<<"$version")
for windows in "$@"; do
  [ -f "$windows/CPackConfig.cmake" ] || continue
  out="$work/made/$(basename "$windows")"
  cpack --config "$windows/CPackConfig.cmake" -B "$out" >"$out.log" 2>&1 ||
    { echo "FAILED: cpack of $windows:"; cat "$out.log"; exit 1; }
  zip=$(ls "$out"/zem-*-win*.zip)
  zips="$zips${zips:+,}$zip"
  if command -v wixl >/dev/null; then
    msi="${zip%.zip}.msi"
    "$source_dir/packaging/windows/make-msi" "$windows" "$msi" >"$out-msi.log" 2>&1 ||
      { echo "FAILED: the installer of $windows:"; cat "$out-msi.log"; exit 1; }
    # The same tree as the release before this one, for the upgrade.
    "$source_dir/packaging/windows/make-msi" "$windows" "${msi%.msi}-older.msi" "$older" >>"$out-msi.log" 2>&1 ||
      { echo "FAILED: the older installer of $windows:"; cat "$out-msi.log"; exit 1; }
    msis="$msis${msis:+,}$msi"
  fi
done
[ -n "$zips" ] || zips=-
[ -n "$msis" ] || msis=-
wine_run=
command -v wine >/dev/null && wine_run="$source_dir/scripts/wine-run"
exec bash "$here/package_test.sh" "$version" "$deb_cli" "$deb_gui" "$zips" "$msis" "$work/test" \
  "$planted" $wine_run
