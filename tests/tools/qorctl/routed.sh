#!/usr/bin/env bash
# Targets behind a router: this namespace is a PC on a "near" LAN (10.71.3.0/24), a router
# namespace with IP forwarding joins it to a "far" LAN (10.71.4.0/24) whose namespace holds the
# simulated targets, each at an address of that LAN. No broadcast crosses the router, so only a
# discovery sent to each address of the far range finds them; a script then runs on one of them
# through the router. Must run inside scripts/netns-run: the virtual interfaces made here reach
# nothing and vanish with the namespaces.
# Usage: routed.sh QOR_SIM QORCTL EXAMPLES_DIR
set -uo pipefail
sim=$1 ctl=$2 examples=$3
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# shellcheck source=../../common/checks.sh
source "${BASH_SOURCE%/*}/../../common/checks.sh"

if [ "$(ip -o link show | wc -l)" -ne 1 ]; then
  echo "not in a private network namespace of loopback alone: refusing to make interfaces" >&2
  exit 1
fi

# namespace NAME SCRIPT ARGS...: runs SCRIPT (bash, with ARGS) in a new network namespace whose
# output goes to $work/NAME.out and .err; its pid is $last_pid once the namespace exists.
namespace() {
  local name=$1
  shift
  unshare -n bash -c "$@" >"$work/$name.out" 2>"$work/$name.err" &
  last_pid=$!
  pids+=("$last_pid")
  for _ in $(seq 500); do
    kill -0 "$last_pid" 2>/dev/null || return 1
    [ "$(readlink "/proc/$last_pid/ns/net")" != "$(readlink /proc/self/ns/net)" ] && return 0
    sleep 0.01
  done
  return 1
}
ready() {  # ready NAME: until the namespace's process says ready
  for _ in $(seq 200); do
    grep -qx ready "$work/$1.out" && return 0
    sleep 0.05
  done
  cat "$work/$1.err" >&2
  return 1
}

# Two veth pairs: qnear (here) to qrnear (router); qrfar (router) to qfar (far).
ip link add qnear type veth peer name qrnear
ip link add qrfar type veth peer name qfar
ip addr add 10.71.3.2/24 brd + dev qnear
ip link set qnear up

namespace router '
  until ip link show qrnear >/dev/null 2>&1 && ip link show qrfar >/dev/null 2>&1; do
    sleep 0.01
  done
  ip link set lo up
  ip addr add 10.71.3.1/24 brd + dev qrnear
  ip addr add 10.71.4.1/24 brd + dev qrfar
  ip link set qrnear up
  ip link set qrfar up
  echo 1 >/proc/sys/net/ipv4/ip_forward
  echo ready
  exec sleep 600'
ip link set qrnear netns "$last_pid" && ip link set qrfar netns "$last_pid"

# The far LAN's host holds 10.71.4.2 and each target's own address, .10 to .12 (and .20, which
# one of them is given below), so that what is sent to a target's address reaches it there.
namespace far '
  until ip link show qfar >/dev/null 2>&1; do sleep 0.01; done
  ip link set lo up
  for host in 2 10 11 12 20; do ip addr add "10.71.4.$host/24" brd + dev qfar; done
  ip link set qfar up
  ip route add default via 10.71.4.1
  exec "$0" --targets 3 --first-mac 02:00:00:00:04:01 --first-ip 10.71.4.10 --trace "$1"' \
  "$sim" "$work/far.jsonl"
ip link set qfar netns "$last_pid"

ready router && ready far
check "the router and the far LAN's simulator say ready" "ready ready" \
  "$(cat "$work/router.out" "$work/far.out" | xargs)"
ip route add 10.71.4.0/24 via 10.71.3.1

macs() { grep -o '"mac": "[^"]*"' | cut -d'"' -f4 | sort | xargs; }
far="02:00:00:00:04:01 02:00:00:00:04:02 02:00:00:00:04:03"

"$ctl" discover --wait 300 --json >"$work/broadcast.json"
check "broadcasting alone exits 0" 0 $?
check "and finds nobody: no broadcast crosses the router" "" "$(macs <"$work/broadcast.json")"
check "the far LAN heard no discovery at all" 0 \
  "$(grep -c '"type": *"DiscoverRequest"' "$work/far.jsonl")"

"$ctl" discover --range 10.71.4.0/24 --wait 300 --json >"$work/range.json"
check "discover --range 10.71.4.0/24 exits 0" 0 $?
check "and finds the targets behind the router" "$far" "$(macs <"$work/range.json")"
check "each once" 3 "$(grep -c '"mac"' "$work/range.json")"
check "at their own far addresses" 3 "$(grep -cE '"ip": "10\.71\.4\.1[0-2]"' "$work/range.json")"
check "the far LAN heard the discovery once at each of its five addresses" \
  "10.71.4.10 10.71.4.11 10.71.4.12 10.71.4.2 10.71.4.20" \
  "$(grep '"type":"DiscoverRequest"' "$work/far.jsonl" | grep -o '"to":"[0-9.]*' | cut -d'"' -f4 | \
     sort | xargs)"

"$ctl" discover --range 10.71.4.11/32 --wait 300 --csv --scripts "$examples" >"$work/one.csv"
check "a range of one address finds the target there alone, as a CSV inventory" \
  "mac,ip,vendor,product,staging,product_name|02:00:00:00:04:02,10.71.4.11,4660,1,1048576,QOR Demo Board" \
  "$(tr -d '\r' <"$work/one.csv" | paste -sd'|')"

"$ctl" discover --range 10.71.4.0/15 >/dev/null 2>"$work/large.err"
check "a range larger than a /16 is a usage error" 2 $?
check "that says so" \
  "qorctl discover: --range: 10.70.0.0/15 holds 131072 addresses; a range may be at most a /16 (65536 addresses)" \
  "$(head -1 "$work/large.err")"

"$ctl" run "$examples/firmware-update.QOR" --range 10.71.4.0/24 --target 02:00:00:00:04:03 \
  --verify --json --wait 2000 --trace "$work/run.jsonl" >"$work/run.json" 2>"$work/run.err"
check "run --range --target exits 0" 0 $?
check "the firmware update ran on the far target and read back the same" 1 \
  "$(grep -c '"mac":"02:00:00:00:04:03","ok":true' "$work/run.json")"
check "its write went to the target's far address, and was carried out" 1 \
  "$(grep '"dir":"in","from":"10.71.3.2:[0-9]*","to":"10.71.4.12:5266","type":"WriteRequest"' \
     "$work/far.jsonl" | grep -c '"event":"handled"')"

replies=$(grep -c '"dir":"in".*"type":"FinalReply"' "$work/run.jsonl")
own=$(grep -c '"dir":"in","from":"10.71.4.12:5266".*"type":"FinalReply"' "$work/run.jsonl")
check "the target answered from its own address, as a device does" "yes" \
  "$([ "$replies" -gt 0 ] && [ "$own" -eq "$replies" ] && echo yes || echo "$own of $replies")"

"$ctl" assign 02:00:00:00:04:01 10.71.4.20 --range 10.71.4.0/24 --verify --wait 2000 \
  >"$work/assign.out" 2>&1
check "assign --range --verify gives a far target a new address across the router" \
  "02:00:00:00:04:01 now answers at 10.71.4.20." "$(cat "$work/assign.out")"

check "no discovery reached the far LAN by broadcast" 0 \
  "$(grep '"type":"DiscoverRequest"' "$work/far.jsonl" | \
     grep -cE '"to":"(10\.71\.4\.255|255\.255\.255\.255):')"

finish "routed"
