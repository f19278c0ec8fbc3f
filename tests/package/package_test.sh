#!/usr/bin/env bash
# The packages as a station gets them: the Debian package unpacked into a scratch root, its
# programs run from there, and the Windows zips unpacked and run under Wine.
#   package_test.sh DEB ZIP[,ZIP...]|- WORK_DIR PLANTED_LIBRARY [WINE_RUN]
# DEB and the ZIPs are the packages (ZIP "-" when there is no Windows build; a zip's name ends in
# -win32.zip or -win64.zip); PLANTED_LIBRARY is a loadable library that marks the working directory
# when it is loaded; WINE_RUN is scripts/wine-run. Exit 77 means skipped.
set -u
. "$(cd "$(dirname "$0")/.." && pwd)/ser2net.sh"
abs() { [ "$1" = - ] || [ -z "$1" ] && echo "$1" || realpath -m "$1"; }
deb=$(abs "$1") zips=$2 work=$(abs "$3") planted=$(abs "$4") wine_run=$(abs "${5:-}")
failed=0
pids=()
fail() { echo "FAILED: $*"; failed=1; }
cleanup() {
  for p in "${pids[@]+"${pids[@]}"}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# --- The Debian package's control data and contents -------------------------------------------
[ -f "$deb" ] || { echo "FAILED: no package $deb"; exit 1; }
info=$(dpkg-deb -I "$deb") || { echo "FAILED: dpkg-deb -I $deb"; exit 1; }
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = zem ] || fail "Package: $(field Package)"
[ "$(field Version)" = 1.9 ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
# Each dependency is a package this machine has, and every library that an installed file links
# directly comes from a package in Depends: a station that installs the dependencies has them all.
dep_names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for name in $dep_names; do
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' ||
    fail "dependency $name is not installed on this machine"
done
grep -q 'Description: Flash programmer for cellular radio modules' <<<"$info" || fail "no description: $info"

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for f in usr/bin/zem usr/bin/zemcli usr/bin/zem-sim usr/bin/zem-mkstream usr/lib/zem/libipserial.so \
  usr/share/man/man1/zem.1.gz usr/share/man/man1/zemcli.1.gz usr/share/man/man1/zem-sim.1.gz \
  usr/share/man/man1/zem-mkstream.1.gz usr/share/applications/zem.desktop \
  usr/share/icons/hicolor/scalable/apps/zem.svg usr/share/icons/hicolor/48x48/apps/zem.png \
  usr/share/bash-completion/completions/zemcli usr/share/doc/zem/README.md \
  usr/share/doc/zem/LICENSE usr/share/doc/zem/copyright usr/share/zem/sample.bin; do
  grep -qx "\./$f" <<<"$contents" || fail "the package lacks /$f"
done

root="$work/root"
dpkg-deb -x "$deb" "$root" || { echo "FAILED: dpkg-deb -x"; exit 1; }
bin="$root/usr/bin"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)
for f in "$bin"/* "$root"/usr/lib/zem/*.so; do
  for soname in $(readelf -d "$f" | awk '/NEEDED/ {gsub(/[][]/, "", $5); print $5}'); do
    owner=
    for dir in "/lib/$multiarch" "/usr/lib/$multiarch" /lib /usr/lib; do
      owner=$(dpkg -S "$dir/$soname" 2>/dev/null | head -n1 | cut -d: -f1)
      [ -n "$owner" ] && break
    done
    if [ -z "$owner" ]; then
      fail "$(basename "$f") links $soname, which no package holds"
    elif ! grep -qx "$owner" <<<"$dep_names"; then
      fail "$(basename "$f") links $soname of $owner, which Depends lacks: $depends"
    fi
  done
done

# Man pages render without a warning.
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
grep -q '^Exec=zem$' "$root/usr/share/applications/zem.desktop" || fail "desktop entry runs no zem"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/zem.desktop" || fail "desktop entry invalid"
fi
# Completion of zemcli's options, port names and speeds; a host:port before the speed is one
# argument although bash splits it at the colon.
completion="$root/usr/share/bash-completion/completions/zemcli"
if [ -f /usr/share/bash-completion/bash_completion ]; then
  got=$(PATH="$bin:$PATH" bash -c '
    . /usr/share/bash-completion/bash_completion
    . "$1"
    complete_line() {
      COMP_LINE=$1; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_POINT=${#COMP_LINE}
      COMPREPLY=(); _zemcli; echo "${COMPREPLY[*]}"
    }
    complete_line "zemcli --li" zemcli --li
    complete_line "zemcli s.bin DI" zemcli s.bin DI
    complete_line "zemcli s.bin 10.0.0.5:4001 92" zemcli s.bin 10.0.0.5 : 4001 92
    complete_line "zemcli --info s.bin " zemcli --info s.bin ""
  ' _ "$completion" 2>&1)
  # The last line, nothing after --info's file, is lost to $( ).
  [ "$got" = $'--list-ports\nDISK\n921600' ] || fail "completion gave: $got"
else
  bash -n "$completion" || fail "completion script"
fi

# --- The installed programs ------------------------------------------------------------------
version=$("$bin/zemcli" --version) || fail "zemcli --version exited $?"
[ "$version" = 1.9 ] || fail "zemcli --version printed '$version'"
"$bin/zemcli" --list-ports >ports.txt || fail "zemcli --list-ports exited $?"
"$bin/zemcli" --list-ports --json >ports.json || fail "zemcli --list-ports --json exited $?"
while read -r line; do
  [[ $line == '{"port":"'* ]] || fail "--list-ports --json line: $line"
done <ports.json
sample="$root/usr/share/zem/sample.bin"

# zem-sim from the package on a pseudo-terminal; sets sim_pid and pty.
start_sim() {
  "$bin/zem-sim" --quiet --timeout 60 --linger 500 --summary "$1.json" "$sample" >"$1.out" 2>"$1.err" &
  sim_pid=$!
  pids+=("$sim_pid")
  pty=
  for _ in $(seq 100); do
    pty=$(head -n1 "$1.out" 2>/dev/null)
    [ -n "$pty" ] && break
    sleep 0.1
  done
  [ -n "$pty" ] || { echo "FAILED: zem-sim gave no pseudo-terminal"; exit 1; }
}
# Succeeds when zemcli and zem-sim both saw a complete run; otherwise says why.
check_run() {
  local code=$1 name=$2
  wait "$sim_pid"
  local sim_code=$?
  why=
  [ "$code" -eq 0 ] || why="zemcli exited $code: $(tail -n3 run.err)"
  [ "$sim_code" -eq 0 ] && grep -q '"result":"pass"' "$name.json" ||
    why="$why; zem-sim saw: $(cat "$name.json" 2>/dev/null)"
  [ -z "$why" ]
}

# Runs the given attempt up to three times in a new folder each. On a heavily loaded machine the
# module's answer to a sync byte can come after the programmer's wait for it, which the next sync
# byte then spoils; a fault of the package fails every attempt.
attempts() {
  local name=$1 i
  for i in 1 2 3; do
    rm -rf "$work/$name"
    mkdir "$work/$name" && cd "$work/$name" || exit 1
    if "$name"_run; then
      [ "$i" -eq 1 ] || echo "$name: passed at attempt $i"
      cd "$work" || exit 1
      return 0
    fi
    echo "$name: attempt $i failed: $why"
  done
  fail "$name: no attempt passed"
  cd "$work" || exit 1
}

# A run over a local port.
local_run() {
  start_sim local
  "$bin/zemcli" "$sample" "$pty" 921600 >run.out 2>run.err
  check_run $? local
}
attempts local

# ser2net in front of the simulator's pty; sets port and s2n_pid.
start_ser2net() { start_ser2net_for_pty "$1" 120; }

# A run over the network, through the installed library, with a planted library of the same name
# in the working directory: the installed one is taken, the planted one never even loaded.
net_run() {
  cp "$planted" libipserial.so
  start_sim net
  start_ser2net net
  "$bin/zemcli" "$sample" "127.0.0.1:$port" 921600 >run.out 2>run.err
  check_run $? net
  local ok=$?
  kill "$s2n_pid" 2>/dev/null
  if [ -e planted-library-was-loaded ]; then
    fail "the library planted in the working directory was loaded"
    return 0 # no second attempt: this is no matter of timing
  fi
  return $ok
}
if [ -x /usr/sbin/ser2net ]; then
  attempts net
else
  echo "ser2net is not installed: no network run"
  skipped=1
fi

# The same installation without its library: now the working directory's file is the only one,
# and is loaded, which shows that the check above can see a planted library being taken.
cp -a "$root" root-nolib
rm root-nolib/usr/lib/zem/libipserial.so
mkdir nolib && cd nolib || exit 1
cp "$planted" libipserial.so
"$work/root-nolib/usr/bin/zemcli" "$sample" 127.0.0.1:9 115200 >run.out 2>run.err
code=$?
[ "$code" -eq 5 ] || fail "without an installed library the run exited $code, expected 5"
[ -e planted-library-was-loaded ] || fail "without an installed library the planted one was not loaded"
cd "$work" || exit 1

# --- The Windows zips ------------------------------------------------------------------------
if [ "$zips" = - ]; then
  echo "no Windows build: the zips are not tested"
  skipped=1
else
  IFS=, read -r -a zip_list <<<"$zips"
  for zip in "${zip_list[@]}"; do
    zip=$(abs "$zip")
    [ -f "$zip" ] || { echo "FAILED: no zip $zip"; exit 1; }
    name=$(basename "$zip" .zip)
    case "$name" in
      *-win64) arch=win64 ;;
      *-win32) arch=win32 ;;
      *) fail "$name: neither a 32-bit nor a 64-bit Windows zip"; continue ;;
    esac
    listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
    [ "$listed" = "LICENSE README.md ipserial.dll zem.exe zemcli.exe " ] || fail "$name holds: $listed"
    unzip -q "$zip" -d "$name" || fail "unzip $name"
    if [ -z "$wine_run" ]; then
      echo "no Wine: $name's zemcli.exe is not run"
      skipped=1
      continue
    fi
    rc=0
    why=$(ZEM_WINEARCH=$arch "$wine_run" --probe 2>&1) || rc=$?
    if [ "$rc" -eq 77 ]; then
      echo "$name: $why"
      continue
    fi
    [ "$rc" -eq 0 ] || { fail "$name: $why"; continue; }
    version=$(ZEM_WINEARCH=$arch "$wine_run" "$name/zemcli.exe" --version | tr -d '\r') ||
      fail "$name: zemcli.exe --version exited $?"
    [ "$version" = 1.9 ] || fail "$name: zemcli.exe --version printed '$version'"
  done
fi

[ "$failed" -eq 0 ] || exit 1
[ -z "${skipped:-}" ] || exit 77
echo "package test passed"
