#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: qor_address
short_description: Give a QOR target an IP address, or the next free one of a pool
version_added: "1.0.0"
description:
  - Makes the target with the given MAC answer at a given address, or at an address of a pool,
    with C(qorctl assign --json) on the site's gateway.
  - With C(pool), a target that already holds an address of the pool that no other target
    holds keeps it; any other gets the lowest address of the pool that no answering target
    holds. The choice is qorctl's, so the station and the command line choose alike.
  - Nothing is sent to a target that already answers at the address, and the task reports
    C(changed) only when an address was sent.
  - Refuses, with qorctl's text, an address another target holds (unless C(force)), a MAC that
    did not answer the discovery, and addresses no target can take.
extends_documentation_fragment:
  - qor.lan.qorctl
options:
  mac:
    description: The target's MAC address, for example C(00:1A:2B:3C:4D:5E).
    type: str
    required: true
  address:
    description: The address the target must have. Not with C(pool).
    type: str
  pool:
    description:
      - A range C(FIRST-LAST), both ends included, to take the address from. Not with
        C(address).
    type: str
  verify:
    description: After sending, discover again and fail unless the target reports the address.
    type: bool
    default: true
  force:
    description:
      - Send the address even when another target holds it, or the target already answers at
        it.
    type: bool
    default: false
attributes:
  check_mode:
    support: full
    details: Chooses and checks the address as ever (C(qorctl assign --dry-run)); sends nothing.
  diff_mode:
    support: full
author:
  - QOR developers
"""

EXAMPLES = r"""
- name: Give every unaddressed target of this site an address from the site's pool
  qor.lan.qor_address:
    mac: "{{ item }}"
    pool: 10.71.1.50-10.71.1.99
    interface: lan0
  loop: "{{ ansible_facts.qor_unassigned }}"

- name: One target, one fixed address
  qor.lan.qor_address:
    mac: 02:00:00:00:00:01
    address: 10.71.1.20
"""

RETURN = r"""
mac:
  description: The target's MAC address.
  returned: always
  type: str
  sample: 02:00:00:00:00:03
address:
  description: The address the target has now (in check mode, the one it would get).
  returned: always
  type: str
  sample: 10.71.1.50
before:
  description: The address the target answered at before, or null when it had none.
  returned: always
  type: str
  sample: null
confirmed:
  description: With C(verify), whether a later discovery showed the target at the address.
  returned: when an address was sent
  type: bool
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.qor.lan.plugins.module_utils.qorctl import (
    Qorctl,
    QorctlError,
    network_options,
    network_arguments,
)


def main():
    module = AnsibleModule(
        argument_spec=network_options(
            mac=dict(type="str", required=True),
            address=dict(type="str"),
            pool=dict(type="str"),
            verify=dict(type="bool", default=True),
            force=dict(type="bool", default=False),
        ),
        mutually_exclusive=[("address", "pool")],
        required_one_of=[("address", "pool")],
        supports_check_mode=True,
    )
    p = module.params
    qorctl = Qorctl(module)
    args = ["assign", p["mac"]]
    args += [p["address"]] if p["address"] else ["--pool", p["pool"]]
    args += ["--json"] + network_arguments(p)
    if module.check_mode:
        args.append("--dry-run")
    else:
        if p["verify"]:
            args.append("--verify")
    if p["force"]:
        args.append("--force")
    try:
        dummy, result, dummy = qorctl.json(args)
    except QorctlError as error:
        qorctl.fail(error, mac=p["mac"])
    changed = bool(result.get("changed"))
    out = dict(changed=changed, mac=result.get("mac"), address=result.get("address"),
               before=result.get("before"))
    if result.get("confirmed") is not None:
        out["confirmed"] = result["confirmed"]
    if module._diff:
        out["diff"] = dict(before="address: %s\n" % (result.get("before") or "none"),
                           after="address: %s\n" % result.get("address"))
    module.exit_json(**out)


if __name__ == "__main__":
    main()
