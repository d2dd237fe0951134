# SPDX-License-Identifier: MIT
# The Python module against orvexsim: each main job of the command line
# done through the API and by `orvexconf -b --report -`, each against a
# simulator of its own with the same faults; the API's result or exception
# and its run report equal the command line's, apart from times and paths.
# A Python process killed mid-write leaves what the tool leaves: the next
# call warns of it as the next command-line run does.
# CTest runs each row of CASES as a test of its own (python_controller.ROW).
import json
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, List

import jsonschema
import pytest

import orvex
from conftest import BIN_DIR, PARAMS, SOURCE_DIR

SCHEMA = json.loads((SOURCE_DIR / "docs" / "report.schema.json").read_text())

# The sample image's bytes, for the same image in each format.
def sample_bytes():
    data = bytearray()
    for line in (PARAMS / "sample.mot").read_text().split():
        if line.startswith("S1"):
            data += bytes.fromhex(line[8:-2])
    return bytes(data)


def intel_hex(address, data):
    lines = []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        body = bytes([len(chunk), (address + at) >> 8 & 0xFF, (address + at) & 0xFF, 0]) + chunk
        lines.append(":" + (body + bytes([-sum(body) & 0xFF])).hex().upper())
    return "\n".join(lines + [":00000001FF", ""])


def make_files(folder):
    folder.mkdir()
    orvex.save_rop({"Name": "Restored", "HostBaud": 2}, folder / "restore.rop")
    block = orvex.load_rop(PARAMS / "sample.rop")
    block["Name"] = "FromBlock"
    orvex.save_rop(block, folder / "image.blk")
    data = sample_bytes()
    (folder / "fw.hex").write_text(intel_hex(0x8000, data))
    (folder / "fw.bin").write_bytes(data)
    return {"rop": folder / "restore.rop", "blk": folder / "image.blk",
            "mot": PARAMS / "sample.mot", "hex": folder / "fw.hex", "bin": folder / "fw.bin"}


@dataclass
class Case:
    api: Callable           # (controller, files) -> what the call gives
    cli: Callable           # files -> the tool's arguments after -b
    status: int             # the exit status both end with
    sim: List[str] = field(default_factory=list)  # orvexsim's fault options


CASES = {
    "read": Case(lambda c, f: c.read(), lambda f: [], 0),
    "write": Case(lambda c, f: c.write({"Name": "Rover7", "HostBaud": 4}),
                  lambda f: ["Name", "Rover7", "HostBaud", "4"], 0),
    "check": Case(lambda c, f: c.check({"Name": "Rover7"}),
                  lambda f: ["--check", "Name", "Rover7"], 10),
    "restore_rop": Case(lambda c, f: c.write(rop=f["rop"]), lambda f: ["-r", f["rop"]], 0),
    "restore_block": Case(lambda c, f: c.write(block=f["blk"]),
                          lambda f: ["-restoreBlock", f["blk"]], 0),
    "upload_mot": Case(lambda c, f: c.upload(f["mot"]), lambda f: ["-u", f["mot"]], 0),
    "upload_hex": Case(lambda c, f: c.upload(f["hex"]), lambda f: ["-u", f["hex"]], 0),
    "upload_bin": Case(lambda c, f: c.upload(f["bin"], base=0x8000),
                       lambda f: ["--base", "0x8000", "-u", f["bin"]], 0),
    "check_upload": Case(lambda c, f: c.upload(f["mot"], check=True),
                         lambda f: ["--check", "-u", f["mot"]], 10),
    "refused_erase": Case(lambda c, f: c.write({"Name": "Rover7"}), lambda f: ["Name", "Rover7"],
                          8, ["--refuse", "FE:*"]),
    "lost_ack": Case(lambda c, f: c.write({"Name": "Rover7"}), lambda f: ["Name", "Rover7"], 0,
                     ["--drop-ack", "FW"]),
    "flipped_byte": Case(lambda c, f: c.write({"Name": "Rover7"}), lambda f: ["Name", "Rover7"],
                         8, ["--flip-byte", "FW:*"]),
    "upload_flipped": Case(lambda c, f: c.upload(f["mot"]), lambda f: ["-u", f["mot"]], 5,
                           ["--flip-byte", "FW:*"]),
}

TIMES = re.compile(r"\d{8}T\d{6}Z|\d{8}-\d{6}")


def neutral(text, places):
    """Text with the run's own folders named by role, its times as TIME."""
    for path, name in places:
        text = text.replace(str(path), name)
    return TIMES.sub("TIME", text)


def comparable(report, places):
    """The report without its times, the run's own folders named by role."""
    report = dict(report)
    for key in ("started", "ended", "durationSeconds"):
        report.pop(key)
    return json.loads(neutral(json.dumps(report, sort_keys=True, indent=1), places))


def run_cli(sim, state, args, cwd):
    return subprocess.Popen(
        [str(BIN_DIR / "orvexconf"), "-rp", sim.port, "-b", "--report", "-", "--backup-dir",
         str(state), *map(str, args)], cwd=cwd, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
        env=dict(os.environ, XDG_STATE_HOME=str(cwd / "xdg")))


def report_of(given):
    if isinstance(given, orvex.Error):
        return given.report
    return given.report


