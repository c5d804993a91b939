#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: qor_env
short_description: Keep variables in a QOR target's environment block
version_added: "1.0.0"
description:
  - Makes the environment block of the target with the given MAC hold given variables
    (C(state=present)), not hold given names (C(state=absent)), or hold exactly the variables
    of a golden file (C(golden)).
  - Reads the block first (C(qorctl env show --json)) and writes only when it differs
    (C(qorctl env set), or C(qorctl env restore) for a golden file); qorctl reads every write
    back, never drops a variable that does not fit and never writes over a block read as
    damaged.
  - Names and values are compared and returned as qorctl prints them, with escapes, C(\\) for
    a backslash and C(\xHH) for a byte outside 0x20 to 0x7E.
extends_documentation_fragment:
  - qor.lan.qorctl
options:
  mac:
    description: The target's MAC address, for example C(00:1A:2B:3C:4D:5E).
    type: str
    required: true
  variables:
    description:
      - Names and values. With C(state=present) each name must hold its value; with
        C(state=absent) the names must be gone (values are not looked at).
      - Not with C(golden).
    type: dict
  names:
    description: With C(state=absent), names that must be gone. Not with C(golden).
    type: list
    elements: str
  state:
    description: Whether the variables must be there or not.
    type: str
    choices: [present, absent]
    default: present
  golden:
    description:
      - A file of the gateway in the format of C(qorctl env backup) (one C(NAME=VALUE) a line);
        the block must hold exactly its variables.
    type: path
  script:
    description:
      - Take the block from the first C(*loadenv) of this .QOR script on the gateway. Not with
        C(block_address).
    type: path
  block_address:
    description: The block's address in the target's memory, for example C(0x00F00000).
    type: str
  block_length:
    description: The block's length in bytes, for example C(0x1000).
    type: str
  allow_unsigned:
    description: Read a script that no trusted key signed (qorctl's C(--allow-unsigned)).
    type: bool
    default: false
attributes:
  check_mode:
    support: full
    details: Reads the block and reports what would change; writes nothing.
  diff_mode:
    support: full
    details: The block's variables before and after, one C(NAME=VALUE) a line.
author:
  - QOR developers
"""

EXAMPLES = r"""
- name: Every target of the site knows its site
  qor.lan.qor_env:
    mac: "{{ item.mac }}"
    script: /srv/qor/firmware.qor
    variables:
      site: "{{ inventory_hostname }}"
      bootdelay: "1"
  loop: "{{ ansible_facts.qor_targets }}"

- name: No debug flag left behind
  qor.lan.qor_env:
    mac: 02:00:00:00:00:01
    block_address: "0x00F00000"
    block_length: "0x1000"
    names: [debug]
    state: absent

- name: The whole block as the golden file says
  qor.lan.qor_env:
    mac: 02:00:00:00:00:01
    script: /srv/qor/firmware.qor
    golden: /srv/qor/golden.env
"""

RETURN = r"""
state:
  description: How the block was found, C(valid), C(blank) or C(damaged).
  returned: always
  type: str
  sample: valid
variables:
  description: The block's variables once done (in check mode, as they would be).
  returned: always
  type: dict
  sample: {"serial": "SIM00001", "site": "site-a"}
written:
  description: The assignments written (or, in check mode, that would be); an empty value deletes.
  returned: always
  type: dict
  sample: {"site": "site-a"}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.qor.lan.plugins.module_utils.qorctl import (
    Qorctl,
    QorctlError,
    escape_env_text,
    network_options,
    network_arguments,
)


def block_arguments(params):
    if params["script"]:
        args = ["--script", params["script"]]
    else:
        args = ["--at", params["block_address"], "--length", params["block_length"]]
    if params["allow_unsigned"]:
        args.append("--allow-unsigned")
    return args


def env_lines(variables):
    return "".join("%s=%s\n" % (name, variables[name]) for name in sorted(variables))


def wanted_assignments(params, current):
    """The (name, value) pairs to write, escaped as qorctl reads them; an empty value deletes."""
    assignments = {}
    if params["state"] == "present":
        for name, value in (params["variables"] or {}).items():
            name = escape_env_text(str(name))
            value = escape_env_text("" if value is None else str(value))
            if current.get(name) != value:
                assignments[name] = value
    else:
        names = list(params["names"] or []) + list((params["variables"] or {}).keys())
        for name in names:
            name = escape_env_text(str(name))
            if name in current:
                assignments[name] = ""
    return assignments


def apply(current, assignments):
    after = dict(current)
    for name, value in assignments.items():
        after.pop(name, None)
        if value != "":
            after[name] = value
    return after


def main():
    module = AnsibleModule(
        argument_spec=network_options(
            mac=dict(type="str", required=True),
            variables=dict(type="dict"),
            names=dict(type="list", elements="str"),
            state=dict(type="str", choices=["present", "absent"], default="present"),
            golden=dict(type="path"),
            script=dict(type="path"),
            block_address=dict(type="str"),
            block_length=dict(type="str"),
            allow_unsigned=dict(type="bool", default=False),
        ),
        mutually_exclusive=[("golden", "variables"), ("golden", "names"),
                            ("script", "block_address")],
        required_one_of=[("golden", "variables", "names"), ("script", "block_address")],
        required_together=[("block_address", "block_length")],
        required_if=[("state", "present", ("golden", "variables"), True)],
        supports_check_mode=True,
    )
    p = module.params
    qorctl = Qorctl(module)
    where = [p["mac"]]
    options = block_arguments(p) + network_arguments(p)
    try:
        dummy, shown, dummy = qorctl.json(["env", "show"] + where + ["--json"] + options)
        current = shown.get("variables") or {}
        state = shown.get("state")
        if p["golden"]:
            # Exit status 1 is a difference, or a failure: the JSON tells which.
            dummy, diff, dummy = qorctl.json(
                ["env", "diff"] + where + [p["golden"], "--json"] + options, ok=(0, 1))
            after = dict(current)
            assignments = {}
            for name, value in diff.get("added", {}).items():
                after[name] = assignments[name] = value
            for name in diff.get("removed", {}):
                after.pop(name, None)
                assignments[name] = ""
            for name, values in diff.get("changed", {}).items():
                after[name] = assignments[name] = values["file"]
            changed = not diff.get("same", False) or state != "valid"
            if changed and not module.check_mode:
                dummy, restored, dummy = qorctl.json(
                    ["env", "restore"] + where + [p["golden"], "--json"] + options)
                changed = bool(restored.get("changed"))
        else:
            assignments = wanted_assignments(p, current)
            after = apply(current, assignments)
            changed = bool(assignments)
            if changed and not module.check_mode:
                words = ["%s=%s" % (name, value) for name, value in sorted(assignments.items())]
                dummy, written, dummy = qorctl.json(
                    ["env", "set"] + where + words + ["--json"] + options)
                changed = bool(written.get("changed"))
    except QorctlError as error:
        qorctl.fail(error, mac=p["mac"])
    if state == "damaged" and changed and module.check_mode:
        module.fail_json(msg="The environment block of %s was read as damaged (its CRC does not "
                         "match): writing it would lose its variables" % p["mac"], state=state)
    result = dict(changed=changed, state=state, variables=after, written=assignments)
    if module._diff:
        result["diff"] = dict(before=env_lines(current), after=env_lines(after),
                              before_header="%s (%s)" % (p["mac"], state),
                              after_header=p["mac"])
    module.exit_json(**result)


if __name__ == "__main__":
    main()
