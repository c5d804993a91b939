# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)
"""What qor_env decides to write, from the block as read."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import unittest

from ansible_collections.qor.lan.plugins.modules.qor_env import apply, wanted_assignments


class WantedTest(unittest.TestCase):
    def test_only_differences_are_written(self):
        block = {"serial": "SN1", "site": "a", "path": "c:\\\\boot"}
        rows = [
            ("nothing differs", "present", {"site": "a", "serial": "SN1"}, None, {}),
            ("a new and a changed value", "present", {"site": "b", "mode": "x"}, None,
             {"site": "b", "mode": "x"}),
            ("numbers come as text", "present", {"bootdelay": 1}, None, {"bootdelay": "1"}),
            ("a value compared escaped", "present", {"path": "c:\\boot"}, None, {}),
            ("an empty value deletes", "present", {"site": ""}, None, {"site": ""}),
            ("absent by name", "absent", None, ["site", "gone"], {"site": ""}),
            ("absent by the keys of variables", "absent", {"serial": "ignored"}, None,
             {"serial": ""}),
        ]
        for name, state, variables, names, expected in rows:
            params = {"state": state, "variables": variables, "names": names}
            self.assertEqual(wanted_assignments(params, block), expected, name)

    def test_applied_assignments_give_the_block_to_be(self):
        self.assertEqual(apply({"a": "1", "b": "2"}, {"a": "", "b": "3", "c": "4"}),
                         {"b": "3", "c": "4"})


if __name__ == "__main__":
    unittest.main()
