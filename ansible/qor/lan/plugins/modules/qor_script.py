#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: qor_script
short_description: Run a QOR script on targets of a site
version_added: "1.0.0"
description:
  - Runs a .QOR script (a firmware download, environment edits, a restart) on the targets with
    the given MAC addresses, on the targets of a product, or on every target that answers, with
    C(qorctl run --json) on the site's gateway.
  - With C(skip_if_current), each target is read back first, and one that already holds every
    image the script downloads and every variable it sets is reported C(current) and nothing
    is written to it, so that a second play changes nothing.
  - Reports C(changed) when the script ran on any target, and fails, with qorctl's texts, when
    any run failed, was refused or timed out.
extends_documentation_fragment:
  - qor.lan.qorctl
options:
  script:
    description: The .QOR script on the gateway.
    type: path
    required: true
  targets:
    description: The MAC addresses of the targets to run on, each run in turn.
    type: list
    elements: str
  product:
    description: Run on every target of this product C(VID:PID), for example C(0x1234:0x0001).
    type: str
  all:
    description: Run on every target that answers (of the products the script names).
    type: bool
    default: false
  skip_if_current:
    description: Write nothing to a target that already holds what the script writes.
    type: bool
    default: false
  verify:
    description: Read every downloaded image back after its write; fail unless it matches.
    type: bool
    default: false
  force:
    description: Run also on targets of products the script's C(*script) entries do not name.
    type: bool
    default: false
  jobs:
    description: With C(all) or C(product), run on at most this many targets at once (0 is all).
    type: int
  timeout:
    description: Cancel runs still going after this many seconds (0 is no limit).
    type: float
  allow_unsigned:
    description: Run a script that no trusted key signed (qorctl's C(--allow-unsigned)).
    type: bool
    default: false
attributes:
  check_mode:
    support: none
    details: Whether a run would write can only be told by reading the targets back while running.
  diff_mode:
    support: none
author:
  - QOR developers
"""

EXAMPLES = r"""
- name: Firmware on every target of the site, written only where it is not there yet
  qor.lan.qor_script:
    script: /srv/qor/firmware.qor
    all: true
    skip_if_current: true
    verify: true

- name: Two targets by MAC
  qor.lan.qor_script:
    script: /srv/qor/firmware.qor
    targets: [02:00:00:00:00:01, 02:00:00:00:00:02]
"""

RETURN = r"""
runs:
  description: The end record of each target's run, as C(qorctl run --json) prints it.
  returned: always
  type: list
  elements: dict
  sample:
    - event: end
      mac: 02:00:00:00:00:01
      ok: true
      outcome: current
      error: null
ran:
  description: The MAC addresses of the targets the script ran on (not current).
  returned: always
  type: list
  elements: str
current:
  description: The MAC addresses of the targets found current, to which nothing was written.
  returned: always
  type: list
  elements: str
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.qor.lan.plugins.module_utils.qorctl import (
    Qorctl,
    QorctlError,
    failure_text,
    network_options,
    network_arguments,
    parse_json_lines,
)


def run_arguments(p):
    args = ["--json"] + network_arguments(p)
    for flag, name in (("--skip-if-current", "skip_if_current"), ("--verify", "verify"),
                       ("--force", "force"), ("--allow-unsigned", "allow_unsigned")):
        if p[name]:
            args.append(flag)
    if p["timeout"] is not None:
        args += ["--timeout", "%g" % p["timeout"]]
    return args


def main():
    module = AnsibleModule(
        argument_spec=network_options(
            script=dict(type="path", required=True),
            targets=dict(type="list", elements="str"),
            product=dict(type="str"),
            all=dict(type="bool", default=False),
            skip_if_current=dict(type="bool", default=False),
            verify=dict(type="bool", default=False),
            force=dict(type="bool", default=False),
            jobs=dict(type="int"),
            timeout=dict(type="float"),
            allow_unsigned=dict(type="bool", default=False),
        ),
        mutually_exclusive=[("targets", "product"), ("targets", "all")],
        required_one_of=[("targets", "product", "all")],
        supports_check_mode=False,
    )
    p = module.params
    qorctl = Qorctl(module)
    common = run_arguments(p)
    if p["targets"]:
        invocations = [["run", p["script"], "--target", mac] + common for mac in p["targets"]]
    else:
        several = ["run", p["script"], "--all"] + common
        if p["product"]:
            several += ["--product", p["product"]]
        if p["jobs"] is not None:
            several += ["--jobs", str(p["jobs"])]
        invocations = [several]
    runs = []
    errors = []
    for args in invocations:
        try:
            rc, out, err = qorctl.run(args, ok=(0, 1))
        except QorctlError as error:
            qorctl.fail(error, runs=runs)
        ended = parse_json_lines(out)
        runs += ended
        if rc != 0:
            texts = ["%s: %s" % (end.get("mac"), end.get("error")) for end in ended
                     if not end.get("ok")]
            errors.append("\n".join(texts) if texts else failure_text(rc, err, args))
    ran = [end["mac"] for end in runs if end.get("outcome") != "current"]
    current = [end["mac"] for end in runs if end.get("outcome") == "current"]
    result = dict(changed=bool(ran), runs=runs, ran=ran, current=current)
    if errors:
        module.fail_json(msg="\n".join(errors), **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
