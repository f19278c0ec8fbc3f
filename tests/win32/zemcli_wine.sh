#!/usr/bin/env bash
# zemcli.exe under Wine, against the module simulator.
#
# zemcli_wine.sh CASE ZEMCLI_EXE WINE_RUN NATIVE_TOOLS_DIR WORK_DIR [NATIVE_ZEMCLI]
#   codes      a missing stream file gives 4, an invalid one 3, a port that is not there 5 (a
#              local one, and a network one through ipserial.dll)
#   com        a run at 921600 through COM5, which the Wine prefix maps to zem-sim's
#              pseudo-terminal: 0, the speed switch at the right record, the read-back saved as
#              COM5_Read.bin; the port list shows COM5
#   ser2net    the same run through ipserial.dll to ser2net on 127.0.0.1, in front of zem-sim
#   interrupt  Ctrl-C during the handshake with a module that never answers ends the run at once
#              as a failure (7)
#   openinterrupt  Ctrl-C while ipserial.dll opens a port whose server accepts and says nothing (a
#              plain TCP accepter of ser2net): the open ends at once and the run as aborted (7)
#   pending    win32_serial_port_tests.exe (beside in WORK_DIR) on COM5, mapped to a zem-sim that
#              reads at the line's pace
#   lost       the simulator behind COM5 killed mid-transfer: exit 7 within 3 s, the cause named
#   ser2netlost  ser2net stopped mid-run through ipserial.dll: the same
#   tls        RFC 2217 inside TLS through ipserial.dll (Schannel) to ser2net's ssl layer: refusals
#              (a CA we do not trust, the Windows store without --ca, a name the certificate lacks,
#              an expired certificate, TLS to a plain port, plain to a TLS port), each 5 with its
#              cause and nothing sent to the module; then the run at
#              921600 with --ca; certificates made by openssl at run time; a server that asks
#              for a client certificate, given none, is refused with that cause, and the run
#              itself goes to one that asks, with a client certificate it lets in
#   tlstable   the certificate table: openssl s_server with each certificate of it (see
#              tests/ipserial/make-test-certs.sh), the native zemcli and zemcli.exe against it;
#              every row the same exit code and the same cause on both, and the one expected
#   tlsstall   a TLS server that accepts and never answers (openssl s_server, stopped): Ctrl-C
#              during the handshake ends the run at once as aborted (7); a zemcli.exe killed there
#              with a client certificate leaves no key container in the user's key store; a
#              server's renegotiation request is refused with its cause (5)
#   tlslost    ser2net's TLS accepter stopped mid-run: exit 7 within 3 s, the cause named
#   timing     loaders on a real line's timing through COM5 (answers late, byte by byte): a late
#              loader refusing the last record gives 7, one accepting everything 0 with every
#              record accepted, refused sync bytes and a record's refusal log each diagnostic byte
# Exit 77 means skipped.
set -u
case_name=$1 zemcli=$2 wine_run=$3 tools=$4 base=$5 native_zemcli=${6:-}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
. "$source_dir/tests/wine_sim.sh"
. "$source_dir/tests/ser2net.sh"
need_wine "$wine_run"

# A prefix of these tests' own: mapping a port restarts its Wine session, which must not stop the
# Wine programs of other tests. scripts/wine-run creates it once and keeps Wine's temporary
# folders beside it.
prefix="$base/wineprefix"
export ZEM_WINEPREFIX="$prefix" WINEPREFIX="$prefix" WINEDEBUG=-all
mkdir -p "$prefix.tmp"
export TMPDIR="$prefix.tmp"

work="$base/$case_name"
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failed=0
pids=()

# Each session's server is started here and stopped here: a server that a program started would
# write what it holds when it stops (pages of it) into that program's output.
start_session() {
  [ -f "$prefix/system.reg" ] || "$wine_run" cmd /c exit >>wine.log 2>&1
  # A server left by a run that was itself killed would never end.
  end_session
  wineserver >>wineserver.log 2>&1
}
end_session() {
  wineserver -k >/dev/null 2>&1
  timeout 60 wineserver -w 2>/dev/null
}
cleanup() {
  for p in "${pids[@]+"${pids[@]}"}"; do kill "$p" 2>/dev/null; done
  end_session
}
trap cleanup EXIT

