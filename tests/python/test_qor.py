"""The qor package against simulated targets. Runs inside scripts/netns-run: each test starts
qor-sim (127.0.0.x targets) in the private namespace and stops it again."""

import _thread
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import qor

SIM = os.environ["QOR_SIM"]
SOURCE = Path(os.environ["QOR_SOURCE_DIR"])
FIRMWARE = SOURCE / "examples" / "firmware-update.QOR"
BLOCK = {"at": 0xF00000, "length": 0x1000}
FIRST = "02:00:00:00:00:01"
SECOND = "02:00:00:00:00:02"
THIRD = "02:00:00:00:00:03"


@pytest.fixture
def sim():
    """Starts qor-sim with the given options and waits for its "ready"."""
    started = []

    def start(*options):
        process = subprocess.Popen([SIM, *options], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        started.append(process)
        assert process.stdout.readline().strip() == "ready"
        return process

    yield start
    for process in started:
        process.terminate()
        process.wait()


@pytest.fixture
def network():
    with qor.Network() as opened:
        yield opened


def test_discover_and_assign_with_qorctls_guards(sim, network):
    sim("--targets", "3", "--unassigned", "1")
    script = qor.Script(FIRMWARE)
    found = network.discover(wait=0.5, script=script)
    assert [t.mac for t in found] == [FIRST, SECOND, THIRD]
    assert [t.ip for t in found] == ["127.0.0.10", "127.0.0.11", None]
    assert found[0] == qor.Target(FIRST, "127.0.0.10", 0x1234, 0x0001, found[0].staging,
                                  "QOR Demo Board")
    assert found[0] != found[1] and len(set(found + found)) == 3
    assert "mac='02:00:00:00:00:01'" in repr(found[0])

    refusals = [
        (THIRD, "0.0.0.0", {}, "Cannot give 02:00:00:00:00:03 the address 0.0.0.0: "),
        (THIRD, "127.0.0.11", {},
         "02:00:00:00:00:02 already holds 127.0.0.11; force=True assigns it all the same."),
        ("02:00:00:00:00:09", "127.0.0.50", {"verify": False},
         "02:00:00:00:00:09 did not answer the discovery; force=True sends the address all the "
         "same."),
    ]
    for mac, address, options, text in refusals:
        with pytest.raises(qor.RefusedError) as refused:
            network.assign(mac, address, wait=0.3, **options)
        assert str(refused.value).startswith(text), (mac, address, str(refused.value))

    assert network.assign(THIRD, "127.0.0.42", wait=1.0) == \
        "02:00:00:00:00:03 now answers at 127.0.0.42."
    after = {t.mac: t.ip for t in network.discover(wait=0.3)}
    assert after[THIRD] == "127.0.0.42"
    # Forced onto an absent MAC: sent, with the note as a warning, and not confirmed.
    with pytest.warns(UserWarning, match="sending the address all the same"):
        with pytest.raises(qor.RunError, match="did not answer a discovery within 300 ms"):
            network.assign("02:00:00:00:00:09", "127.0.0.51", force=True, wait=0.3)


def test_run_reports_progress_on_the_calling_thread(sim, network):
    sim("--targets", "2")
    calls = []
    caller = threading.get_ident()

    def progress(mac, operation, status, done, total):
        calls.append((threading.get_ident(), mac, operation, status, done, total))

    results = network.run(FIRMWARE, [FIRST, SECOND], progress=progress, verify=True, wait=0.5)
    assert [(r.mac, r.ok, r.outcome, r.error, r.restart_confirmed) for r in results] == [
        (FIRST, True, "finished", None, True), (SECOND, True, "finished", None, True)]
    assert all(r.bytes_sent > 4096 and r.resends == 0 for r in results)
    assert {call[0] for call in calls} == {caller}
    for mac in (FIRST, SECOND):
        mine = [call for call in calls if call[1] == mac]
        assert "Application firmware 1.2.0" in {call[2] for call in mine}
        assert "Restarting" in {call[2] for call in mine}
        # The download counts up to the image's 8192 bytes (then the read-back starts again).
        transfers = [call[4] for call in mine if call[5] == 8192]
        assert 8192 in transfers, transfers
        upload = transfers[:transfers.index(8192) + 1]
        assert upload == sorted(upload) and len(set(upload)) > 2, upload

    # Played again with skip_if_current: both hold the image, so they are only read.
    again = network.run(FIRMWARE, [FIRST, SECOND], skip_if_current=True, wait=0.5)
    assert [(r.mac, r.ok, r.outcome, r.restart_confirmed) for r in again] == [
        (FIRST, True, "current", None), (SECOND, True, "current", None)]


def test_refused_write_ends_the_run_with_the_targets_refusal(sim, network):
    sim("--targets", "1", "--fail", "write")
    [result] = network.run(FIRMWARE, FIRST, wait=0.5)
    assert (result.ok, result.outcome) == (False, "failed")
    assert result.error == "Target refused the WriteRequest for 00020000 (status 255)"
    assert not result


def test_run_refuses_another_product_unless_forced(sim, network):
    sim("--targets", "1", "--product", "0x0002")
    with pytest.raises(qor.RefusedError,
                       match="Target 02:00:00:00:00:01 is product 0x1234:0x0002, which the "
                             "script's \\*script entries do not name; force=True runs it anyway"):
        network.run(FIRMWARE, FIRST, wait=0.5)
    [result] = network.run(FIRMWARE, FIRST, wait=0.5, force=True)
    assert result.ok
    with pytest.raises(qor.NotFoundError,
                       match="No target with MAC address 02:00:00:00:00:07 answered"):
        network.run(FIRMWARE, "02:00:00:00:00:07", wait=0.2)


def test_ctrl_c_cancels_the_runs_and_other_threads_run_meanwhile(sim, network):
    # Every reply 500 ms late: the script's requests take seconds.
    sim("--targets", "2", "--delay", "500")
    ticks = []
    busy = []
    stop = threading.Event()
    started = time.monotonic()

    def count():
        while not stop.is_set():
            ticks.append(time.monotonic())
            # The network cannot be closed under the run.
            if not busy and ticks[-1] - started > 0.7:
                try:
                    network.close()
                except qor.Error as error:
                    busy.append(str(error))
            time.sleep(0.01)

    counter = threading.Thread(target=count)
    counter.start()
    statuses = []
    interrupt = threading.Timer(1.0, _thread.interrupt_main)
    try:
        interrupt.start()
        with pytest.raises(KeyboardInterrupt):
            network.run(FIRMWARE, [FIRST, SECOND], wait=2.0,
                        progress=lambda mac, op, status, done, total: statuses.append(status))
    finally:
        stop.set()
        counter.join()
        interrupt.cancel()
    took = time.monotonic() - started
    # Cancelled at once: the whole run takes seconds more.
    assert 1.0 <= took < 2.0, took
    assert statuses, "the runs had begun"
    # The counter ran all along while the run waited on the network.
    assert len([t for t in ticks if started < t < started + 1.0]) >= 20
    assert busy == ["The network is busy with another call"]
    # The network is free again, and a time limit ends a run the same way.
    [result] = network.run(FIRMWARE, FIRST, wait=2.0, timeout=0.5)
    assert result.outcome == "timed_out" and result.error, result


def test_progress_callback_exception_cancels_and_propagates(sim, network):
    sim("--targets", "1", "--delay", "50")

    def progress(*_):
        raise LookupError("stop here")

    with pytest.raises(LookupError, match="stop here"):
        network.run(FIRMWARE, FIRST, wait=0.5, progress=progress)
    [result] = network.run(FIRMWARE, FIRST, wait=0.5)
    assert result.ok


def test_environment_set_backup_diff_restore(sim, network, tmp_path):
    sim("--targets", "1")
    shown = network.env_show(FIRST, **BLOCK)
    assert (shown.state, shown.variables["serial"]) == ("valid", "SIM00001")
    assert network.env_set(FIRST, {"serial": "SN42", "note": "caf\u00e9"}, **BLOCK) is True
    assert network.env_set(FIRST, {"serial": "SN42", "note": "caf\u00e9"}, **BLOCK) is False
    backup = tmp_path / "first.env"
    assert network.env_backup(FIRST, backup, **BLOCK).variables["note"] == "caf\u00e9"
    assert "note=caf\\xC3\\xA9" in backup.read_text()
    assert not network.env_diff(FIRST, backup, **BLOCK)
    # An empty value deletes; a pair list applies in order.
    assert network.env_set(FIRST, [("note", ""), ("serial", "SN43")], **BLOCK) is True
    diff = network.env_diff(FIRST, backup, **BLOCK)
    assert (diff.same, diff.added, diff.changed) == (
        False, {"note": "caf\u00e9"}, {"serial": ("SN43", "SN42")})
    assert network.env_restore(FIRST, backup, **BLOCK) is True
    assert network.env_restore(FIRST, backup, **BLOCK) is False
    # The block of a script's first *loadenv is the same block.
    settings = SOURCE / "examples" / "network-settings.QOR"
    assert network.env_show(FIRST, script=settings).variables == shown.variables | {
        "serial": "SN42", "note": "caf\u00e9"}
    with pytest.raises(qor.RefusedError, match="has no \\*loadenv"):
        network.env_show(FIRST, script=FIRMWARE)


def test_damaged_block_is_not_written_over(sim, network):
    sim("--targets", "1", "--env-block", "damaged")
    assert network.env_show(FIRST, **BLOCK).state == "damaged"
    with pytest.raises(qor.RunError, match="damaged"):
        network.env_set(FIRST, {"serial": "X"}, **BLOCK)
    assert network.env_set(FIRST, {"serial": "X"}, rewrite_damaged_env=True, **BLOCK) is True
    assert network.env_show(FIRST, **BLOCK).variables == {"serial": "X"}


def test_bad_arguments_raise(network):
    script = qor.Script(FIRMWARE)
    cases = [
        (lambda: network.discover(wait="soon"), TypeError, None),
        (lambda: network.discover(wait=-1), qor.UsageError, "wait must be"),
        (lambda: network.assign("02:00:00:00:00", "127.0.0.5"), qor.UsageError,
         "not a MAC address"),
        (lambda: network.assign(FIRST, "127.0.0"), qor.UsageError, "not an IPv4 address"),
        (lambda: network.run(42, FIRST), TypeError, "qor.Script or a path"),
        (lambda: network.run(script, [3.5]), TypeError, "qor.Target or a MAC"),
        (lambda: network.run(script, 7), TypeError, "targets must be"),
        (lambda: network.run(script, []), qor.UsageError, "no target"),
        (lambda: network.run(script, FIRST, pace="slow"), qor.UsageError, "pace must be"),
        (lambda: network.run(script, FIRST, silence=0), qor.UsageError, "silence must be"),
        (lambda: network.run(script, FIRST, progress=5), TypeError, "callable"),
        (lambda: network.env_show(FIRST), qor.UsageError, "choose the block"),
        (lambda: network.env_set(FIRST, {"a=b": "c"}, **BLOCK), qor.UsageError, None),
        (lambda: network.env_set(FIRST, {"a": 5}, **BLOCK), TypeError, "str or bytes"),
        (lambda: network.env_set(FIRST, [("a",)], **BLOCK), TypeError, "pairs"),
        (lambda: network.env_set(FIRST, ["a=b"], **BLOCK), TypeError, "pairs"),
        (lambda: network.provision(script, jobs=0), qor.UsageError, "jobs must be"),
        (lambda: network.provision(script, readdress=True), qor.UsageError, "readdress"),
        (lambda: qor.Script(5), TypeError, None),
        (lambda: qor.Network(broadcast="x.y"), qor.UsageError, "not an IPv4 address"),
        (lambda: qor.Network(range="10.0.0.0/4"), qor.UsageError, None),
        (lambda: qor.Network(interface="no-such-adapter"), qor.NetworkError, None),
    ]
    for call, error, text in cases:
        with pytest.raises(error) as raised:
            call()
        assert text is None or text in str(raised.value), (text, str(raised.value))
    network.close()
    network.close()
    assert network.closed
    with pytest.raises(qor.Error, match="The network is closed"):
        network.discover()


def test_script_errors_and_warnings(tmp_path):
    broken = tmp_path / "broken.QOR"
    broken.write_text("*product 0x1234 0x0001 \"Board\"\n\n*download 0x100 zz\n")
    with pytest.raises(qor.ScriptError) as raised:
        qor.Script(broken)
    assert (raised.value.file, raised.value.line) == (str(broken), 3)
    assert str(raised.value).startswith(f'Error in "{broken}", line 3: ')
    typo = tmp_path / "typo.QOR"
    typo.write_text("*product 0x1234 0x0001 \"Board\"\n*restrat\n*restart\n")
    [warning] = qor.Script(typo).warnings
    assert warning.line == 2 and "*restrat" in warning.text
    assert str(warning).startswith(f'Warning in "{typo}", line 2: ')


def test_provision_records_each_unit_and_resumes(sim, network, tmp_path):
    sim("--targets", "2", "--first-ip", "0")
    record = tmp_path / "record.jsonl"
    ended = []
    sections = set()
    summary = network.provision(FIRMWARE, addresses="127.0.1.1-127.0.1.9", count=2,
                                record=record, wait=2.0, on_unit=ended.append,
                                progress=lambda mac, op, *_: sections.add((mac, op)))
    assert (summary["stop"], summary["passed"], summary["all_passed"]) == ("count", 2, True)
    assert sorted(r["mac"] for r in summary["records"]) == [FIRST, SECOND]
    assert [r["outcome"] for r in summary["records"]] == ["passed", "passed"]
    assert sorted(r["ip_after"] for r in summary["records"]) == ["127.0.1.1", "127.0.1.2"]
    assert ended == summary["records"] and summary["pool_left"] == 7
    assert {(mac, "Restarting") for mac in (FIRST, SECOND)} <= sections
    assert len(record.read_text().splitlines()) == 4
    # Again with the same record: both passed before, so nothing starts.
    notes = []
    again = network.provision(FIRMWARE, addresses="127.0.1.1-127.0.1.9", idle=1.5,
                              record=record, on_note=notes.append)
    assert (again["stop"], again["passed"], again["records"]) == ("idle", 0, [])
    assert any("passed this script" in note for note in notes)


def test_station_example_runs_against_simulated_targets(sim, tmp_path):
    sim("--targets", "3", "--first-ip", "0")
    example = SOURCE / "examples" / "python" / "station.py"
    done = subprocess.run(
        [sys.executable, str(example), str(FIRMWARE), "--addresses", "127.0.2.1-127.0.2.20",
         "--count", "3", "--record", str(tmp_path / "station.jsonl")],
        capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.count("passed") >= 3
