#!/usr/bin/env bash
# zemcli.exe's forwarder (WinHTTP) under Wine, to a native zem-line on 127.0.0.1.
#
# zemcli_wine_line.sh ZEMCLI_EXE WINE_RUN NATIVE_BUILD_DIR WORK_DIR
#   an unreleased stream is refused before any port opens (2, the reason named, no results line);
#   a wrong token is refused with the line's reason; with a released job, a run on a port that is
#   not there (5) ends with its result on the line, once, under the station's name, and a second
#   zemcli with the cursor put back sends it again without a second row.
# Exit 77 means skipped.
set -u
zemcli=$1 wine_run=$2 native=$3 base=$4
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
tools=$native/tools
. "$source_dir/tests/wine_sim.sh"
need_wine "$wine_run"
line=$native/line/zem-line
[ -x "$line" ] || skip "no $line: build the native programs (make build) or set ZEM_NATIVE_BUILD_DIR"
[ -x "$tools/zem-mkstream" ] || skip "no $tools/zem-mkstream: build the native tools (make build)"

prefix="$base/wineprefix"
export ZEM_WINEPREFIX="$prefix" WINEPREFIX="$prefix" WINEDEBUG=-all
mkdir -p "$prefix.tmp"
export TMPDIR="$prefix.tmp"

work=$(mktemp -d)
service_pid=
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
failed=0
"$tools/zem-mkstream" -q -o s.bin --records 100,200,300 || { echo "FAILED: zem-mkstream"; exit 1; }
"$line" --db line.db station add winpc > token 2>/dev/null || { echo "FAILED: station add"; exit 1; }
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$line" --db line.db serve --port "$port" > service.log 2>&1 &
service_pid=$!
for _ in $(seq 100); do
  grep -q serving service.log && break
  sleep 0.1
done
url=http://127.0.0.1:$port

ZEM_LINE_TOKEN=$(cat token) "$wine_run" "$zemcli" --results res.jsonl --line "$url" s.bin COM99 115200 \
  > out1.txt 2>&1
rc=$?
[ "$rc" -eq 2 ] || fail "unreleased stream: exit $rc, expected 2"
grep -q "stream s.bin is not a released job on $url" out1.txt || fail "unreleased stream: $(cat out1.txt)"
[ -s res.jsonl ] && fail "unreleased stream: a results line was written"

"$line" --db line.db job release s.bin --name win-job > /dev/null || fail "job release"
ZEM_LINE_TOKEN=zs-wrong "$wine_run" "$zemcli" --results res.jsonl --line "$url" s.bin COM99 115200 \
  > out2.txt 2>&1
rc=$?
[ "$rc" -eq 2 ] || fail "wrong token: exit $rc, expected 2"
grep -q "the token is not known on this line" out2.txt || fail "wrong token: $(cat out2.txt)"

ZEM_LINE_TOKEN=$(cat token) "$wine_run" "$zemcli" --results res.jsonl --line "$url" s.bin COM99 115200 \
  > out3.txt 2>&1
rc=$?
[ "$rc" -eq 5 ] || fail "run: exit $rc, expected 5: $(cat out3.txt)"
grep -q "job win-job" out3.txt || fail "the job is not named: $(cat out3.txt)"
"$line" --db line.db results --station winpc --outcome "port not opened" > rows.csv
[ "$(wc -l < rows.csv)" -eq 2 ] || fail "one result on the line expected: $(cat rows.csv)"
id=$(grep -o '"run_id":"[^"]*"' res.jsonl | head -1 | cut -d'"' -f4)
grep -q "^$id,winpc," rows.csv || fail "the result is not under its run id $id: $(cat rows.csv)"

# The cursor put back: the result goes again and stays one row.
rm -f res.jsonl.line-cursor
ZEM_LINE_TOKEN=$(cat token) "$wine_run" "$zemcli" --results res.jsonl --line "$url" s.bin COM99 115200 \
  > out4.txt 2>&1
"$line" --db line.db results --station winpc > rows.csv
[ "$(wc -l < rows.csv)" -eq 3 ] || fail "two results, each once, expected: $(cat rows.csv)"

# A station (--count) reports its ports' live state through WinHTTP too. COM99 does not exist,
# and a station waits for a port that is not there: it is ended once the line has its state.
"$line" --db line.db viewer add wall > viewer 2>/dev/null || fail "viewer add"
ZEM_LINE_TOKEN=$(cat token) "$wine_run" "$zemcli" --count 1 --results res.jsonl --line "$url" \
  s.bin COM99 115200 > out5.txt 2>&1 &
station_pid=$!
python3 - "$url" "$(cat viewer)" > live.txt 2>&1 <<'PY' || fail "no live state of the station: $(cat live.txt out5.txt)"
import json, sys, time, urllib.request
q = urllib.request.Request(sys.argv[1] + "/api/v1/live?once=1",
                           headers={"Authorization": "Bearer " + sys.argv[2]})
for _ in range(120):
    view = json.load(urllib.request.urlopen(q))
    station = [s for s in view["stations"] if s["name"] == "winpc"][0]
    if station["ports"] and not station["stale"]:
        break
    time.sleep(0.5)
assert station["ports"] and station["ports"][0]["name"] == "COM99", station
assert station["job"] == "win-job", station
PY
kill "$station_pid" 2>/dev/null
wait "$station_pid" 2>/dev/null

[ "$failed" -eq 0 ] || { cat service.log; exit 1; }
echo "passed: zemcli.exe's forwarder to zem-line"
