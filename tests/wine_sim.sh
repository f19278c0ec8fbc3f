# Shared by the Wine end-to-end drivers (sourced): the native module simulator on a
# pseudo-terminal. Needs $tools, the folder of the native zem-sim and zem-mkstream.
# Exit 77 means skipped; fail records a failure in $failed and goes on.

skip() { echo "SKIPPED: $*"; exit 77; }
# A build whose programs this machine cannot run (32-bit ones on a kernel without 32-bit support)
# is skipped, with the reason wine-run gives.
need_wine() {
  local why rc=0
  why=$("$1" --probe 2>&1) || rc=$?
  [ "$rc" -eq 77 ] && skip "${why#skipped: }"
  [ "$rc" -eq 0 ] || { echo "FAILED: $why"; exit 1; }
}
fail() { echo "FAILED: $*"; failed=1; }

need_tools() {
  for t in zem-sim zem-mkstream; do
    [ -x "$tools/$t" ] || skip "no $tools/$t: build the native tools (make build) or set ZEM_NATIVE_BUILD_DIR"
  done
}

# zem-sim in the background on stream s.bin with the given options; sets sim_pid and pty, and
# adds the simulator to the driver's pids when it keeps such a list.
start_sim() {
  "$tools/zem-sim" --quiet --timeout 120 --summary sim.json "$@" s.bin >sim.out 2>sim.err &
  sim_pid=$!
  if declare -p pids >/dev/null 2>&1; then pids+=("$sim_pid"); fi
  pty=
  for _ in $(seq 100); do
    pty=$(head -n1 sim.out 2>/dev/null)
    [ -n "$pty" ] && break
    sleep 0.1
  done
  [ -n "$pty" ] || { echo "FAILED: zem-sim gave no pseudo-terminal"; exit 1; }
}

# Waits for the simulator and checks its view of a good run at 921600 of a stream whose speed
# word lies in record 3.
check_sim_run() {
  wait "$sim_pid"
  local code=$?
  sim_pid=
  [ "$code" -eq 0 ] || fail "zem-sim saw an incomplete run: $(cat sim.json 2>/dev/null)"
  local speeds
  speeds=$(grep -o '"speed":[0-9]*' sim.json | cut -d: -f2 | tr '\n' ' ')
  [ "$speeds" = "115200 115200 115200 921600 921600 " ] ||
    fail "record speeds were '$speeds', expected the switch to 921600 after record 3"
  grep -q '"speed_word":4,' sim.json || fail "speed word: $(grep -o '"speed_word":[a-z0-9]*' sim.json)"
}
