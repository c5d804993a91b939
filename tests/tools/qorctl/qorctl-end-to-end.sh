#!/usr/bin/env bash
# qor-sim and qorctl as a user runs them: discover three simulated targets, re-address one,
# provision 64, and check exit statuses. Must run inside scripts/netns-run.
# Usage: qorctl-end-to-end.sh QOR_SIM QORCTL TEST_DIR [RUNNER]
# RUNNER (wine) starts the programs when they are Windows ones: there lines end in CR LF, which
# are read as LF, and qor-sim is stopped with Ctrl-C (SIGINT), as SIGTERM ends a Windows
# program at once.
set -uo pipefail
sim_program=$1 ctl_program=$2 here=$3 runner=${4:-}
stop=TERM
[ -n "$runner" ] && stop=INT
ctl() { $runner "$ctl_program" "$@"; }
text() { tr -d '\r' <"$1"; }
scripts=$here/data/scripts
golden=$here/golden
work=$(mktemp -d)

# shellcheck source=../../common/checks.sh
source "${BASH_SOURCE%/*}/../../common/checks.sh"

$runner "$sim_program" --targets 3 --unassigned 1 --trace "$work/trace.jsonl" --env 'e=' \
  --env 'note=caf\xC3\xA9' >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
trap 'kill $sim_pid ${sim0_pid:-} ${sim64_pid:-} 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  text "$work/sim.out" | grep -qx ready && break
  sleep 0.05
done
check "qor-sim says ready" "ready" "$(text "$work/sim.out")"

ctl discover --scripts "$scripts" --wait 300 >"$work/discover.txt"
check "discover exits 0" 0 $?
diff -u "$golden/discover.txt" <(text "$work/discover.txt") && echo "ok: discover text matches"  \
  || failures=$((failures + 1))

ctl discover --scripts "$scripts" --wait 300 --json >"$work/discover.json"
check "discover --json exits 0" 0 $?
diff -u "$golden/discover.json" <(text "$work/discover.json") && echo "ok: discover json matches" \
  || failures=$((failures + 1))

# Without --scripts the products are named from the script folders, the last of them the
# program's own, where the build puts the examples as it does for qor. (Linux: no script folder
# of the user's or the system's may hide them.)
if [ -z "$runner" ]; then
  (export HOME="$work/home" XDG_DATA_HOME="" XDG_DATA_DIRS="$work/none"; ctl discover --wait 300 --json) \
    >"$work/beside.json"
else
  ctl discover --wait 300 --json >"$work/beside.json"
fi
check "discover names products from the examples beside the program" 3 \
  "$(grep -c '"product_name": "QOR Demo Board"' "$work/beside.json")"

# qor-sim's --env takes an empty value and escapes; qorctl env shows them as they are.
block=(--at 0xF00000 --length 0x1000 --wait 300)
ctl env show 02:00:00:00:00:01 "${block[@]}" >"$work/env.txt"
check "env show exits 0" 0 $?
check "env show lists the variables, the empty and the escaped one too" \
  "Environment block of 02:00:00:00:00:01 at 00F00000, 4096 bytes: valid, 6 variables
bootdelay=3
e=
ipaddr=127.0.0.10
netmask=255.0.0.0
note=caf\xC3\xA9
serial=SIM00001" "$(text "$work/env.txt")"
# A second backup replaces the first; the file then matches the target.
(cd "$work" && ctl env backup 02:00:00:00:00:01 "${block[@]}" >/dev/null &&
  ctl env backup 02-00-00-00-00-01 "${block[@]}" >/dev/null)
check "env backup twice to the same file exits 0" 0 $?
# Relative: under wine a first argument that begins with '/' would be read as an option.
(cd "$work" && ctl env diff 02:00:00:00:00:01 02-00-00-00-00-01.env "${block[@]}" >diff.txt)
check "env diff against the backup exits 0" 0 $?
check "and prints nothing" "" "$(text "$work/diff.txt")"