# Waits up to $2 tenths of a second for the process $1 to end; sets code to its exit code.
await_exit() {
  local pid=$1 i
  for ((i = 0; i < $2; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      code=$?
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# Runs zemcli.exe with the given arguments, standard output to out.txt; it has 90 s to end.
run_cli() {
  timeout -k 5 90 "$wine_run" "$zemcli" "$@" >out.txt 2>>err.txt
}

expect_code() {
  local want=$1; shift
  run_cli "$@"
  local got=$?
  if [ "$got" -eq 124 ] || [ "$got" -eq 137 ]; then
    fail "zemcli.exe $* did not end"
  elif [ "$got" -ne "$want" ]; then
    fail "zemcli.exe $* exited $got, expected $want"
  fi
}

# The last JSON line of the run must say this.
expect_result() {
  local line
  line=$(grep '"event":"result"' out.txt | tail -n1 | tr -d '\r')
  for want in "$@"; do
    [[ "$line" == *"$want"* ]] || fail "result line lacks $want: $line"
  done
}

# Wine reads its port map when a session starts.
map_com5() {
  start_session
  "$wine_run" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$1" /f >reg.log 2>&1 ||
    fail "could not map COM5 to $1"
  end_session
  start_session
}

# ser2net in front of the simulator's pty; sets port and s2n_pid.
start_ser2net() { start_ser2net_for_pty ser2net 200; }

# zemcli.exe --debug --json with the arguments $2... in the background until it is in the open:
# its banner is out, then $1 seconds more, well inside the open's own 3 s. Sets cli_pid.
start_in_open() {
  local settle=$1
  shift
  "$wine_run" "$zemcli" --debug --json "$@" >out.txt 2>>err.txt &
  cli_pid=$!
  pids+=("$cli_pid")
  for _ in $(seq 300); do
    grep -q 'Flash Programmer' out.txt 2>/dev/null && break
    sleep 0.1
  done
  grep -q 'Flash Programmer' out.txt || fail "zemcli.exe never came to the open"
  sleep "$settle"
}

# zemcli.exe --json on s.bin through the port $1 at 115200; once it is programming, the process
# $2 (the module's side) is killed with its children (ser2net runs under timeout). The run must
# end with 7 within 3 s and name the lost port.
run_and_pull() {
  local name=$1 victim=$2
  "$wine_run" "$zemcli" --json ${cli_options:-} s.bin "$name" 115200 >out.txt 2>>err.txt &
  local cli_pid=$!
  pids+=("$cli_pid")
  for _ in $(seq 300); do
    grep -q '"code":3' out.txt 2>/dev/null && break
    sleep 0.1
  done
  grep -q '"code":3' out.txt || { fail "zemcli.exe never started programming"; return; }
  sleep 0.3
  pkill -9 -P "$victim"
  kill -9 "$victim"
  local t0 ended=
  t0=$(date +%s%N)
  for _ in $(seq 1500); do
    kill -0 "$cli_pid" 2>/dev/null || { ended=1; break; }
    sleep 0.01
  done
  local ms=$((($(date +%s%N) - t0) / 1000000))
  if [ -z "$ended" ]; then
    fail "zemcli.exe did not end within 15 s of losing $name"
    return
  fi
  wait "$cli_pid"
  local code=$?
  echo "zemcli.exe exited $code ${ms} ms after $name was lost"
  # A signal (128+N) is a crash below the program: what the kernel logged says where.
  [ "$code" -lt 128 ] || dmesg 2>/dev/null | grep -i segfault | tail -n 3
  [ "$code" -eq 7 ] || fail "zemcli.exe exited $code, expected 7"
  [ "$ms" -lt 3000 ] || fail "zemcli.exe took $ms ms to notice the lost port"
  expect_result '"exit_code":7' '"status":"Error, module not programmed"'
  grep -q "\"text\":\"Port $name lost: " out.txt ||
    fail "no message names the lost port: $(tr -d '\r' <out.txt | grep message | tail -n 3)"
}

# One loader on a real line's timing: zem-sim with the options $2..., zemcli.exe --debug at
# 921600; the exit code must be $1. A success must be the loader's own: every record accepted.
timing_row() {
  local want=$1; shift
  rm -f LocalLog.txt sim.json
  start_sim --linger 500 "$@"
  map_com5 "$pty"
  expect_code "$want" --debug --json s.bin COM5 921600
  wait "$sim_pid"
  sim_pid=
  if [ "$want" -eq 0 ]; then
    grep -q '"result":"pass"' sim.json || fail "zem-sim $*: $(cat sim.json)"
    grep -o '"answer":[0-9]*' sim.json | cut -d: -f2 | while read -r a; do
      [ "$a" -ge 160 ] && [ "$a" -le 170 ] || echo "refused $a"
    done | grep -q refused && fail "zem-sim $*: a record not accepted, yet exit 0"
  fi
}
# The trace must hold the line $1 exactly $2 times.
expect_trace() {
  local n
  n=$(grep -c -F "$1" LocalLog.txt 2>/dev/null)
  [ "${n:-0}" -eq "$2" ] || fail "LocalLog.txt holds '$1' ${n:-0} times, expected $2"
}

case "$case_name" in
codes)
  printf 'not a stream file, only text standing where its header should be%.0s' 1 2 3 >bad.bin
  cp "$source_dir/tools/samples/sample.bin" good.bin || exit 1
  # A loopback port where nothing listens.
  closed=
  for _ in 1 2 3 4 5; do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { closed=$p; break; }
  done
  start_session
  expect_code 4 --json missing.bin COM9 115200
  expect_result '"exit_code":4' '"status":"Stream File not found"'
  expect_code 3 bad.bin COM9 115200
  expect_code 5 --json good.bin COM9 115200
  expect_result '"exit_code":5' '"status":"Can not open COM9"'
  expect_code 5 --json good.bin "127.0.0.1:$closed" 115200
  expect_result '"exit_code":5' "\"status\":\"Can not open 127.0.0.1:$closed\""
  ;;
com)
  need_tools
  "$tools/zem-mkstream" -q -o s.bin --records 300,1024,2048,512,4096 --speed-record 3 || exit 1
  start_sim --readback 4:100 --expect-speed 921600
  map_com5 "$pty"
  expect_code 0 --json s.bin COM5 921600
  expect_result '"exit_code":0' '"dumps":["COM5_Read.bin"]'
  check_sim_run
  size=$(stat -c %s COM5_Read.bin 2>/dev/null || echo none)
  [ "$size" = 200 ] || fail "COM5_Read.bin: size $size, expected the 100 words read back"
  # The serial device map lists the mapped port.
  expect_code 0 --list-ports
  tr -d '\r' <out.txt | grep -qx COM5 || fail "the port list lacks COM5: $(tr '\r\n' '  ' <out.txt)"
  ;;
ser2net)
  need_tools
  ser2net=/usr/sbin/ser2net
  [ -x "$ser2net" ] || skip "ser2net is not installed"
  "$tools/zem-mkstream" -q -o s.bin --records 300,1024,2048,512,4096 --speed-record 3 || exit 1
  start_sim --readback 4:50 --expect-speed 921600 --linger 500
  # ser2net is ready once its port accepts connections; if it could not have the port, another
  # is tried.
  start_ser2net
  start_session
  expect_code 0 --json s.bin "127.0.0.1:$port" 921600
  dump="127.0.0.1_${port}_Read.bin"
  expect_result '"exit_code":0' "\"dumps\":[\"$dump\"]"
  kill "$s2n_pid" 2>/dev/null
  check_sim_run
  size=$(stat -c %s "$dump" 2>/dev/null || echo none)
  [ "$size" = 100 ] || fail "$dump: size $size, expected the 50 words read back"
  ;;
