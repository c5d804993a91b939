# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    # The options every qor.lan module shares: where qorctl is and which network it uses.
    DOCUMENTATION = r"""
options:
  qorctl_path:
    description:
      - The qorctl program on the gateway.
      - By default the one found on the C(PATH), as the C(qor) package installs it.
    type: path
  interface:
    description:
      - Send and listen through this adapter of the gateway alone (C(qorctl adapters) lists
        them); broadcasts go out of it only.
    type: str
  broadcast:
    description:
      - Send discoveries to this address alone, for example one adapter's subnet broadcast.
    type: str
  range:
    description:
      - Also send each discovery to every address of this CIDR range one by one (at most a
        /16), so that targets behind a router answer too.
    type: str
  wait:
    description:
      - Milliseconds to wait for the targets to answer a discovery (qorctl's C(--wait)).
    type: int
notes:
  - The module runs on the site's gateway, which needs the C(qor) package; it calls
    C(qorctl ... --json) there and reports qorctl's own texts as errors.
"""