@pytest.mark.parametrize("case", CASES)
def test_same_as_tool(case, work, sims, monkeypatch):
    row = CASES[case]
    files = make_files(work / "files")
    api_dir, cli_dir = work / "api", work / "cli"
    api_sim, cli_sim = sims(api_dir, *row.sim), sims(cli_dir, *row.sim)
    cli = run_cli(cli_sim, cli_dir / "state", row.cli(files), cli_dir)
    monkeypatch.chdir(api_dir)  # rescue files land in the current folder
    try:
        with orvex.connect(api_sim.port, backup_dir=api_dir / "state") as controller:
            given = row.api(controller, files)
    except orvex.Error as error:
        given = error
    out, err = cli.communicate(timeout=300)
    assert cli.returncode == row.status, err

    status = given.status if isinstance(given, orvex.Error) else 0
    assert status == (row.status if row.status != 10 else 0)
    report = report_of(given)
    jsonschema.validate(report, SCHEMA)
    places = lambda d: [(d / "state", "STATE"), (d, "WORK"), (os.path.realpath(d), "WORK")]
    assert comparable(report, places(api_dir)) == comparable(json.loads(out), places(cli_dir))
    if isinstance(given, orvex.Error):  # the tool's words, as it printed them
        printed = neutral(err, places(cli_dir))
        assert given.message and all(line in printed for line
                                     in neutral(given.message, places(api_dir)).splitlines())
    if isinstance(given, orvex.WriteError):
        assert not given.refused and given.result.rescue_files
    if case == "write":
        assert [str(c) for c in given.changes] == ["Name: 'simbot' -> 'Rover7'", "HostBaud: 0 -> 4"]
        assert given.verified and os.path.isfile(given.backup)
    if case == "check":
        assert given.changed and [c.keyword for c in given] == ["Name"]
    if case == "read":
        assert given["Name"] == "simbot" and len(given.sha256) == 64


def test_refusals_before_anything_is_sent(work, sims):
    sim = sims(work / "sim")
    lines = []
    orvex.set_log(lambda level, text: lines.append(text))
    try:
        controller = orvex.connect(sim.port, backup_dir=work / "state")
    finally:
        orvex.set_log(None)
    # The operator's lines of a connection, none of the library's set-up.
    assert "Reading FLASH parameters from controller." in lines
    assert not [line for line in lines if "Error" in line]
    with controller:
        assert controller.identity.verdict == "known" and controller.warnings == []
        for bad, cls in (({"HostBaud": 9}, orvex.ArgumentError),
                         ({"HostBuad": 4}, orvex.UnknownKeywordError)):
            with pytest.raises(cls):
                controller.write(bad)
        with pytest.raises(orvex.UsageError):
            controller.write({"Name": "x"}, rop=work / "x.rop")
        with pytest.raises(orvex.ReadError):
            controller.write(rop=work / "none.rop")
        with pytest.raises(orvex.UploadError) as raised:
            controller.upload(work / "none.mot")
        assert raised.value.report["exitStatus"] == 5
        # The port is this controller's: a second one is turned away with
        # the command line's words only.
        with pytest.raises(orvex.ConnectError) as raised:
            orvex.connect(sim.port)
        assert raised.value.message.startswith(f"Port '{sim.port}' is in use by another program")
    assert not controller.connected
    assert not (work / "state" / "journal.jsonl").exists()  # nothing was erased
    with pytest.raises(orvex.ConnectError) as raised:
        orvex.connect(work / "nothing-here")
    assert raised.value.report["exitStatusName"] == "no-connection"


KILLED = """
import orvex, sys
with orvex.connect(sys.argv[1], backup_dir=sys.argv[2]) as robot:
    robot.write({"Name": "Cut"})
"""


def test_killed_mid_write_then_warned(work, sims):
    # The write stalls after its third piece; the Python process is killed
    # there, as a crash or a power cut would end it.
    state = work / "state"
    sim = sims(work / "a", "--stall", "FW:3", state="../controller.mem")
    child = subprocess.Popen([sys.executable, "-c", KILLED, sim.port, str(state)],
                             stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while not sim.said("stalled after carrying out"):
        assert child.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    child.send_signal(signal.SIGKILL)
    assert child.wait(timeout=10) == -signal.SIGKILL
    sim.stop()
    # The next call, then the next command-line run, on the same port.
    sim = sims(work / "a", state="../controller.mem")
    with orvex.connect(sim.port, backup_dir=state) as robot:
        warnings = robot.warnings
        with pytest.raises(orvex.WriteError) as raised:
            robot.write({"Name": "Again"})
        assert raised.value.refused
    sim.stop()
    sim = sims(work / "a", state="../controller.mem")
    cli = run_cli(sim, state, [], work)
    out, _ = cli.communicate(timeout=120)
    assert cli.returncode == 0
    assert any("did not finish" in line for line in warnings)
    assert warnings == json.loads(out)["warnings"]
    # Once the operator says the block is as it should be, writes go on.
    with orvex.connect(sim.port, backup_dir=state, dismiss_unfinished=True) as robot:
        assert robot.write({"Name": "Again"}).verified


THREADS = """
import json, orvex, sys, threading
results = {}

def drive(n, port, state):
    with orvex.connect(port, backup_dir=state) as robot:
        results[n] = robot.write({"Name": f"Robot{n}"}).report

threads = [threading.Thread(target=drive, args=(n, port, sys.argv[2] + str(n)))
           for n, port in enumerate(sys.argv[1].split(","))]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join(timeout=120)
print(json.dumps(results))
"""


def test_controllers_in_threads_silently(work, sims):
    # Two controllers at once, each in a thread of its own, in a process
    # whose standard output holds only what it printed itself.
    ports = [sims(work / f"s{n}").port for n in range(2)]
    run = subprocess.run([sys.executable, "-c", THREADS, ",".join(ports), str(work / "state")],
                         cwd=work, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    reports = json.loads(run.stdout)
    assert sorted(reports) == ["0", "1"]
    for n, report in reports.items():
        assert report["exitStatus"] == 0 and report["block"]["verified"]
        assert report["controller"]["intendedRobotName"] == f"Robot{n}"
        assert report["port"] == ports[int(n)]
