# Shared by the shell test drivers (sourced): ser2net (RFC 2217, no character delay) on a free
# port of 127.0.0.1 in front of the tty $pty. $1 names its files ($1.yaml, $1.log in the current
# folder), $2 is the longest it may run, in seconds; $3, when given, is a layer between Telnet and
# TCP (ser2net's ssl(...)), or "plain" for no Telnet at all (a TCP port that never says a word
# first); the lines of the file ser2net.options, when there is one, join the connection's options.
# Sets port and s2n_pid; adds the server to pids.
start_ser2net_for_pty() {
  local ser2net=/usr/sbin/ser2net p layer=telnet\(rfc2217\),${3:+$3,}
  [ "${3:-}" = plain ] && layer=
  port=
  for _ in 1 2 3 4 5; do
    p=$((20000 + RANDOM % 40000))
    cat >"$1.yaml" <<YAML
connection: &zem
  accepter: ${layer}tcp,127.0.0.1,$p
  connector: serialdev,$pty,115200n81,local
  options:
    chardelay: false
YAML
    [ -f ser2net.options ] && cat ser2net.options >>"$1.yaml"
    timeout "$2" "$ser2net" -d -u -c "$PWD/$1.yaml" >"$1.log" 2>&1 &
    s2n_pid=$!
    # Ready once its port accepts connections; if another program had the port, try another.
    # A program that already listened there would accept too, and a test would then talk to it
    # (another test's TLS server refused our CA's certificates): the listener must be ours.
    for _ in $(seq 50); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
        listener_is_ours "$s2n_pid" "$p" && port=$p
        break
      fi
      kill -0 "$s2n_pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$port" ] && break
    kill "$s2n_pid" 2>/dev/null
    wait "$s2n_pid" 2>/dev/null
  done
  [ -n "$port" ] || { echo "FAILED: ser2net did not start: $(cat "$1.log")"; exit 1; }
  pids+=("$s2n_pid")
}

# True when the socket listening on 127.0.0.1:$2 belongs to process $1 or one of its children
# (ser2net runs under timeout).
listener_is_ours() {
  local hex inode pid fd stat ppid
  hex=$(printf ':%04X' "$2")
  for inode in $(awk -v h="$hex" '$4 == "0A" && substr($2, length($2) - 4) == h { print $10 }' \
    /proc/net/tcp 2>/dev/null); do
    for stat in "/proc/$1/stat" /proc/[0-9]*/stat; do
      read -r pid _ _ ppid _ <"$stat" 2>/dev/null || continue
      [ "$pid" = "$1" ] || [ "$ppid" = "$1" ] || continue
      for fd in "/proc/$pid/fd/"*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "socket:[$inode]" ] && return 0
      done
    done
  done
  return 1
}
