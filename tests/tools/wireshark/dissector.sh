#!/usr/bin/env bash
# The Wireshark dissector on a capture this test makes: qor-sim and qorctl talk over loopback
# (discover, assign, a download with progress, an environment read and write, restarts the
# target refuses, and one message cut short) while dumpcap records; tshark with the dissector
# must then name every message type and field, link each request to its replies, and flag the
# failures. Must run inside scripts/netns-run.
# Usage: dissector.sh DISSECTOR QOR_SIM QORCTL EXAMPLES
set -uo pipefail
lua=$1 sim=$2 ctl=$3 examples=$4
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
# shellcheck source=../../common/checks.sh
source "${BASH_SOURCE%/*}/../../common/checks.sh"
wait_for() {  # wait_for FILE TEXT
  for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

capture=$work/qor.pcapng
dumpcap -q -i lo -f "udp port 5266" -w "$capture" 2>"$work/dumpcap.err" &
dumpcap_pid=$!
pids+=($dumpcap_pid)
wait_for "$work/dumpcap.err" "Capturing on" || { cat "$work/dumpcap.err"; exit 1; }
"$sim" --targets 2 --unassigned 1 --progress 2 --fail restart=7 >"$work/sim.out" 2>/dev/null &
pids+=($!)
wait_for "$work/sim.out" ready || exit 1

"$ctl" discover --wait 300 >/dev/null
"$ctl" assign 02:00:00:00:00:02 127.0.0.20 >/dev/null
"$ctl" run "$examples/firmware-update.QOR" --target 02:00:00:00:00:01 --wait 300 >/dev/null 2>&1
"$ctl" run "$examples/network-settings.QOR" --target 02:00:00:00:00:01 --wait 300 >/dev/null 2>&1
# A FinalReply cut short after six bytes.
printf '\x00\x01\x80\x02\x02\x00' >/dev/udp/127.0.0.1/5266
sleep 0.3
kill -INT $dumpcap_pid
wait $dumpcap_pid

shark() { tshark -2 -n -r "$capture" -X lua_script:"$lua" "$@" 2>>"$work/tshark.err"; }
# One row per frame: the dissector's fields by name, empty where a message has none.
fields=(frame.number _ws.col.Info qor qor.type qor.version qor.mac qor.ip qor.vendor qor.product
        qor.staging qor.request_id qor.fill qor.length qor.offset qor.data_length qor.address
        qor.crc qor.status qor.payload_length qor.progress qor.response_in qor.request_in)
shark -T fields -E header=y -E separator=/t -E occurrence=f $(printf -- '-e %s ' "${fields[@]}") \
  >"$work/fields.tsv"
check "the dissector loads without a Lua error" "" "$(grep -i 'lua' "$work/tshark.err")"
check "expert info on each refused restart" 2 \
  "$(shark -Y 'qor.status.failure' -T fields -e frame.number | wc -l)"
check "and on the message cut short" "FinalReply [truncated]" \
  "$(shark -Y 'qor.truncated' -T fields -e _ws.col.Info)"

python3 - "$work/fields.tsv" >"$work/checks.txt" 2>&1 <<'PYTHON' || echo "FAILED: the checks ended early" >>"$work/checks.txt"
import csv, sys
frames = list(csv.DictReader(open(sys.argv[1]), delimiter="\t"))
by_number = {f["frame.number"]: f for f in frames}
def check(what, expected, actual):
    print(("ok: %s" if expected == actual else "FAILED: %s: expected [%s], got [%s]")
          % ((what,) if expected == actual else (what, expected, actual)))
def first(type_, *names, where=lambda f: True):
    for f in frames:
        if f["qor.type"] == type_ and where(f):
            return " ".join(f[n] for n in names)
    return None

check("every frame is QOR", len(frames), sum(1 for f in frames if f["qor"] != ""))
check("all ten message types, by name",
      "AssignAddressRequest DataRequest DiscoverReply DiscoverRequest FillRequest FinalReply "
      "ProgressReply ReadRequest RestartRequest WriteRequest",
      " ".join(sorted({f["_ws.col.Info"].split()[0] for f in frames})))
check("DiscoverReply: version, MAC as a MAC, address dotted, IDs, staging",
      "1 02:00:00:00:00:01 127.0.0.10 0x1234 0x0001 1048576",
      first("0x8001", "qor.version", "qor.mac", "qor.ip", "qor.vendor", "qor.product", "qor.staging"))
check("AssignAddressRequest: the MAC and the new address", "02:00:00:00:00:02 127.0.0.20",
      first("0x0002", "qor.mac", "qor.ip"))
check("FillRequest: request id, fill value, length", "41 0xffffffff 8192",
      first("0x0003", "qor.request_id", "qor.fill", "qor.length"))
check("DataRequest: staging offset and data length", "0x00000400 1024",
      first("0x0004", "qor.offset", "qor.data_length", where=lambda f: f["qor.offset"] == "0x00000400"))
check("WriteRequest: address, length and a CRC", "0x00020000 8192 True",
      " ".join(first("0x0005", "qor.address", "qor.length").split()
               + [str(first("0x0005", "qor.crc").startswith("0x"))]))
check("ReadRequest: address and length", "0x00f00000 1024", first("0x0007", "qor.address", "qor.length"))
check("RestartRequests: their request ids", 2,
      sum(1 for f in frames if f["qor.type"] == "0x0008" and f["qor.request_id"].isdigit()))
check("FinalReply to a read: status and the bytes read", "0 1024",
      first("0x8002", "qor.status", "qor.payload_length", where=lambda f: f["qor.payload_length"] == "1024"))
check("ProgressReply: the progress value", "0x00020000", first("0x8003", "qor.progress"))

# Each request with an id names its FinalReply, which names it back with the same MAC and id.
requests = [f for f in frames if f["qor.request_id"] and f["qor.type"] < "0x8000"]
linked = [f for f in requests if f["qor.response_in"]
          and by_number[f["qor.response_in"]]["qor.request_in"] == f["frame.number"]
          and by_number[f["qor.response_in"]]["qor.type"] == "0x8002"
          and all(by_number[f["qor.response_in"]][n] == f[n] for n in ("qor.mac", "qor.request_id"))]
check("every request with an id is linked both ways to its FinalReply", len(requests), len(linked))
progress = [f for f in frames if f["qor.type"] == "0x8003"]
check("progress replies name their WriteRequest", ["0x0005"] * len(progress),
      [by_number.get(f["qor.request_in"], {}).get("qor.type") for f in progress])
# Request ids start afresh with each run of qorctl: a reply must find its own run's request.
check("ids repeat from run to run, and each reply still finds its own request", "0x0007",
      by_number.get(first("0x8002", "qor.request_in",
                          where=lambda f: f["qor.payload_length"] == "1024"), {}).get("qor.type"))
PYTHON
cat "$work/checks.txt"
failures=$((failures + $(grep -c '^FAILED' "$work/checks.txt")))

finish "dissector"
