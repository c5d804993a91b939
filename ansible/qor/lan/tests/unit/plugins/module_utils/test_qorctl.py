# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)
"""What the modules hand qorctl and read back from it, without a gateway."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import unittest

from ansible_collections.qor.lan.plugins.module_utils.qorctl import (
    Qorctl,
    QorctlError,
    escape_env_text,
    network_arguments,
    parse_json_lines,
)


class FakeModule:
    """run_command answers with what the test says; the command is kept."""

    def __init__(self, rc=0, out="", err="", params=None):
        self.answer = (rc, out, err)
        self.params = params or {"qorctl_path": "/opt/qor/qorctl"}
        self.commands = []

    def run_command(self, command):
        self.commands.append(command)
        return self.answer

    def get_bin_path(self, name, required=False):
        return "/usr/bin/" + name


class EscapeTest(unittest.TestCase):
    def test_names_and_values_are_written_as_qorctl_reads_them(self):
        rows = [
            ("plain", "plain"),
            ("a b=c", "a b=c"),
            ("back\\slash", "back\\\\slash"),
            ("tab\there", "tab\\x09here"),
            (u"caf\u00e9", "caf\\xC3\\xA9"),
            ("\x7f", "\\x7F"),
            ("", ""),
        ]
        for text, escaped in rows:
            self.assertEqual(escape_env_text(text), escaped, text)


class ArgumentsTest(unittest.TestCase):
    def test_only_the_options_given_reach_qorctl(self):
        rows = [
            ({}, []),
            ({"wait": 300}, ["--wait", "300"]),
            ({"wait": 0}, ["--wait", "0"]),
            ({"interface": "lan0", "range": "10.71.4.0/24", "broadcast": None},
             ["--interface", "lan0", "--range", "10.71.4.0/24"]),
        ]
        for params, expected in rows:
            self.assertEqual(network_arguments(params), expected, params)


class RunTest(unittest.TestCase):
    def test_json_lines_skip_blank_lines_and_keep_their_order(self):
        self.assertEqual(parse_json_lines('{"mac":"a"}\n\n{"mac":"b"}\n'),
                         [{"mac": "a"}, {"mac": "b"}])

    def test_a_failure_carries_qorctls_own_text(self):
        module = FakeModule(1, "", "\nNo target with MAC address 02:00:00:00:00:09 answered the "
                                   "discovery\n")
        with self.assertRaises(QorctlError) as raised:
            Qorctl(module).run(["env", "show", "02:00:00:00:00:09"])
        self.assertEqual(str(raised.exception),
                         "No target with MAC address 02:00:00:00:00:09 answered the discovery")
        self.assertEqual(raised.exception.rc, 1)
        self.assertEqual(module.commands, [["/opt/qor/qorctl", "env", "show", "02:00:00:00:00:09"]])

    def test_a_silent_failure_still_says_what_failed(self):
        with self.assertRaises(QorctlError) as raised:
            Qorctl(FakeModule(2)).run(["assign", "x"])
        self.assertEqual(str(raised.exception), "qorctl assign x exited with status 2")

    def test_an_allowed_status_is_no_failure_and_json_is_read(self):
        module = FakeModule(1, '{"same": false}\n', "")
        self.assertEqual(Qorctl(module).json(["env", "diff"], ok=(0, 1)), (1, {"same": False}, ""))

    def test_output_that_is_no_json_fails(self):
        with self.assertRaises(QorctlError):
            Qorctl(FakeModule(0, "Asked 02:00:00:00:00:01 to take the address\n")).json(["x"])

    def test_qorctl_is_found_on_the_path_by_default(self):
        module = FakeModule(params={"qorctl_path": None})
        self.assertEqual(Qorctl(module).path, "/usr/bin/qorctl")


if __name__ == "__main__":
    unittest.main()