ctl assign 02:00:00:00:00:03 127.0.0.42 --verify --wait 1000 >"$work/assign.out"
check "assign --verify exits 0" 0 $?
check "assign --verify says" "02:00:00:00:00:03 now answers at 127.0.0.42." "$(text "$work/assign.out")"
ctl discover --wait 300 --json --scripts "$scripts" >"$work/after.json"
check "the re-addressed target reports its address" 1 "$(grep -c '"ip": "127.0.0.42"' "$work/after.json")"

ctl assign 02:00:00:00:00:09 127.0.0.43 --verify --wait 300 >/dev/null 2>"$work/missing.err"
check "assign to no target exits 1" 1 $?
check "its message" "02:00:00:00:00:09 did not answer the discovery; --force sends the address all the same." "$(text "$work/missing.err")"
ctl assign 02:00:00:00:00:09 127.0.0.43 --force --verify --wait 300 >/dev/null 2>"$work/missing.err"
check "assign --force --verify to no target exits 1" 1 $?
check "its messages" "02:00:00:00:00:09 did not answer the discovery; sending the address all the same (--force).
02:00:00:00:00:09 did not answer a discovery within 300 ms." "$(text "$work/missing.err")"

ctl assign not-a-mac 127.0.0.42 >/dev/null 2>"$work/usage.err"
check "malformed MAC exits 2" 2 $?
check "malformed MAC message is one line and a hint" 2 "$(wc -l <"$work/usage.err")"
check "the hint" 1 "$(grep -c -- "--help" "$work/usage.err")"
ctl assign 02:00:00:00:00:01 127.0.0.256 >/dev/null 2>&1
check "malformed address exits 2" 2 $?
ctl discover --bogus >/dev/null 2>&1
check "unknown option exits 2" 2 $?
ctl discover --broadcast 127.0.0 >/dev/null 2>&1
check "malformed broadcast address exits 2" 2 $?

kill -$stop $sim_pid
wait $sim_pid
check "qor-sim stops cleanly on SIG$stop" 0 $?
# Nobody answers now: an empty list, and still success.
ctl discover --wait 100 --json >"$work/none.json"
check "an empty discovery exits 0" 0 $?
check "an empty discovery lists []" "[]" "$(text "$work/none.json")"
check "an empty discovery says so" "No targets answered within 100 ms." "$(ctl discover --wait 100 | tr -d '\r')"

check "the trace saw the assignment" 1 "$(grep -c '"type":"AssignAddressRequest".*"event":"handled"' "$work/trace.jsonl")"

# --first-ip 0, as its help says, starts every target without an address.
$runner "$sim_program" --targets 2 --first-ip 0 >"$work/sim0.out" 2>"$work/sim0.err" &
sim0_pid=$!
for _ in $(seq 100); do
  text "$work/sim0.out" | grep -qx ready && break
  kill -0 $sim0_pid 2>/dev/null || break
  sleep 0.05
done
check "qor-sim --first-ip 0 says ready" "ready" "$(text "$work/sim0.out")"
check "both of its targets are unassigned" 2 \
  "$(ctl discover --wait 300 --json | grep -c '"ip": "Unassigned"')"
kill -$stop $sim0_pid 2>/dev/null
wait $sim0_pid

# provision: 64 targets without an address, each given its own, the image and its own values,
# read back through qor-sim's own state (its dump), not through qorctl.
$runner "$sim_program" --targets 64 --first-ip 0 --dump "$work/state.json" >"$work/sim64.out" \
  2>"$work/sim64.err" &
sim64_pid=$!
for _ in $(seq 100); do
  text "$work/sim64.out" | grep -qx ready && break
  kill -0 $sim64_pid 2>/dev/null || break
  sleep 0.05
