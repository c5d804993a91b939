#!/usr/bin/env bash
# A PC with two adapters: two private namespaces, each joined to this one by a veth pair
# (10.71.1.0/24 and 10.71.2.0/24) and each with its own simulated targets. A limited broadcast
# leaves by one interface only; qorctl must reach both subnets without being told, only the
# one --broadcast names when it is, and only the targets behind the adapter --interface names.
# Two more adapters, one down and one without an address, cannot be chosen. Must run inside
# scripts/netns-run: the virtual interfaces made here reach nothing and vanish with the
# namespaces.
# Usage: two-adapters.sh QOR_SIM QORCTL
set -uo pipefail
sim=$1 ctl=$2
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# shellcheck source=../../common/checks.sh
source "${BASH_SOURCE%/*}/../../common/checks.sh"

if [ "$(ip -o link show | wc -l)" -ne 1 ]; then
  echo "not in a private network namespace of loopback alone: refusing to make interfaces" >&2
  exit 1
fi

# subnet N: a namespace behind veth qorN (10.71.N.1 here, 10.71.N.2 there) whose qor-sim serves
# two targets 02:00:00:00:0N:01 and :02 at 127.0.N.10 and 127.0.N.11.
subnet() {
  local n=$1
  ip link add "qor$n" type veth peer name "qor${n}p" || return 1
  ip addr add "10.71.$n.1/24" brd + dev "qor$n"
  ip link set "qor$n" up
  unshare -n bash -c '
    until ip link show "$0" >/dev/null 2>&1; do sleep 0.01; done
    ip link set lo up
    ip addr add "10.71.$1.2/24" dev "$0"
    ip link set "$0" up
    exec "$2" --targets 2 --first-mac "02:00:00:00:0$1:01" --first-ip "127.0.$1.10"' \
    "qor${n}p" "$n" "$sim" >"$work/sim$n.out" 2>"$work/sim$n.err" &
  local pid=$!
  pids+=($pid)
  # Once unshare has made the namespace, the interface's far end moves into it.
  for _ in $(seq 500); do
    kill -0 "$pid" 2>/dev/null || break
    [ "$(readlink "/proc/$pid/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.01
  done
  ip link set "qor${n}p" netns "$pid" || return 1
  for _ in $(seq 200); do
    grep -qx ready "$work/sim$n.out" && return 0
    sleep 0.05
  done
  cat "$work/sim$n.err" >&2
  return 1
}

subnet 1 && subnet 2
check "both subnets' simulators say ready" "ready ready" "$(cat "$work/sim1.out" "$work/sim2.out" | xargs)"

macs() { grep -o '"mac": "[^"]*"' | cut -d'"' -f4 | sort | xargs; }
all="02:00:00:00:01:01 02:00:00:00:01:02 02:00:00:00:02:01 02:00:00:00:02:02"

"$ctl" discover --wait 500 --json >"$work/all.json"
check "discover exits 0" 0 $?
check "discover without --broadcast lists the targets behind both adapters" "$all" \
  "$(macs <"$work/all.json")"
check "each target once" 4 "$(grep -c '"mac"' "$work/all.json")"
check "with the address it announces" 1 "$(grep -c '"ip": "127.0.2.11"' "$work/all.json")"

"$ctl" discover --wait 500 --json --broadcast 10.71.1.255 >"$work/one.json"
check "--broadcast 10.71.1.255 reaches that subnet alone" \
  "02:00:00:00:01:01 02:00:00:00:01:02" "$(macs <"$work/one.json")"
"$ctl" discover --wait 500 --json --broadcast 255.255.255.255 >"$work/limited.json"
check "a limited broadcast alone leaves by neither adapter here" "" "$(macs <"$work/limited.json")"

"$ctl" assign 02:00:00:00:02:01 127.0.2.42 --verify >"$work/assign.out" 2>&1
check "assign reaches a target behind the second adapter" \
  "02:00:00:00:02:01 now answers at 127.0.2.42." "$(cat "$work/assign.out")"
"$ctl" assign 02:00:00:00:01:02 127.0.1.42 --verify >"$work/assign.out" 2>&1
check "and one behind the first" \
  "02:00:00:00:01:02 now answers at 127.0.1.42." "$(cat "$work/assign.out")"

# --force sends it all the same, to show that the other subnet's broadcast cannot reach it.
"$ctl" assign 02:00:00:00:01:01 127.0.1.43 --broadcast 10.71.2.255 --force --verify --wait 500 \
  >/dev/null 2>"$work/other.err"
check "assign --broadcast to the other subnet does not reach the target" 1 $?
check "its messages" "02:00:00:00:01:01 did not answer the discovery; sending the address all the same (--force).
02:00:00:00:01:01 did not answer a discovery within 500 ms." \
  "$(cat "$work/other.err")"
"$ctl" discover --wait 500 --json >"$work/after.json"
check "the target keeps its address" 1 "$(grep -c '"ip": "127.0.1.10"' "$work/after.json")"


# --interface: through one adapter alone, broadcasts and answers.
"$ctl" discover --wait 500 --json --interface qor2 >"$work/qor2.json"
check "discover --interface qor2 exits 0" 0 $?
check "and reaches only the targets behind qor2" \
  "02:00:00:00:02:01 02:00:00:00:02:02" "$(macs <"$work/qor2.json")"
"$ctl" discover --wait 500 --json --interface qor1 >"$work/qor1.json"
check "--interface qor1 only those behind qor1" \
  "02:00:00:00:01:01 02:00:00:00:01:02" "$(macs <"$work/qor1.json")"
"$ctl" discover --wait 500 --json --interface qor1 --broadcast 10.71.2.255 >"$work/across.json"
check "a broadcast aimed at qor2's subnet does not leave by qor1" "" "$(macs <"$work/across.json")"
"$ctl" assign 02:00:00:00:02:02 127.0.2.43 --interface qor2 --verify --wait 1000 \
  >"$work/assign.out" 2>&1
check "assign --interface qor2 --verify reaches a target behind it" \
  "02:00:00:00:02:02 now answers at 127.0.2.43." "$(cat "$work/assign.out")"

# Adapters that cannot be chosen: qor3 is down (with an address), qor4, its peer, is switched
# on but has no carrier, qor5 and qor6 are up without an address.
ip link add qor3 type veth peer name qor4 && ip addr add 10.71.3.1/24 brd + dev qor3
ip link add qor5 type veth peer name qor6
for name in qor4 qor5 qor6; do ip link set "$name" up; done
echo '*section "Nothing to do"' >"$work/x.QOR"
usable="adapters that are up with an IPv4 address: lo, qor1, qor2"
# In the order the system lists them (a veth pair's second name comes first).
every=$(ip -o link show | cut -d: -f2 | cut -d@ -f1 | xargs | sed 's/ /, /g')
check "the adapters here" "lo, qor1, qor2, qor3, qor4, qor5, qor6" "$(tr ',' '\n' <<<"$every" | tr -d ' ' | sort | xargs | sed 's/ /, /g')"
for row in "qor9|No adapter is named \"qor9\"; the adapters are: $every" \
           "qor3|Adapter \"qor3\" is down; $usable" \
           "qor4|Adapter \"qor4\" is down (no carrier); $usable" \
           "qor5|Adapter \"qor5\" has no IPv4 address; $usable"; do
  name=${row%%|*} expected=${row#*|}
  for command in discover "assign 02:00:00:00:01:01 127.0.1.44" "run $work/x.QOR --all"; do
    "$ctl" $command --interface "$name" >"$work/bad.out" 2>"$work/bad.err"
    check "$command --interface $name exits 1" 1 $?
    check "$command --interface $name says why, naming the adapters" "$expected" \
      "$(cat "$work/bad.err")"
  done
done

# qorctl adapters against what ip shows: each adapter's state, and each IPv4 address with its
# prefix and broadcast.
"$ctl" adapters --json >"$work/adapters.json"
check "adapters --json exits 0" 0 $?
ours=$(python3 -c '
import json, sys
for adapter in json.load(sys.stdin):
    print(adapter["name"], adapter["state"].replace(" ", "-"))
    for a in adapter["addresses"]:
        print(adapter["name"], "%s/%d" % (a["address"], a["prefix"]), a["broadcast"] or "-")
' <"$work/adapters.json" | sort)
theirs=$( (ip -o link show | sed -E 's/^[0-9]+: ([^:@]+)[^<]*<([^>]*)>.*/\1 \2/' | while read -r n f; do
            case ",$f," in
              *,UP,*LOWER_UP*|*LOWER_UP*,UP,*) echo "$n up" ;;
              *,UP,*) echo "$n no-carrier" ;;
              *) echo "$n down" ;;
            esac
          done
          ip -o -4 addr show | awk '{b = "-"; for (i = 1; i < NF; i++) if ($i == "brd") b = $(i + 1);
                                     print $2, $4, b}') | sort)
check "adapters lists what ip shows" "$theirs" "$ours"
"$ctl" adapters >"$work/adapters.txt"
check "the table has a line per address, and one for each adapter without" \
  "Adapter State Can broadcast Address Netmask Broadcast|lo up no 127.0.0.1/8 255.0.0.0 -|qor1 up yes 10.71.1.1/24 255.255.255.0 10.71.1.255|qor2 up yes 10.71.2.1/24 255.255.255.0 10.71.2.255|qor3 down yes 10.71.3.1/24 255.255.255.0 10.71.3.255|qor4 no carrier yes - - -|qor5 up yes - - -|qor6 up yes - - -" \
  "$( (head -1 "$work/adapters.txt" | tr -s " "; tail -n +2 "$work/adapters.txt" | tr -s " " | sort) | paste -sd"|")"

finish "two adapters"
