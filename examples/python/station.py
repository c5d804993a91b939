#!/usr/bin/python3
"""A test station with the qor package: shows the targets on the line, then provisions every
unit that appears (an address from a pool, the script, a line in the record per start and end)
until enough have passed, none has come for a while, or Ctrl-C.

    python3 station.py firmware-update.QOR --addresses 127.0.2.1-127.0.2.20 --count 3

Against simulated targets, in a private network namespace:

    scripts/netns-run sh -c 'qor-sim --targets 3 --first-ip 0 & sleep 0.5;
        python3 examples/python/station.py examples/firmware-update.QOR \\
            --addresses 127.0.2.1-127.0.2.20 --count 3'
"""

import argparse
import sys

import qor


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("script", help="the .QOR script every unit runs")
    parser.add_argument("--addresses", help="give units without an address one of FIRST-LAST")
    parser.add_argument("--count", type=int, help="stop once so many units have passed")
    parser.add_argument("--idle", type=float, default=30.0,
                        help="stop after so many seconds without a new unit (default 30)")
    parser.add_argument("--record", help="the JSON Lines record (default: one a day, here)")
    parser.add_argument("--jobs", type=int, default=4, help="units in flight at most")
    parser.add_argument("--broadcast", help="send broadcasts to this address alone")
    parser.add_argument("--interface", help="send and listen through this adapter alone")
    options = parser.parse_args()

    try:
        script = qor.Script(options.script)
    except qor.ScriptError as error:
        print(error, file=sys.stderr)
        return 1
    for warning in script.warnings:
        print(warning, file=sys.stderr)

    shown = {}

    def progress(mac, operation, status, done, total):
        # One line per unit and section, not per packet.
        if shown.get(mac) != operation:
            shown[mac] = operation
            print(f"{mac}  {operation}")

    def ended(record):
        verdict = "passed" if record["outcome"] == "passed" else record["outcome"]
        why = f": {record['error']}" if record.get("error") else ""
        print(f"{record['mac']}  {verdict} in {record['seconds']:.3f} s at {record.get('ip_after')}"
              f"{why}")

    try:
        with qor.Network(broadcast=options.broadcast, interface=options.interface) as network:
            present = network.discover(wait=1.0, script=script)
            print(f"{len(present)} target(s) on the line:")
            for target in present:
                print(f"  {target.mac}  {target.ip or 'Unassigned'}  "
                      f"{target.product_name or 'another product'}")
            summary = network.provision(
                script, addresses=options.addresses, count=options.count, idle=options.idle,
                record=options.record, jobs=options.jobs, progress=progress, on_unit=ended,
                on_note=lambda text: print(text, file=sys.stderr))
    except KeyboardInterrupt:
        print("Cancelled", file=sys.stderr)
        return 130
    except qor.Error as error:
        print(error, file=sys.stderr)
        return 1

    print(f"Stopped ({summary['stop']}): {summary['passed']} passed, {summary['failed']} failed, "
          f"{summary['cancelled']} cancelled; recorded in {summary['record']}")
    return 0 if summary["all_passed"] else 1


if __name__ == "__main__":
    sys.exit(main())
