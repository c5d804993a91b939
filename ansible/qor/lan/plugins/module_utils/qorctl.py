# -*- coding: utf-8 -*-
# Copyright QOR developers
# Licensed under the Apache License 2.0 (see LICENSE)
"""Running qorctl on the gateway and reading what it prints with --json.

The modules of qor.lan call the qorctl program of the gateway's qor package: it is the
packaged, documented interface, and it needs nothing else on the gateway.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

# The options every module that talks to targets takes, with the qorctl options they become.
NETWORK_OPTIONS = dict(
    qorctl_path=dict(type="path"),
    interface=dict(type="str"),
    broadcast=dict(type="str"),
    range=dict(type="str"),
    wait=dict(type="int"),
)


def network_options(**extra):
    """The shared options, plus the module's own."""
    options = dict(NETWORK_OPTIONS)
    options.update(extra)
    return options


def network_arguments(params, wait=True):
    """The qorctl options for the network options the task gave."""
    args = []
    for name in ("interface", "broadcast", "range"):
        if params.get(name):
            args += ["--" + name, params[name]]
    if wait and params.get("wait") is not None:
        args += ["--wait", str(params["wait"])]
    return args


def escape_env_text(text):
    """A name or value as qorctl env reads and prints it: a backslash doubled, every byte
    outside 0x20 to 0x7E as \\xHH."""
    data = text.encode("utf-8") if not isinstance(text, bytes) else text
    out = []
    for byte in bytearray(data):
        if byte == 0x5C:
            out.append("\\\\")
        elif 0x20 <= byte <= 0x7E:
            out.append(chr(byte))
        else:
            out.append("\\x%02X" % byte)
    return "".join(out)


def parse_json_lines(text):
    """One JSON value per line (qorctl run and provision --json), blank lines skipped."""
    values = []
    for line in text.splitlines():
        line = line.strip()
        if line:
            values.append(json.loads(line))
    return values


class QorctlError(Exception):
    """qorctl failed; message is what it said on standard error (its own texts)."""

    def __init__(self, message, rc=None, stdout="", stderr=""):
        super(QorctlError, self).__init__(message)
        self.rc = rc
        self.stdout = stdout
        self.stderr = stderr


class Qorctl:
    """qorctl as the module runs it on the managed node."""

    def __init__(self, module):
        self.module = module
        path = module.params.get("qorctl_path")
        self.path = path if path else module.get_bin_path("qorctl", required=True)

    def run(self, args, ok=(0,)):
        """Runs qorctl with args; returns (rc, stdout, stderr). Raises QorctlError when the
        exit status is not in ok, with qorctl's own text."""
        rc, out, err = self.module.run_command([self.path] + list(args))
        if rc not in ok:
            raise QorctlError(failure_text(rc, err, args), rc, out, err)
        return rc, out, err

    def json(self, args, ok=(0,)):
        """Runs qorctl and reads the one JSON value it printed."""
        rc, out, err = self.run(args, ok)
        try:
            return rc, json.loads(out), err
        except ValueError:
            raise QorctlError("qorctl printed no JSON: %s" % (out.strip() or err.strip()), rc, out, err)

    def fail(self, error, **result):
        """Ends the module with qorctl's text."""
        self.module.fail_json(msg=str(error), rc=error.rc, stdout=error.stdout, stderr=error.stderr,
                              **result)


def failure_text(rc, err, args):
    """What qorctl said, or that it said nothing."""
    lines = [line for line in (err or "").splitlines() if line.strip()]
    if lines:
        return "\n".join(lines)
    return "qorctl %s exited with status %s" % (" ".join(args[:2]), rc)