done
cat >"$work/line.qor" <<'SCRIPT'
*product 0x1234 1 "QOR Demo Board"
*script 0x1234 1 "Production line"
*section "Firmware"
*download 0x00010000 0x800
S30D000100000102030405060708CD
S30900010600CAFEBABEAF
*section "Settings"
*loadenv 0x00F00000 0x1000
*saveenv 0x00F00000 0x1000
*restart
SCRIPT
{
  echo "serial,hostname"
  for i in $(seq 64); do printf 'SN%04d,unit-%02d\n' "$i" "$i"; done
} >"$work/values.csv"
# Names in the current folder: under wine an argument that begins with / reads as an option.
(cd "$work" && ctl provision line.qor --addresses 127.0.1.1-127.0.1.254 --jobs 8 --count 64 \
  --unit-values values.csv --record line.jsonl --csv line.csv --idle 60 \
  >provision.out 2>provision.err)
check "provision exits 0" 0 $?
check "its last lines" "Stopped: 64 units have passed (--count)" \
  "$(text "$work/provision.out" | tail -2 | head -1)"
check "the record's lines end in LF alone" 0 "$(grep -c $'\r' "$work/line.jsonl")"
check "the CSV's in CR LF" 65 "$(grep -c $'\r$' "$work/line.csv")"
python3 - "$work/line.jsonl" "$work/state.json" >"$work/readback.txt" <<'CHECK'
import json, socket, sys
record, state = sys.argv[1], sys.argv[2]
ends = {}
with open(record, "rb") as lines:
    for line in lines:
        entry = json.loads(line)
        if entry["event"] == "end" and entry["outcome"] == "passed":
            ends[entry["mac"]] = entry
control = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
control.bind(("127.0.0.1", 0))
control.settimeout(10)
control.sendto(b"qor-sim dump 0x10000:0x800", ("127.0.0.1", 5266))
print("dump:", control.recv(100).decode())
targets = json.load(open(state))["targets"]
addresses = {target["ip"] for target in targets if target["ip"].startswith("127.0.1.")}
print("distinct addresses in the range:", len(addresses))
def variables(block):
    entries = bytes.fromhex(block)[4:].split(b"\0")
    return dict(entry.decode().split("=", 1) for entry in entries if b"=" in entry)
same = 0
for target in targets:
    end = ends.get(target["mac"])
    if end is None:
        continue
    env = variables(target["environment"])
    same += (end["ip_after"] == target["ip"] and target["restarts"] == 1
             and target["regions"][0]["crc"] == end["images"][0]["crc32"]
             and env.get("serial") == end["unit_values"]["serial"]
             and env.get("hostname") == end["unit_values"]["hostname"]
             and env.get("bootdelay") == "3")
print("passed, as recorded, image, values and the rest of the table in place:", same)
CHECK
check "read back from the simulator" "dump: dumped
distinct addresses in the range: 64
passed, as recorded, image, values and the rest of the table in place: 64" \
  "$(cat "$work/readback.txt")"
kill -$stop $sim64_pid 2>/dev/null
wait $sim64_pid
# The line manager's summary reads the station's own record.
# Relative: under wine a first argument that begins with '/' would be read as an option.
(cd "$work" && ctl report line.jsonl --json >report.json 2>report.err)
check "report reads the record" "0|64|64|0" "$?|$(python3 -c '
import json, sys
figures = json.load(open(sys.argv[1]))
print(figures["units"], figures["passed"], figures["failed"], sep="|")' "$work/report.json" 2>&1)"

# Without a route the broadcast itself fails: the message, then exit 1.
ip route del default
ctl discover >/dev/null 2>"$work/unreachable.err"
check "a failed broadcast exits 1" 1 $?
check "its message" "Failed sendto: network unreachable" "$(text "$work/unreachable.err")"
ctl assign 02:00:00:00:00:01 127.0.0.9 >/dev/null 2>"$work/unreachable.err"
check "a failed assignment exits 1" 1 $?
check "its message" "Failed sendto: network unreachable" "$(text "$work/unreachable.err")"

finish "end to end"
