#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: qor_provision
short_description: Run the QOR production station on a site
version_added: "1.0.0"
description:
  - Runs C(qorctl provision --json) on the site's gateway, which watches the network and takes
    every target that appears through the same steps (an address from a pool or a map, the
    script, the unit's own values), keeping a record it resumes from.
  - Units the record holds as passed with the same script are passed over, so that the task
    changes nothing when run again with the same record.
  - Give it an end, C(count) or C(idle), or it runs until the task's own time limit.
extends_documentation_fragment:
  - qor.lan.qorctl
options:
  script:
    description: The .QOR script to run on every unit, on the gateway.
    type: path
    required: true
  record:
    description: The record to write and resume from, on the gateway.
    type: path
    required: true
  addresses:
    description: Give units without an address one from this range C(FIRST-LAST).
    type: str
  address_map:
    description: Give each unit the address its MAC has in this CSV file of C(mac,ip) lines.
    type: path
  readdress:
    description: Give every unit an address from the pool, also one that has an address.
    type: bool
    default: false
  unit_values:
    description: A CSV file of each unit's own environment variables.
    type: path
  product:
    description: Only targets of this product C(VID:PID).
    type: str
  force:
    description: Take targets of any product.
    type: bool
    default: false
  jobs:
    description: Units in flight at most.
    type: int
  count:
    description: Stop once this many units have passed, those of the record included.
    type: int
  idle:
    description: Stop after this many seconds without a new unit.
    type: float
  again:
    description: Run the units the record holds as passed once more.
    type: bool
    default: false
  retry_failed:
    description: Run the units the record holds as failed again.
    type: bool
    default: false
  retries:
    description: Try a unit that fails up to this many more times.
    type: int
  verify:
    description: Read downloaded images back after their write (qorctl does unless told not to).
    type: bool
    default: true
  allow_unsigned:
    description: Run a script that no trusted key signed.
    type: bool
    default: false
attributes:
  check_mode:
    support: none
  diff_mode:
    support: none
author:
  - QOR developers
"""

EXAMPLES = r"""
- name: Provision the units of this site's line until ten have passed
  qor.lan.qor_provision:
    script: /srv/qor/firmware.qor
    record: /var/lib/qor/line-1.jsonl
    addresses: 10.71.1.100-10.71.1.199
    count: 10
    idle: 600
"""

RETURN = r"""
units:
  description: The end record of every unit this task ran, as the record holds them.
  returned: always
  type: list
  elements: dict
passed:
  description: The MAC addresses of the units that passed in this task.
  returned: always
  type: list
  elements: str
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.qor.lan.plugins.module_utils.qorctl import (
    Qorctl,
    QorctlError,
    network_options,
    network_arguments,
    parse_json_lines,
)


def main():
    module = AnsibleModule(
        argument_spec=network_options(
            script=dict(type="path", required=True),
            record=dict(type="path", required=True),
            addresses=dict(type="str"),
            address_map=dict(type="path"),
            readdress=dict(type="bool", default=False),
            unit_values=dict(type="path"),
            product=dict(type="str"),
            force=dict(type="bool", default=False),
            jobs=dict(type="int"),
            count=dict(type="int"),
            idle=dict(type="float"),
            again=dict(type="bool", default=False),
            retry_failed=dict(type="bool", default=False),
            retries=dict(type="int"),
            verify=dict(type="bool", default=True),
            allow_unsigned=dict(type="bool", default=False),
        ),
        mutually_exclusive=[("addresses", "address_map")],
        supports_check_mode=False,
    )
    p = module.params
    qorctl = Qorctl(module)
    args = ["provision", p["script"], "--record", p["record"], "--json"] + network_arguments(p)
    for option, name in (("--addresses", "addresses"), ("--address-map", "address_map"),
                         ("--unit-values", "unit_values"), ("--product", "product"),
                         ("--jobs", "jobs"), ("--count", "count"), ("--retries", "retries")):
        if p[name] is not None:
            args += [option, str(p[name])]
    if p["idle"] is not None:
        args += ["--idle", "%g" % p["idle"]]
    for flag, name in (("--readdress", "readdress"), ("--force", "force"), ("--again", "again"),
                       ("--retry-failed", "retry_failed"),
                       ("--allow-unsigned", "allow_unsigned")):
        if p[name]:
            args.append(flag)
    if not p["verify"]:
        args.append("--no-verify")
    try:
        rc, out, err = qorctl.run(args, ok=(0, 1))
    except QorctlError as error:
        qorctl.fail(error)
    units = parse_json_lines(out)
    passed = [unit["mac"] for unit in units if unit.get("outcome") == "passed"]
    result = dict(changed=bool(units), units=units, passed=passed)
    if rc != 0:
        failed = ["%s: %s" % (unit.get("mac"), unit.get("error")) for unit in units
                  if unit.get("outcome") != "passed"]
        lines = [line for line in err.splitlines() if line.strip()]
        module.fail_json(msg="\n".join(failed or lines[-3:] or ["qorctl provision failed"]),
                         **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
