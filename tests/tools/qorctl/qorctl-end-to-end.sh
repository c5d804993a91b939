#!/usr/bin/env bash
# qor-sim and qorctl as a user runs them: discover three simulated targets, re-address one,
# and check exit statuses. Must run inside scripts/netns-run.
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

$runner "$sim_program" --targets 3 --unassigned 1 --trace "$work/trace.jsonl" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
trap 'kill $sim_pid ${sim0_pid:-} 2>/dev/null; rm -rf "$work"' EXIT
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

# Without a route the broadcast itself fails: the message, then exit 1.
ip route del default
ctl discover >/dev/null 2>"$work/unreachable.err"
check "a failed broadcast exits 1" 1 $?
check "its message" "Failed sendto: network unreachable" "$(text "$work/unreachable.err")"
ctl assign 02:00:00:00:00:01 127.0.0.9 >/dev/null 2>"$work/unreachable.err"
check "a failed assignment exits 1" 1 $?
check "its message" "Failed sendto: network unreachable" "$(text "$work/unreachable.err")"

finish "end to end"
