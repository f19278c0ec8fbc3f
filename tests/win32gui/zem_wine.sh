#!/usr/bin/env bash
# zem.exe under Wine and Xvfb in unattended mode with auto-termination: every run must end by
# itself with its outcome's exit code, and leave the settings file alone.
#
# zem_wine.sh CASE ZEM_EXE WINE_RUN NATIVE_TOOLS_DIR WORK_DIR
#   codes    a missing stream file gives 4, an invalid one 3, a port that does not open 5 (no
#            alert waits for an operator)
#   program  a run at 921600 through COM5, which the Wine prefix maps to zem-sim's pseudo-terminal:
#            0, the speed switch at the right record, the read-back saved as COM5_Read.bin
# Exit 77 means skipped. ZEM_WIN32_SERIAL=1 says the program has the Win32 serial port.
set -u
case_name=$1 zem=$2 wine_run=$3 tools=$4 base=$5
. "$(cd "$(dirname "$0")/.." && pwd)/wine_sim.sh"
need_wine "$wine_run"
finish() {
  [ "$failed" -eq 0 ] || { echo "--- wine.log"; tail -n 20 wine.log; }
  exit "$failed"
}

if [ "$case_name" = program ]; then
  [ "${ZEM_WIN32_SERIAL:-0}" = 1 ] || skip "zem.exe has no Win32 serial port yet"
  need_tools
fi

# Xvfb once for the whole case; exit codes pass through xvfb-run unchanged.
if [ -z "${ZEM_WINE_XVFB:-}" ]; then
  mkdir -p "$base/tmp"
  ZEM_WINE_XVFB=1 TMPDIR="$base/tmp" exec xvfb-run -a bash "$0" "$@"
fi

# A prefix of these tests' own: mapping a port restarts its wine session, which must not stop the
# Wine programs of other tests. scripts/wine-run creates it once and keeps Wine's temporary
# folders beside it.
prefix="$base/wineprefix"
export ZEM_WINEPREFIX="$prefix" WINEPREFIX="$prefix" WINEDEBUG=-all

work="$base/$case_name"
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failed=0
hung=0
sim_pid=
# The session ends by itself a few seconds after its last program; a killed session writes pages
# of its objects to the log, so it is killed only when it does not end.
end_session() {
  TMPDIR="$prefix.tmp" timeout 60 wineserver -w || TMPDIR="$prefix.tmp" wineserver -k >/dev/null 2>&1
}
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  end_session
}
trap cleanup EXIT

# Runs zem.exe with the given parameters; it has 90 s to end by itself.
run_zem() {
  timeout -k 5 90 "$wine_run" "$zem" "$@" >>wine.log 2>&1
}

expect_code() {
  local want=$1; shift
  run_zem "$@"
  local got=$?
  if [ "$got" -eq 124 ] || [ "$got" -eq 137 ]; then
    fail "zem.exe $* did not end by itself"
    hung=1
  elif [ "$got" -ne "$want" ]; then
    fail "zem.exe $* exited $got, expected $want"
  fi
}

case "$case_name" in
codes)
  # Names with a blank: a parameter split at it would make five and bring the usage box instead.
  printf 'not a stream file, only text standing where its header should be%.0s' 1 2 3 >'bad stream.bin'
  expect_code 4 'no such stream.bin' COM9 115200 1
  expect_code 3 'bad stream.bin' COM9 115200 1
  # A port that does not open ends the program as well, with its text on standard error: no
  # alert waits for an operator.
  if [ -x "$tools/zem-mkstream" ]; then
    "$tools/zem-mkstream" -q -o s.bin --records 300 || exit 1
    timeout -k 5 90 "$wine_run" "$zem" s.bin COM42 115200 1 >>wine.log 2>err.log
    got=$?
    if [ "$got" -eq 124 ] || [ "$got" -eq 137 ]; then
      fail "zem.exe with a port that does not open did not end by itself"
    elif [ "$got" -ne 5 ]; then
      fail "zem.exe with a port that does not open exited $got, expected 5"
    fi
    grep -q '^Can not open COM42' err.log || fail "no 'Can not open COM42' on standard error: $(cat err.log)"
  fi
  ;;
program)
  "$tools/zem-mkstream" -q -o s.bin --records 300,1024,2048,512,4096 --speed-record 3 || exit 1
  start_sim --readback 4:100 --expect-speed 921600
  # Wine reads its port map when a session starts.
  "$wine_run" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$pty" /f >reg.log 2>&1 ||
    fail "could not map COM5 to $pty"
  end_session
  expect_code 0 s.bin COM5 921600 1
  # A program that hung has told all there is; do not wait out the simulator's own time-out.
  [ "$hung" -eq 0 ] || finish
  check_sim_run
  size=$(stat -c %s COM5_Read.bin 2>/dev/null || echo none)
  [ "$size" = 200 ] || fail "COM5_Read.bin: size $size, expected the 100 words read back"
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac

# The quit request ends the program without its close handler, which alone writes the settings.
[ ! -e Zem.ini ] || fail "an unattended run that ended itself wrote Zem.ini"
finish