interrupt)
  need_tools
  "$tools/zem-mkstream" -q -o s.bin --records 300 || exit 1
  start_sim --silent
  map_com5 "$pty"
  # Without the interrupt the handshake would run its 1000 attempts (about 50 s).
  "$wine_run" "$zemcli" --json s.bin COM5 115200 >out.txt 2>>err.txt &
  cli_pid=$!
  pids+=("$cli_pid")
  for _ in $(seq 200); do
    grep -q '"Linking..."' out.txt 2>/dev/null && break
    sleep 0.1
  done
  sleep 1
  kill -INT "$cli_pid"
  if ! await_exit "$cli_pid" 150; then
    fail "zemcli.exe did not end within 15 s of Ctrl-C"
  else
    [ "$code" -eq 7 ] || fail "zemcli.exe exited $code after Ctrl-C, expected 7"
    expect_result '"exit_code":7' '"status":"Error, module not programmed"'
  fi
  ;;
openinterrupt)
  need_tools
  ser2net=/usr/sbin/ser2net
  [ -x "$ser2net" ] || skip "ser2net is not installed"
  "$tools/zem-mkstream" -q -o s.bin --records 300 || exit 1
  start_sim --silent
  start_ser2net_for_pty ser2net 200 plain
  start_session
  start_in_open 0.5 s.bin "127.0.0.1:$port" 115200
  kill -INT "$cli_pid"
  t0=$(date +%s%N)
  ended=
  for _ in $(seq 1500); do
    kill -0 "$cli_pid" 2>/dev/null || { ended=1; break; }
    sleep 0.01
  done
  ms=$((($(date +%s%N) - t0) / 1000000))
  if [ -z "$ended" ]; then
    fail "zemcli.exe did not end within 15 s of Ctrl-C"
  else
    wait "$cli_pid"
    code=$?
    echo "zemcli.exe exited $code ${ms} ms after Ctrl-C during the open"
    [ "$code" -eq 7 ] || fail "zemcli.exe exited $code after Ctrl-C during the open, expected 7"
    [ "$ms" -lt 2000 ] ||
      fail "zemcli.exe took $ms ms to end the open: $(tr -d '\r' <LocalLog.txt | grep TSerial | tail -n 3)"
    expect_result '"exit_code":7' '"status":"Error, module not programmed"'
  fi
  kill "$s2n_pid" 2>/dev/null
  ;;
