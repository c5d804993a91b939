#!/usr/bin/env python3
"""The soak's judgement (scripts/soak) on made-up dumps: what it must call correct, an error, a
partial state, no result, and above all wrong and reported as success."""
import importlib.machinery
import importlib.util
import os
import sys
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOAK = os.path.join(HERE, "..", "..", "..", "scripts", "soak")
loader = importlib.machinery.SourceFileLoader("soak", SOAK)
soak = importlib.util.module_from_spec(importlib.util.spec_from_loader("soak", loader))
loader.exec_module(soak)

OLD_VARIABLES = {b"ipaddr": b"127.0.0.10", b"serial": b"SIM00001", b"keep": b"me"}
OLD = soak.build_block(OLD_VARIABLES)
IMAGE = soak.Download("image.bin", 0x00100000, 3000, bytes(range(256)) * 8,
                      [(0x00100000 + 2990, b"\x01\x02")])
NEW_IMAGE_CRC = zlib.crc32(IMAGE.image())
OLD_IMAGE_CRC = zlib.crc32(b"\xff" * 3000)
GUARDS = [111, 222]
# Load, change one variable, delete another, save: what a successful run must leave.
PLAN = soak.Plan(1, [IMAGE], [("load",), ("set", b"a", b"1"), ("set", b"ipaddr", b""), ("save",)],
                 restart=False)
NEW_VARIABLES = {b"a": b"1", b"serial": b"SIM00001", b"keep": b"me"}
NEW = soak.build_block(NEW_VARIABLES)


def entry(environment, image_crc=OLD_IMAGE_CRC, guards=GUARDS, discovered=1):
    return {"environment": environment.hex(), "discover_replies": discovered,
            "regions": [{"crc": image_crc}, {"crc": guards[0]}, {"crc": guards[1]}]}


def damaged(block):
    return block[:10] + bytes([block[10] ^ 1]) + block[11:]


def unsorted(variables):
    """A valid block of these variables with its entries out of byte order."""
    body = b"".join(n + b"=" + v + b"\0" for n, v in sorted(variables.items(), reverse=True))
    body += bytes(soak.ENV_LENGTH - 4 - len(body))
    return zlib.crc32(body).to_bytes(4, "big") + body


def judge_blocks(plan, before, after, result, regions_before=(), regions_after=()):
    """The verdict on a discovered target that held block before and holds after."""
    return soak.judge(plan, before, {"environment": before.hex(), "regions": list(regions_before)},
                      {"environment": after.hex(), "regions": list(regions_after)}, True,
                      result).kind


OK = {"ok": True, "error": None, "seconds": 1.5}
FAILED = {"ok": False, "error": "Target refused the DataRequest for 00100000 (status 255)",
          "seconds": 0.7}


