#!/usr/bin/env bash
# The Win32 station window in process under Wine and Xvfb: its fake-run tests, then four zem-sim
# modules mapped to COM5..COM8, one of which NACKs a record, and a slow one on COM9 to abort.
#
# station_wine.sh TEST_EXE WINE_RUN NATIVE_TOOLS_DIR WORK_DIR
# Exit 77 means skipped. ZEM_STATION_HOLD_MS keeps the window up that long after the run (for a
# screenshot).
set -u
exe=$1 wine_run=$2 tools=$3 base=$4
. "$(cd "$(dirname "$0")/.." && pwd)/wine_sim.sh"
need_tools

if [ -z "${ZEM_WINE_XVFB:-}" ]; then
  mkdir -p "$base/tmp"
  ZEM_WINE_XVFB=1 TMPDIR="$base/tmp" exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

prefix="$base/wineprefix"
export ZEM_WINEPREFIX="$prefix" WINEPREFIX="$prefix" WINEDEBUG=-all
work="$base/station"
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failed=0
pids=()
end_session() {
  TMPDIR="$prefix.tmp" timeout 60 wineserver -w || TMPDIR="$prefix.tmp" wineserver -k >/dev/null 2>&1
}
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  end_session
}
trap cleanup EXIT

"$tools/zem-mkstream" -q -o s.bin --records 300,2000,200 || exit 1
ptys=()
# COM9 answers slowly: a run there is aborted half-way.
for n in 5 6 7 8 9; do
  mkdir -p "sim$n"
  opts=()
  [ "$n" = 7 ] && opts=(--nack 2:0x41)
  [ "$n" = 9 ] && opts=(--flash-latency 400)
  (cd "sim$n" && exec "$tools/zem-sim" --quiet --timeout 120 "${opts[@]}" ../s.bin >sim.out 2>sim.err) &
  pids+=("$!")
  pty=
  for _ in $(seq 100); do
    pty=$(head -n1 "sim$n/sim.out" 2>/dev/null)
    [ -n "$pty" ] && break
    sleep 0.1
  done
  [ -n "$pty" ] || { echo "FAILED: zem-sim gave no pseudo-terminal"; exit 1; }
  "$wine_run" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$pty" /f >reg.log 2>&1 ||
    fail "could not map COM$n to $pty"
done
# Wine reads its port map when a session starts.
end_session

ZEM_STATION_PORTS=COM5,COM6,COM7,COM8 ZEM_STATION_STREAM="Z:$(pwd | tr / '\\')\\s.bin" \
  ZEM_STATION_NACKED=COM7 ZEM_STATION_SLOW=COM9 WINEPREFIX="$prefix" timeout -k 5 240 "$wine_run" "$exe" >test.log 2>&1
code=$?
cat test.log
[ "$code" -eq 0 ] || fail "the station window tests exited $code"
exit "$failed"