stationstop)
  # Ctrl-C during a transfer reaches a station's clean stop through the console's control
  # handler: the module under way is finished and the station exits 0.
  need_tools
  "$tools/zem-mkstream" -q -o s.bin --records 2048x60 || exit 1
  start_sim --pace
  map_com5 "$pty"
  "$wine_run" "$zemcli" --json --loop --results res.jsonl s.bin COM5 115200 >out.txt 2>>err.txt &
  cli_pid=$!
  pids+=("$cli_pid")
  for _ in $(seq 300); do
    grep -q '"code":3' out.txt 2>/dev/null && break
    sleep 0.1
  done
  grep -q '"code":3' out.txt || fail "zemcli.exe never started programming"
  kill -INT "$cli_pid"
  if ! await_exit "$cli_pid" 600; then
    fail "zemcli.exe did not end within 60 s of Ctrl-C"
  else
    [ "$code" -eq 0 ] || fail "zemcli.exe exited $code after Ctrl-C, expected 0"
    summary=$(grep '"event":"summary"' out.txt | tr -d '\r')
    [[ "$summary" == *'"clean_stop":true'* && "$summary" == *'"programmed":1'* ]] ||
      fail "not a clean stop with the module programmed: $summary"
    grep -q '"outcome":"programmed"' res.jsonl || fail "no results line for the module"
  fi
  ;;
lost)
  need_tools
  "$tools/zem-mkstream" -q -o s.bin --records 2048x200 || exit 1
  start_sim --pace
  map_com5 "$pty"
  run_and_pull COM5 "$sim_pid"
  ;;
ser2netlost)
  need_tools
  ser2net=/usr/sbin/ser2net
  [ -x "$ser2net" ] || skip "ser2net is not installed"
  "$tools/zem-mkstream" -q -o s.bin --records 2048x200 || exit 1
  start_sim --pace
  start_ser2net
  start_session
  run_and_pull "127.0.0.1:$port" "$s2n_pid"
  ;;