class JudgementTest(unittest.TestCase):
    def test_each_run_is_judged_by_what_the_target_holds(self):
        rows = [
            # name, result, answered, environment after, image CRC after, guards after, kind
            ("ok and all there", OK, True, NEW, NEW_IMAGE_CRC, GUARDS, soak.CORRECT),
            ("ok but the image is old", OK, True, NEW, OLD_IMAGE_CRC, GUARDS, soak.SILENT),
            ("ok but a variable lost", OK, True,
             soak.build_block({b"a": b"1", b"serial": b"SIM00001"}), NEW_IMAGE_CRC, GUARDS,
             soak.SILENT),
            ("ok but a value wrong", OK, True,
             soak.build_block({**NEW_VARIABLES, b"a": b"2"}), NEW_IMAGE_CRC, GUARDS, soak.SILENT),
            ("ok but never saved", OK, True, OLD, NEW_IMAGE_CRC, GUARDS, soak.SILENT),
            ("ok but the block damaged", OK, True, damaged(NEW), NEW_IMAGE_CRC, GUARDS,
             soak.SILENT),
            ("ok but entries out of order", OK, True, unsorted(NEW_VARIABLES), NEW_IMAGE_CRC,
             GUARDS, soak.SILENT),
            ("ok but memory beside the image written", OK, True, NEW, NEW_IMAGE_CRC,
             [111, 333], soak.SILENT),
            ("failed, nothing changed", FAILED, True, OLD, OLD_IMAGE_CRC, GUARDS, soak.ERROR),
            ("failed after the image", FAILED, True, OLD, NEW_IMAGE_CRC, GUARDS, soak.ERROR),
            ("failed after the save", FAILED, True, NEW, NEW_IMAGE_CRC, GUARDS, soak.ERROR),
            ("failed with the block damaged", FAILED, True, damaged(OLD), OLD_IMAGE_CRC, GUARDS,
             soak.PARTIAL),
            ("failed with a third table", FAILED, True, soak.build_block({b"a": b"1"}),
             OLD_IMAGE_CRC, GUARDS, soak.PARTIAL),
            ("failed with a third image", FAILED, True, OLD, 12345, GUARDS, soak.PARTIAL),
            ("failed without a text", dict(FAILED, error=""), True, OLD, OLD_IMAGE_CRC, GUARDS,
             soak.NO_RESULT),
            ("neither ok nor failed", {"mac": "x"}, True, OLD, OLD_IMAGE_CRC, GUARDS,
             soak.NO_RESULT),
            ("answered but no result", None, True, OLD, OLD_IMAGE_CRC, GUARDS, soak.NO_RESULT),
            ("a result without answering", OK, False, NEW, NEW_IMAGE_CRC, GUARDS,
             soak.NO_RESULT),
            ("not in the run, untouched", None, False, OLD, OLD_IMAGE_CRC, GUARDS, soak.ABSENT),
            ("not in the run, block changed", None, False, NEW, OLD_IMAGE_CRC, GUARDS,
             soak.SILENT),
            ("not in the run, image changed", None, False, OLD, NEW_IMAGE_CRC, GUARDS,
             soak.SILENT),
        ]
        for name, result, answered, environment, image_crc, guards, kind in rows:
            with self.subTest(name):
                verdict = soak.judge(PLAN, OLD, entry(OLD), entry(environment, image_crc, guards),
                                     answered, result)
                self.assertEqual(verdict.kind, kind, verdict.reason)
                # The expected block moves to what the target holds, or stays where it was.
                self.assertEqual(verdict.environment,
                                 OLD if kind == soak.ABSENT else environment)

    def test_a_table_too_large_for_its_block_must_fail_its_run(self):
        big = [("set", name.encode(), b"v" * 210) for name in soak.BIG_NAMES]
        plan = soak.Plan(2, [], [("load",)] + big + [("save",), ("set", b"a", b"1"), ("save",)],
                         restart=False)
        self.assertEqual(plan.expected_environment(OLD), [soak.TOO_LARGE])
        # What fits, as a build that stops at the first entry without room would write it.
        fitting = dict(OLD_VARIABLES)
        for name in soak.BIG_NAMES[:15]:
            fitting[name.encode()] = b"v" * 210
        truncated = soak.build_block(fitting)
        self.assertIsNotNone(truncated)
        for result, environment, kind in [(OK, truncated, soak.SILENT),
                                          (FAILED, truncated, soak.PARTIAL),
                                          (FAILED, OLD, soak.ERROR)]:
            with self.subTest(ok=result["ok"], truncated=environment == truncated):
                self.assertEqual(judge_blocks(plan, OLD, environment, result), kind)

    def test_a_block_read_as_damaged_must_never_be_written_over(self):
        plan = soak.Plan(4, [], [("load",), ("set", b"a", b"1"), ("save",)], restart=False)
        start = damaged(OLD)
        for result, environment, kind in [(OK, soak.build_block({b"a": b"1"}), soak.SILENT),
                                          (OK, start, soak.SILENT),
                                          (FAILED, start, soak.ERROR),
                                          (FAILED, soak.build_block({b"a": b"1"}), soak.PARTIAL)]:
            with self.subTest(ok=result["ok"], written=environment != start):
                self.assertEqual(judge_blocks(plan, start, environment, result), kind)

    def test_an_image_over_the_block_is_what_the_directives_meet(self):
        garbage = bytes(range(256)) * 16
        rows = [
            # image bytes, result, block after, kind
            (b"", OK, soak.build_block({b"a": b"1"}), soak.CORRECT),  # blank: a first state
            (b"", FAILED, b"\xff" * soak.ENV_LENGTH, soak.ERROR),
            (garbage, OK, soak.build_block({b"a": b"1"}), soak.SILENT),
            (garbage, FAILED, garbage, soak.ERROR),
            (garbage, FAILED, OLD, soak.ERROR),
        ]
        for data, result, environment, kind in rows:
            with self.subTest(blank=not data, ok=result["ok"], after=environment[:4].hex()):
                download = soak.Download(None, soak.ENV_ADDRESS, soak.ENV_LENGTH, data, [])
                plan = soak.Plan(5, [download], [("load",), ("set", b"a", b"1"), ("save",)],
                                 restart=False)
                regions = [{"crc": 1}, {"crc": 2}, {"crc": 3}]
                after = [{"crc": zlib.crc32(environment)}, {"crc": 2}, {"crc": 3}]
                self.assertEqual(judge_blocks(plan, OLD, environment, result, regions, after),
                                 kind)

    def test_a_failed_run_may_stop_at_any_of_its_saves(self):
        plan = soak.Plan(3, [], [("load",), ("set", b"a", b"1"), ("save",), ("set", b"b", b"2"),
                                 ("save",)], restart=False)
        first = soak.build_block({**OLD_VARIABLES, b"a": b"1"})
        second = soak.build_block({**OLD_VARIABLES, b"a": b"1", b"b": b"2"})
        for environment, kind in [(OLD, soak.ERROR), (first, soak.ERROR), (second, soak.ERROR),
                                  (soak.build_block({**OLD_VARIABLES, b"b": b"2"}), soak.PARTIAL)]:
            with self.subTest(environment=environment[:4].hex()):
                self.assertEqual(judge_blocks(plan, OLD, environment, FAILED), kind)


