#!/usr/bin/env bash
# The README's "Setting up a station" as far as a test can follow it: its ser2net.yaml for every
# adapter, written by its own commands for two adapters (zem-sim's pseudo-terminals behind
# by-id-like links) with TLS and client certificates, served by ser2net; a gang run of zemcli
# through it with client certificate options; then the README's sample results line against a
# real one, and its jq commands on the results log of that run.
#   readme_station.sh SOURCE_DIR BUILD_DIR WORK_DIR
# Exit 77 means skipped.
set -u
src=$1 build=$2 work=$3
failed=0
pids=()
fail() { echo "FAILED: $*"; failed=1; }
skip() { echo "SKIPPED: $*"; exit 77; }
cleanup() {
  for p in "${pids[@]+"${pids[@]}"}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT
[ -x /usr/sbin/ser2net ] || skip "ser2net is not installed"
command -v jq >/dev/null || skip "jq is not installed"
readme=$src/README.md
sample=$src/tools/samples/sample.bin

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# The lines of the README's setup section between two lines (the first and the last included),
# without the list item's indentation.
readme_lines() {
  sed -n '/^## Setting up a station/,/^## /p' "$readme" |
    awk -v first="   $1" -v last="   $2" '$0 == first { on = 1 } on { print } on && $0 == last { exit }' |
    sed 's/^   //'
}
generator=$(readme_lines 'n=0' 'done | sudo tee /etc/ser2net.yaml')
[ -n "$generator" ] || { echo "FAILED: no ser2net.yaml commands in the README's setup section"; exit 1; }

bash "$src/tests/ipserial/make-test-certs.sh" certs >certs.log 2>&1 ||
  { echo "FAILED: certificates: $(cat certs.log)"; exit 1; }
ln -s authdir certs/auth

# Two modules, each behind a link named as a by-id link is.
start_sims() {
  local i
  mkdir -p by-id
  for i in 1 2; do
    "$build/tools/zem-sim" --quiet --timeout 60 --linger 500 --summary "sim$i.json" "$sample" \
      >"sim$i.out" 2>"sim$i.err" &
    pids+=($!)
    sim_pids[$i]=$!
    local pty=
    for _ in $(seq 100); do
      pty=$(head -n1 "sim$i.out" 2>/dev/null)
      [ -n "$pty" ] && break
      sleep 0.1
    done
    [ -n "$pty" ] || { echo "FAILED: zem-sim gave no pseudo-terminal"; exit 1; }
    ln -sfn "$pty" "by-id/usb-FTDI_FT232R_USB_UART_A10K3XY$i-if00-port0"
  done
}

# The README's commands with this test's folders, and TCP ports of its own: the file they write
# is the one ser2net is given.
serve() {
  local base ok i
  for _ in 1 2 3 4 5; do
    base=$((20000 + RANDOM % 40000))
    sed -e "s|/dev/serial/by-id/|$work/by-id/|; s|/etc/ser2net/|$work/certs/|g" \
      -e "s|4000 + n|$base + n|g; s|sudo tee /etc/ser2net.yaml|cat >ser2net.yaml|" \
      <<<"$generator" >generate.sh
    bash generate.sh >/dev/null || { echo "FAILED: the README's commands: $(cat generate.sh)"; exit 1; }
    timeout 120 /usr/sbin/ser2net -d -u -c "$work/ser2net.yaml" >ser2net.log 2>&1 &
    s2n_pid=$!
    ok=
    for _ in $(seq 50); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$((base + 2))") 2>/dev/null; then
        listens "$s2n_pid" $((base + 1)) && listens "$s2n_pid" $((base + 2)) && ok=1
        break
      fi
      kill -0 "$s2n_pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$ok" ] && break
    kill "$s2n_pid" 2>/dev/null
    wait "$s2n_pid" 2>/dev/null
  done
  [ -n "$ok" ] || { echo "FAILED: ser2net did not serve the README's file: $(cat ser2net.log)"; exit 1; }
  pids+=("$s2n_pid")
  ports="tls://127.0.0.1:$((base + 1)),tls://127.0.0.1:$((base + 2))"
}

# True when a socket listening on TCP port $2 (any address: the README's accepters name none)
# belongs to process $1 or one of its children.
listens() {
  local hex inode pid ppid stat fd
  hex=$(printf ':%04X' "$2")
  for inode in $(awk -v h="$hex" '$4 == "0A" && substr($2, length($2) - 4) == h { print $10 }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null); do
    for stat in "/proc/$1/stat" /proc/[0-9]*/stat; do
      { read -r pid _ _ ppid _ <"$stat"; } 2>/dev/null || continue
      [ "$pid" = "$1" ] || [ "$ppid" = "$1" ] || continue
      for fd in "/proc/$pid/fd/"*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "socket:[$inode]" ] && return 0
      done
    done
  done
  return 1
}

# On a heavily loaded machine a module's answer to a sync byte can come after the programmer's
# wait for it; a fault of the README's file fails every attempt.
for attempt in 1 2 3; do
  rm -f results.jsonl
  start_sims
  serve
  "$build/cli/zemcli" --results results.jsonl --ca certs/ca.pem --cert certs/client-rsa.pem \
    --key certs/client-rsa.key "$sample" "$ports" 921600 >run.out 2>run.err
  code=$?
  kill "$s2n_pid" 2>/dev/null
  wait "$s2n_pid" 2>/dev/null
  [ "$code" -eq 0 ] && break
  echo "attempt $attempt: zemcli exited $code: $(tail -n4 run.err)"
  for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null; done
  [ "$attempt" -lt 3 ] || fail "no run through the README's ser2net.yaml was programmed"
done
for p in "${sim_pids[@]}"; do wait "$p" 2>/dev/null; done

# The sample line has the members of a real end line.
sample_line=$(sed -n '/^## Setting up a station/,/^## /p' "$readme" | grep '^   {"alias"' | sed 's/^   //')
want=$(grep '"event":"end"' results.jsonl | head -n1 | jq -c keys)
got=$(jq -c keys <<<"$sample_line" 2>&1)
[ -n "$want" ] && [ "$got" = "$want" ] || fail "the README's sample line has $got, a real end line $want"

# The jq commands, on the log of this run (the one that follows the log, without following it).
mapfile -t commands < <(sed -n '/^## Setting up a station/,/^## /p' "$readme" |
  grep -E '^   (jq|tail -f) ' | sed 's/^   //; s/^tail -f results.jsonl | \(jq .*\)$/\1 results.jsonl/')
[ "${#commands[@]}" -eq 3 ] || fail "expected three jq commands in the README, found ${#commands[@]}"
lines=$(bash -c "${commands[0]}" 2>&1)
[ "$(grep -c $'\tprogrammed\t' <<<"$lines")" -eq 2 ] || fail "${commands[0]} printed: $lines"
counts=$(bash -c "${commands[1]}" 2>&1 | jq -c . 2>&1)
[ "$counts" = '{"programmed":2}' ] || fail "${commands[1]} printed: $counts"
failures=$(bash -c "${commands[2]}" 2>&1)
[ -z "$failures" ] || fail "${commands[2]} printed: $failures"
[ "$(grep -c '"outcome":"programmed"' results.jsonl)" -eq 2 ] || fail "grep -c counted otherwise"

[ "$failed" -eq 0 ] || exit 1
echo "the README's station set-up works as written"