tls)
  need_tools
  ser2net=/usr/sbin/ser2net
  [ -x "$ser2net" ] || skip "ser2net is not installed"
  command -v openssl >/dev/null || skip "openssl is not installed"
  bash "$source_dir/tests/ipserial/make-test-certs.sh" certs >certs.log 2>&1 ||
    { fail "the test certificates could not be made: $(tail -n 3 certs.log)"; exit 1; }
  # Relative names: Wine sees this folder as the current one.
  cp certs/ca.pem certs/other-ca.pem .
  "$tools/zem-mkstream" -q -o s.bin --records 300,1024,2048,512,4096 --speed-record 3 || exit 1
  start_sim --readback 4:50 --expect-speed 921600 --linger 500
  start_session
  # Each refusal from a server of its own; the simulator must see none of it.
  # Once in a few runs of the 32-bit build a refusal came with another cause ("not trusted" for
  # the wrong-name server), never again on a second connection. A likely cause is mended: a port
  # another program already listened on passed for our ser2net's (tests/ser2net.sh now checks
  # the listener is ours). Until that is known to be the whole story, a refusal gets a second
  # try, and the first one's cause is printed.
  refuse() { # SSL-LAYER HOST CA CAUSE [SCHEME, tls:// unless given]
    local try name
    for try in 1 2; do
      start_ser2net_for_pty ser2net 200 "$1"
      name="${5-tls://}$2:$port"
      expect_code 5 --json --ca "$3" s.bin "$name" 921600
      kill "$s2n_pid" 2>/dev/null
      wait "$s2n_pid" 2>/dev/null
      grep -q "\"text\":\"Cause: $4" out.txt && return
      [ "$try" -eq 1 ] &&
        echo "NOTE: $name: another cause on the first try: $(tr -d '\r' <out.txt | grep Cause | tail -n 1)"
    done
    fail "$name: no message with the cause \"$4\": $(tr -d '\r' <out.txt | grep message | tail -n 2)"
  }
  c=$PWD/certs
  refuse "ssl(key=$c/server.key,cert=$c/server.pem)" 127.0.0.1 other-ca.pem \
    "the server's certificate is not trusted"
  refuse "ssl(key=$c/wrongname.key,cert=$c/wrongname.pem)" 127.0.0.1 ca.pem \
    "the server's certificate is not for 127.0.0.1"
  refuse "ssl(key=$c/expired.key,cert=$c/expired.pem)" localhost ca.pem \
    "the server's certificate has expired"
  # Without --ca: the Windows store, which does not know the test CA.
  refuse "ssl(key=$c/server.key,cert=$c/server.pem)" 127.0.0.1 "" \
    "the server's certificate is not trusted"
  refuse "" 127.0.0.1 ca.pem "the server did not answer TLS"
  # No --ca here: zemcli refuses trust options for a name that is not a tls:// one.
  refuse "ssl(key=$c/server.key,cert=$c/server.pem)" 127.0.0.1 "" \
    "the server closed the connection without a word" ""
  # ser2net's clientauth checks the client's certificate against this folder.
  printf '    authdir: %s\n' "$c/authdir" >ser2net.options
  refuse "ssl(key=$c/server.key,cert=$c/server.pem,clientauth)" 127.0.0.1 ca.pem \
    "the server requires a client certificate"
  # A client certificate the server does not know, named as on Linux.
  cp certs/stranger.pem certs/stranger.key .
  printf '    authdir: %s\n' "$c/authdir" >ser2net.options
  start_ser2net_for_pty ser2net 200 "ssl(key=$c/server.key,cert=$c/server.pem,clientauth)"
  expect_code 5 --json --ca ca.pem --cert stranger.pem --key stranger.key s.bin \
    "tls://127.0.0.1:$port" 921600
  grep -q '"text":"Cause: the server did not accept the client certificate' out.txt ||
    fail "a stranger's certificate: $(tr -d '\r' <out.txt | grep Cause | tail -n 1)"
  kill "$s2n_pid" 2>/dev/null
  wait "$s2n_pid" 2>/dev/null
  # Files are read and checked before connecting: their cause even where nothing listens (the
  # last server has gone), and a key under a passphrase refused with its own.
  cp certs/client-rsa.pem certs/client-rsa.key certs/client-encrypted.key \
    certs/client-legacy-encrypted.key .
  files() { # CAUSE ZEMCLI-OPTIONS...
    local cause=$1; shift
    expect_code 5 --json "$@" s.bin "tls://127.0.0.1:$port" 921600
    grep -q "\"text\":\"Cause: $cause" out.txt ||
      fail "$*: no message with the cause \"$cause\": $(tr -d '\r' <out.txt | grep message | tail -n 2)"
  }
  files "can not read the CA file missing.pem" --ca missing.pem
  files "the client key client-encrypted.key is protected by a passphrase" --ca ca.pem \
    --cert client-rsa.pem --key client-encrypted.key
  files "the client key client-legacy-encrypted.key is protected by a passphrase" --ca ca.pem \
    --cert client-rsa.pem --key client-legacy-encrypted.key
  # Servers without forward secrecy or authenticated encryption: openssl s_server restricted to
  # RSA key exchange, or to ECDHE with CBC and SHA-1, is refused after the handshake.
  for cipher in AES128-SHA AES256-GCM-SHA384 ECDHE-RSA-AES128-SHA; do
    port=
    for _ in 1 2 3 4 5; do
      p=$((20000 + RANDOM % 40000))
      timeout 60 openssl s_server -accept "127.0.0.1:$p" -cert "$c/server.pem" \
        -key "$c/server.key" -tls1_2 -cipher "$cipher" < <(sleep 60) >s_server.log 2>&1 &
      ss_pid=$!
      for _ in $(seq 50); do
        grep -q ACCEPT s_server.log && break
        kill -0 "$ss_pid" 2>/dev/null || break
        sleep 0.1
      done
      grep -q ACCEPT s_server.log && { port=$p; break; }
      wait "$ss_pid" 2>/dev/null
    done
    [ -n "$port" ] || { fail "openssl s_server did not start: $(cat s_server.log)"; continue; }
    files "the TLS handshake failed: the server offers no TLS 1.3, nor TLS 1.2 with ECDHE" \
      --ca ca.pem
    kill "$ss_pid" 2>/dev/null
    wait "$ss_pid" 2>/dev/null
  done
  # The run itself with a client certificate that the server lets in.
  start_ser2net_for_pty ser2net 200 "ssl(key=$c/server.key,cert=$c/server.pem,clientauth)"
  rm -f ser2net.options
  expect_code 0 --json --ca ca.pem --cert client-rsa.pem --key client-rsa.key s.bin \
    "tls://127.0.0.1:$port" 921600
  dump="tls___127.0.0.1_${port}_Read.bin"
  expect_result '"exit_code":0' "\"dumps\":[\"$dump\"]"
  kill "$s2n_pid" 2>/dev/null
  check_sim_run
  size=$(stat -c %s "$dump" 2>/dev/null || echo none)
  [ "$size" = 100 ] || fail "$dump: size $size, expected the 50 words read back"
  ;;