class ResultsTest(unittest.TestCase):
    def test_qorctls_answer_must_be_lines_of_results_and_a_matching_exit_status(self):
        ok = '{"mac":"02:00:00:00:00:01","ok":true,"error":null,"seconds":1.0}'
        failed = '{"mac":"02:00:00:00:00:02","ok":false,"error":"E","seconds":2.0}'
        rows = [
            ("every run finished", 0, ok, 1, False),
            ("a run failed", 1, ok + "\n" + failed, 2, False),
            ("no target answered", 1, "", 0, False),
            ("success without a run", 0, "", 0, True),
            ("success although a run failed", 0, failed, 1, True),
            ("failure although every run finished", 1, ok, 1, True),
            ("a usage error", 2, "", 0, True),
            ("a crash", -11, ok, 1, True),
            ("a line that is no result", 0, ok + "\nWarning: x", 1, True),
            ("a result without a MAC", 1, '{"ok":false}', 0, True),
        ]
        for name, status, output, count, troubled in rows:
            with self.subTest(name):
                results, trouble = soak.read_results(status, output)
                self.assertEqual(len(results), count)
                self.assertEqual(bool(trouble), troubled, trouble)


class EnvironmentTest(unittest.TestCase):
    def test_what_each_save_writes_follows_the_directives(self):
        rows = [
            ("load, set, save", [("load",), ("set", b"keep", b"new"), ("save",)],
             [{**OLD_VARIABLES, b"keep": b"new"}]),
            # A loaded block does not override what the table already holds.
            ("set before load", [("set", b"keep", b"mine"), ("load",), ("save",)],
             [{**OLD_VARIABLES, b"keep": b"mine"}]),
            ("delete", [("load",), ("set", b"serial", b""), ("save",)],
             [{b"ipaddr": b"127.0.0.10", b"keep": b"me"}]),
            ("save without load", [("set", b"x", b"1"), ("save",)], [{b"x": b"1"}]),
            ("read only", [("load",), ("load",)], []),
            ("the second load reads the first save",
             [("load",), ("set", b"x", b"1"), ("save",), ("set", b"x", b""), ("load",),
              ("save",)],
             [{**OLD_VARIABLES, b"x": b"1"}, {**OLD_VARIABLES, b"x": b"1"}]),
        ]
        for name, ops, written in rows:
            with self.subTest(name):
                self.assertEqual(soak.Plan(1, [], ops, False).expected_environment(OLD), written)
        # A block read as damaged is never written over; a blank one is a first state.
        for name, ops, block, written in [
                ("load damaged, save", [("load",), ("save",)], damaged(OLD),
                 [soak.AFTER_DAMAGED]),
                ("set, load damaged, save", [("set", b"a", b"1"), ("load",), ("save",)],
                 damaged(OLD), [soak.AFTER_DAMAGED]),
                ("save without load", [("set", b"a", b"1"), ("save",)], damaged(OLD),
                 [{b"a": b"1"}]),
                ("load blank, save", [("load",), ("set", b"a", b"1"), ("save",)],
                 b"\xff" * soak.ENV_LENGTH, [{b"a": b"1"}])]:
            with self.subTest(name):
                self.assertEqual(soak.Plan(1, [], ops, False).expected_environment(block),
                                 written)

    def test_blocks_are_read_and_built_as_targets_hold_them(self):
        self.assertEqual(zlib.crc32(b"123456789"), 0xCBF43926)
        empty = soak.build_block({}, 16)
        self.assertEqual(empty, zlib.crc32(bytes(12)).to_bytes(4, "big") + bytes(12))
        # Twelve bytes of room: an entry of exactly twelve fits with no empty entry after it.
        self.assertEqual(soak.parse_block(soak.build_block({b"a": b"123456789"}, 16)),
                         {b"a": b"123456789"})
        self.assertIsNone(soak.build_block({b"ab": b"123456789"}, 16))
        self.assertEqual(soak.build_block({b"Z": b"1", b"a": b"2"}, 16)[4:12], b"Z=1\0a=2\0")

        def block(body):
            body = body + bytes(32 - 4 - len(body))
            return zlib.crc32(body).to_bytes(4, "big") + body
        rows = [
            (b"a=1\0a=2\0", {b"a": b"1"}),           # the first of a name wins
            (b"a=b=c\0", {b"a": b"b=c"}),            # split at the first equals sign
            (b"=x\0e=\0", {b"": b"x", b"e": b""}),   # empty name, empty value
            (b"a=1\0junk\0b=2\0", {b"a": b"1"}),     # text without '=' ends the list
        ]
        for body, variables in rows:
            with self.subTest(body=body):
                self.assertEqual(soak.parse_block(block(body)), variables)
        self.assertIsNone(soak.parse_block(damaged(block(b"a=1\0"))))
        self.assertIsNone(soak.parse_block(b"\0\0\0"))

    def test_an_image_is_its_file_then_its_records_over_blank_bytes(self):
        download = soak.Download(None, 0x1000, 8, b"\x01\x02\x03", [(0x1002, b"\xAA"),
                                                                    (0x1007, b"\xBB")])
        self.assertEqual(download.image(), b"\x01\x02\xAA\xff\xff\xff\xff\xBB")
        self.assertEqual(download.regions(),
                         [(0x1000, 8), (0x1000 - soak.GUARD, soak.GUARD), (0x1008, soak.GUARD)])
        # Count, address, data and the checksum that makes the byte sum 0xFF.
        self.assertEqual(soak.s3_record(0x00021C10, b"\x20\x26\x12\x08"),
                         "S30900021C102026120868")


if __name__ == "__main__":
    unittest.main(verbosity=1)
