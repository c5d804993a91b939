# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)
"""Each module's documented options are the options it accepts: names, types, defaults, choices.

ansible-test's validate-modules checks this too, but it installs its requirements from the
network first; this runs offline."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import importlib
import unittest

import yaml

from ansible_collections.qor.lan.plugins.doc_fragments.qorctl import ModuleDocFragment

MODULES = ["qor_facts", "qor_address", "qor_env", "qor_script", "qor_provision"]


class Captured(Exception):
    pass


def module_arguments(module):
    """The keyword arguments main() gives AnsibleModule."""
    seen = {}

    def capture(**kwargs):
        seen.update(kwargs)
        raise Captured()

    original = module.AnsibleModule
    module.AnsibleModule = capture
    try:
        module.main()
    except Captured:
        pass
    finally:
        module.AnsibleModule = original
    return seen


class DocumentationTest(unittest.TestCase):
    def test_documented_options_are_the_accepted_ones(self):
        shared = yaml.safe_load(ModuleDocFragment.DOCUMENTATION)["options"]
        for name in MODULES:
            module = importlib.import_module("ansible_collections.qor.lan.plugins.modules." + name)
            doc = yaml.safe_load(module.DOCUMENTATION)
            yaml.safe_load(module.EXAMPLES)
            yaml.safe_load(module.RETURN)
            self.assertEqual(doc["module"], name)
            self.assertIn("qor.lan.qorctl", doc["extends_documentation_fragment"])
            options = dict(shared)
            options.update(doc["options"])
            arguments = module_arguments(module)
            # Ansible's own name for the options a module accepts.
            accepted = arguments["argument_spec"]
            self.assertEqual(sorted(accepted), sorted(options), name)
            for option, rules in accepted.items():
                documented = options[option]
                where = "%s: %s" % (name, option)
                self.assertEqual(rules.get("type", "str"), documented.get("type", "str"), where)
                self.assertEqual(rules.get("default"), documented.get("default"), where)
                self.assertEqual(bool(rules.get("required")), bool(documented.get("required")),
                                 where)
                self.assertEqual(rules.get("choices"), documented.get("choices"), where)
                self.assertEqual(rules.get("elements"), documented.get("elements"), where)
            check_mode = doc["attributes"]["check_mode"]["support"]
            self.assertEqual(arguments.get("supports_check_mode", False), check_mode != "none", name)


if __name__ == "__main__":
    unittest.main()