tlstable)
  [ -x "$native_zemcli" ] || skip "no native zemcli: build it (make build) or set ZEM_NATIVE_BUILD_DIR"
  command -v openssl >/dev/null || skip "openssl is not installed"
  bash "$source_dir/tests/ipserial/make-test-certs.sh" certs >certs.log 2>&1 ||
    { fail "the test certificates could not be made: $(tail -n 3 certs.log)"; exit 1; }
  # Relative names: Wine sees this folder as the current one.
  cp certs/*.pem certs/*.key .
  need_tools
  "$tools/zem-mkstream" -q -o s.bin --records 16 || exit 1
  start_session
  # s_server with the certificate NAME (and NAME.chain.pem after it, when there is one) on port;
  # sets ss_pid. Its own checks of what it serves are off: a weak certificate is what it is for.
  serve() {
    local chain=() p
    [ -f "certs/$1.chain.pem" ] && chain=(-cert_chain "certs/$1.chain.pem")
    port=
    for _ in 1 2 3 4 5; do
      p=$((20000 + RANDOM % 40000))
      timeout 120 openssl s_server -accept "127.0.0.1:$p" -cert "certs/$1.pem" \
        -key "certs/$1.key" "${chain[@]}" -cipher 'DEFAULT:@SECLEVEL=0' \
        < <(sleep 120) >s_server.log 2>&1 &
      ss_pid=$!
      for _ in $(seq 50); do
        grep -q ACCEPT s_server.log && break
        kill -0 "$ss_pid" 2>/dev/null || break
        sleep 0.1
      done
      grep -q ACCEPT s_server.log && { port=$p; return 0; }
      wait "$ss_pid" 2>/dev/null
    done
    fail "openssl s_server did not start with $1: $(cat s_server.log)"
    return 1
  }
  # The cause line of the last run in out.txt.
  cause_of() { tr -d '\r' <out.txt | grep -o '"text":"Cause: [^"]*' | tail -n 1 | cut -c16-; }
  # row SERVER-CERT HOST CA-FILE CAUSE [ZEMCLI OPTIONS...]: both programs exit 5 with CAUSE, or,
  # with CAUSE "-", both get through TLS and fail alike on what follows (s_server speaks no RFC
  # 2217). SERVER-CERT "-": no server (the files are refused before connecting).
  row() {
    local cert=$1 host=$2 ca=$3 want=$4 native wine ncode wcode
    shift 4
    # One server for both: s_server serves one client after another.
    if [ "$cert" = - ]; then port=9; else serve "$cert" || return; fi
    local args=(--json --ca "$ca" "$@" s.bin "tls://$host:$port" 115200)
    timeout -k 5 90 "$native_zemcli" "${args[@]}" >out.txt 2>>err.txt
    ncode=$?
    native=$(cause_of)
    run_cli "${args[@]}"
    wcode=$?
    wine=$(cause_of)
    [ "$cert" != - ] && { kill "$ss_pid" 2>/dev/null; wait "$ss_pid" 2>/dev/null; }
    echo "$cert $host $ca: zemcli $ncode \"$native\", zemcli.exe $wcode \"$wine\""
    [ "$ncode" -eq "$wcode" ] || fail "$cert: zemcli exited $ncode, zemcli.exe $wcode"
    [ "$native" = "$wine" ] || fail "$cert: zemcli's cause \"$native\", zemcli.exe's \"$wine\""
    if [ "$want" = - ]; then
      [[ "$native" != *certificate* && "$native" != *TLS* ]] ||
        fail "$cert: refused on TLS: $native"
    else
      [ "$ncode" -eq 5 ] || fail "$cert: exit $ncode, expected 5"
      [ "$native" = "$want" ] || fail "$cert: cause \"$native\", expected \"$want\""
    fi
  }
  untrusted="the server's certificate is not trusted"
  row server 127.0.0.1 ca.pem -
  row via-inter 127.0.0.1 ca.pem -
  row expired 127.0.0.1 ca.pem "the server's certificate has expired"
  row notyet 127.0.0.1 ca.pem "the server's certificate is not yet valid"
  row wrongname 127.0.0.1 ca.pem "the server's certificate is not for 127.0.0.1"
  row server localhost ca.pem -
  row cn-only localhost ca.pem "the server's certificate is not for localhost"
  row wildcard localhost ca.pem "the server's certificate is not for localhost"
  row selfsigned 127.0.0.1 ca.pem "$untrusted (self-signed certificate)"
  row via-other-inter 127.0.0.1 ca.pem "$untrusted (unable to get local issuer certificate)"
  row otherca-server 127.0.0.1 ca.pem "$untrusted (unable to get local issuer certificate)"
  row via-notca 127.0.0.1 ca.pem "$untrusted (invalid CA certificate)"
  row via-pathlen 127.0.0.1 ca.pem "$untrusted (path length constraint exceeded)"
  row eku-client 127.0.0.1 ca.pem "$untrusted (unsuitable certificate purpose)"
  row rsa1024 127.0.0.1 ca.pem "$untrusted (EE certificate key too weak)"
  row sha1 127.0.0.1 ca.pem "$untrusted (CA signature digest algorithm too weak)"
  row - 127.0.0.1 garbage-ca.pem \
    "can not read the CA file garbage-ca.pem: its PEM block 1 is not a certificate"
  row - 127.0.0.1 mixed-ca.pem \
    "can not read the CA file mixed-ca.pem: its PEM block 2 is not a certificate"
  row - 127.0.0.1 ca.pem "the client key client-encrypted.key is protected by a passphrase; give a key without one" \
    --cert client.pem --key client-encrypted.key
  ;;
tlsstall)
  need_tools
  command -v openssl >/dev/null || skip "openssl is not installed"
  bash "$source_dir/tests/ipserial/make-test-certs.sh" certs >certs.log 2>&1 ||
    { fail "the test certificates could not be made: $(tail -n 3 certs.log)"; exit 1; }
  cp certs/ca.pem certs/client-rsa.pem certs/client-rsa.key .
  "$tools/zem-mkstream" -q -o s.bin --records 300 || exit 1
  # A stopped s_server: the system still accepts connections for it, and nothing answers.
  port=
  for _ in 1 2 3 4 5; do
    p=$((20000 + RANDOM % 40000))
    timeout 120 openssl s_server -accept "127.0.0.1:$p" -cert certs/server.pem \
      -key certs/server.key < <(exec sleep 120 2>/dev/null) >s_server.log 2>&1 &
    ss_pid=$!
    pids+=("$ss_pid")
    for _ in $(seq 50); do
      grep -q ACCEPT s_server.log && break
      kill -0 "$ss_pid" 2>/dev/null || break
      sleep 0.1
    done
    grep -q ACCEPT s_server.log && { port=$p; break; }
  done
  [ -n "$port" ] || { fail "openssl s_server did not start: $(cat s_server.log)"; exit 1; }
  pkill -STOP -P "$ss_pid"
  kill -STOP "$ss_pid"
  start_session
  start_in_open 1 --ca ca.pem s.bin "tls://127.0.0.1:$port" 115200
  kill -INT "$cli_pid"
  t0=$(date +%s%N)
  await_exit "$cli_pid" 150 || fail "zemcli.exe did not end within 15 s of Ctrl-C in the handshake"
  ms=$((($(date +%s%N) - t0) / 1000000))
  echo "zemcli.exe exited $code ${ms} ms after Ctrl-C during the TLS handshake"
  [ "$code" -eq 7 ] || fail "zemcli.exe exited $code after Ctrl-C in the handshake, expected 7"
  [ "$ms" -lt 2000 ] || fail "zemcli.exe took $ms ms to end the handshake"
  expect_result '"exit_code":7'
  # Killed in the handshake with its client key loaded: Wine's key store (in the registry) must
  # hold no more containers than before.
  containers() { grep -ci 'Crypto\\\\RSA\\\\' "$prefix/user.reg" 2>/dev/null; }
  before=$(containers)
  start_in_open 1 --ca ca.pem --cert client-rsa.pem --key client-rsa.key s.bin \
    "tls://127.0.0.1:$port" 115200
  wineserver -k 9 >/dev/null 2>&1
  # Bounded: a process Wine could not end must fail this test, not hang it.
  timeout 30 wineserver -w 2>/dev/null
  wait "$cli_pid" 2>/dev/null
  after=$(containers)
  echo "key containers in the Wine prefix: ${before:-0} before, ${after:-0} after the kill"
  [ "${after:-0}" -le "${before:-0}" ] ||
    fail "a key container is left in the user's key store: $(grep -i 'Crypto\\\\RSA' "$prefix/user.reg")"
  # The stopped s_server too, not only its timeout: a stopped child never ends, and its timeout
  # would wait for it.
  pkill -CONT -P "$ss_pid" 2>/dev/null
  kill -CONT "$ss_pid" 2>/dev/null
  pkill -P "$ss_pid" 2>/dev/null
  kill "$ss_pid" 2>/dev/null
  # A server that asks to renegotiate (s_server's R command) once the session is up: refused
  # with its cause, as the new handshake's certificate would go unchecked.
  rm -f ctl
  mkfifo ctl
  start_session
  timeout 120 openssl s_server -tls1_2 -accept "127.0.0.1:$port" -cert certs/server.pem \
    -key certs/server.key <ctl >s_server.log 2>&1 &
  ss_pid=$!
  # Read and write: the open cannot wait for s_server to open its end.
  exec 7<>ctl
  for _ in $(seq 50); do grep -q ACCEPT s_server.log && break; sleep 0.1; done
  "$wine_run" "$zemcli" --json --ca ca.pem s.bin "tls://127.0.0.1:$port" 115200 >out.txt 2>>err.txt &
  cli_pid=$!
  for _ in $(seq 300); do grep -q 'CIPHER is' s_server.log && break; sleep 0.1; done
  echo R >&7
  await_exit "$cli_pid" 300 || fail "zemcli.exe did not end after the renegotiation request"
  [ "${code:-}" = 5 ] || fail "renegotiation: zemcli.exe exited ${code:-none}, expected 5"
  grep -q '"text":"Cause: the server asked to renegotiate TLS, which is refused' out.txt ||
    fail "renegotiation: $(tr -d '\r' <out.txt | grep Cause | tail -n 1)"
  exec 7>&-
  kill "$ss_pid" 2>/dev/null
  ;;
tlslost)
  need_tools
  ser2net=/usr/sbin/ser2net
  [ -x "$ser2net" ] || skip "ser2net is not installed"
  command -v openssl >/dev/null || skip "openssl is not installed"
  bash "$source_dir/tests/ipserial/make-test-certs.sh" certs >certs.log 2>&1 ||
    { fail "the test certificates could not be made: $(tail -n 3 certs.log)"; exit 1; }
  cp certs/ca.pem .
  "$tools/zem-mkstream" -q -o s.bin --records 2048x200 || exit 1
  start_sim --pace
  start_ser2net_for_pty ser2net 200 "ssl(key=$PWD/certs/server.key,cert=$PWD/certs/server.pem)"
  start_session
  cli_options="--ca ca.pem" run_and_pull "tls://127.0.0.1:$port" "$s2n_pid"
  ;;
pending)
  need_tools
  "$tools/zem-mkstream" -q -o s.bin --records 100 || exit 1
  start_sim --pace
  map_com5 "$pty"
  ZEM_TEST_PORT=COM5 timeout -k 5 120 "$wine_run" "$base/win32_serial_port_tests.exe" \
    >out.txt 2>>err.txt
  code=$?
  [ "$code" -eq 0 ] || { fail "win32_serial_port_tests.exe exited $code"; cat out.txt; }
  grep -q '\[  PASSED  \] 1 test' out.txt || fail "the port test did not run: $(tail -n 3 out.txt)"
  ;;
timing)
  need_tools
  "$tools/zem-mkstream" -q -o s.bin --records 64,128,256,128,64 --speed-record 3 || exit 1
  timing_row 7 --answer-delay 70 --sync-until-data --byte-timed --nack 5:0x41:1,2
  expect_trace "DbgAnsw: 0x02" 1
  timing_row 0 --answer-delay 70 --sync-until-data --byte-timed --readback 2:16
  timing_row 0 --nack-sync 5 --sync-until-data --byte-timed
  expect_trace "WaitForACK NACK (0x41)" 5
  expect_trace "DbgAnsw: 0x01" 5
  expect_trace "DbgAnsw: 0x02" 5
  timing_row 7 --byte-timed --nack 3:0x41:7,8
  expect_trace "DbgAnsw: 0x07" 1
  expect_trace "DbgAnsw: 0x08" 1
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac

if [ "$failed" -eq 0 ]; then
  rm -f wineserver.log
else
  echo "--- err.txt"
  tail -n 20 err.txt 2>/dev/null
fi
exit "$failed"
