#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: qor_facts
short_description: Discover the QOR targets of a site as facts
version_added: "1.0.0"
description:
  - Broadcasts a discovery from the site's gateway with C(qorctl discover --json) and returns
    every target that answered as the fact C(qor_targets).
  - Reads only; nothing is written to any target.
extends_documentation_fragment:
  - qor.lan.qorctl
options:
  scripts:
    description:
      - A folder of .QOR scripts on the gateway whose C(*product) entries name the products
        found (the C(product_name) of each target).
    type: path
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
author:
  - QOR developers
"""

EXAMPLES = r"""
- name: Find the targets of this site
  qor.lan.qor_facts:
    interface: lan0
    wait: 2000

- name: Show the ones without an address
  ansible.builtin.debug:
    msg: "{{ ansible_facts.qor_targets | selectattr('ip', 'equalto', 'Unassigned') | map(attribute='mac') }}"

- name: Behind a router, sweep the far LAN too
  qor.lan.qor_facts:
    range: 10.71.4.0/24
"""

RETURN = r"""
ansible_facts:
  description: The facts gathered.
  returned: always
  type: dict
  contains:
    qor_targets:
      description:
        - One entry per target that answered, in the order they answered.
        - C(ip) is C(Unassigned) for a target without an address.
      type: list
      elements: dict
      sample:
        - mac: "02:00:00:00:00:01"
          ip: 10.71.1.10
          vendor: 4660
          product: 1
          staging: 1048576
          product_name: QOR Demo Board
          duplicate_ip: false
    qor_unassigned:
      description: The MAC addresses of the targets that answered without an address.
      type: list
      elements: str
      sample: ["02:00:00:00:00:03"]
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
        argument_spec=network_options(scripts=dict(type="path")),
        supports_check_mode=True,
    )
    qorctl = Qorctl(module)
    args = ["discover", "--json"] + network_arguments(module.params)
    if module.params["scripts"]:
        args += ["--scripts", module.params["scripts"]]
    try:
        dummy, targets, dummy = qorctl.json(args)
    except QorctlError as error:
        qorctl.fail(error)
    unassigned = [t["mac"] for t in targets if t.get("ip") == "Unassigned"]
    module.exit_json(changed=False,
                     ansible_facts=dict(qor_targets=targets, qor_unassigned=unassigned))


if __name__ == "__main__":
    main()
