# SPDX-License-Identifier: MIT
# The Python module without a controller: parameter files, block images,
# firmware images and ports, held to what orvexconf -n does with the same
# files; its exceptions, its silence, and its log.
import json
import logging
import subprocess
import sys
import threading

import pytest

import orvex
from conftest import PARAMS, SOURCE_DIR, run_tool

SAMPLE_ROP = PARAMS / "sample.rop"
SAMPLE_MOT = PARAMS / "sample.mot"


def write(path, text):
    path.write_text(text)
    return path


# Each failure: the API call, the command line that does the same, the
# exception the call raises, and whether its message is the lines the tool
# printed (a parameter file's fault is told in one sentence naming file and
# line, where the tool prints its parser's lines). The call's status is the
# tool's exit status.
FAILURES = {
    "image with a bad checksum": (
        lambda w: orvex.inspect_image(write(w / "bad.mot", "S1130000FFFF\nS9030000FC\n")),
        lambda w: ["-n", "-b", "-u", w / "bad.mot"], orvex.UploadError, True),
    "image missing": (
        lambda w: orvex.inspect_image(w / "none.hex"),
        lambda w: ["-n", "-b", "-u", w / "none.hex"], orvex.UploadError, True),
    "raw image without base": (
        lambda w: orvex.inspect_image(write(w / "raw.bin", "\x01\x02")),
        lambda w: ["-n", "-b", "-u", w / "raw.bin"], orvex.UploadError, True),
    "restore file refusing a value": (
        lambda w: orvex.load_rop(write(w / "bad.rop", "Name R1\nHostBaud 9\n")),
        lambda w: ["-n", "-b", "-r", w / "bad.rop"], orvex.ReadError, False),
    "restore file missing": (
        lambda w: orvex.load_rop(w / "none.rop"),
        lambda w: ["-n", "-b", "-r", w / "none.rop"], orvex.ReadError, False),
    "block image too short": (
        lambda w: orvex.load_block(write(w / "short.blk", "x" * 100)),
        lambda w: ["-n", "-b", "-restoreBlock", w / "short.blk"], orvex.ReadError, False),
}


@pytest.mark.parametrize("case", FAILURES)
def test_failure_as_the_tool(work, case):
    call, argv, cls, same_words = FAILURES[case]
    with pytest.raises(orvex.Error) as raised:
        call(work)
    error = raised.value
    assert type(error) is cls
    status, out, err = run_tool(*argv(work), cwd=work)
    assert error.status == status
    assert error.report is None
    assert error.message and error.file
    for line in error.message.splitlines() if same_words else []:
        assert line in out + err, f"{line!r} not in the tool's output:\n{out}{err}"


def test_refused_line_names_file_and_line(work):
    with pytest.raises(orvex.ReadError) as raised:
        orvex.load_rop(write(work / "bad.rop", "Name R1\n\nHostBaud 9\n"))
    assert raised.value.file == str(work / "bad.rop")
    assert raised.value.line == 3
    with pytest.raises(orvex.UploadError) as raised:
        orvex.inspect_image(write(work / "bad.mot", "S9030000FC\nS1130000FFFF\n"))
    assert raised.value.line is not None


def test_values_checked_with_the_tools_words():
    params = orvex.load_rop(SAMPLE_ROP)
    before = dict(params)
    cases = [("HostBaud", 9, orvex.ArgumentError, "Value for HostBaud must be an integer <= 4."),
             ("HostBaud", "fast", orvex.ArgumentError, None),
             ("HostBaud", True, orvex.ArgumentError, None),
             ("HostBuad", 4, orvex.UnknownKeywordError,
              "Unknown keyword 'HostBuad' (did you mean 'HostBaud'?).")]
    for keyword, value, cls, text in cases:
        with pytest.raises(cls) as raised:
            params[keyword] = value
        assert raised.value.status == 7
        if text is not None:
            assert raised.value.message == text
    assert dict(params) == before  # nothing refused was taken
    # An unknown keyword is also a KeyError, so the mapping behaves.
    assert params.get("HostBuad") is None and "HostBuad" not in params
    with pytest.raises(KeyError):
        params["HostBuad"]
    # Any letter case; values typed.
    assert params["hostbaud"] == params["HostBaud"] == 0 and params["Name"] == "demo-bot"


def test_edit_and_save_as_the_tool(work):
    params = orvex.load_rop(SAMPLE_ROP)
    edited = params.copy()
    edited.update(HostBaud=4, Name="Rover 7")
    assert [str(c) for c in params.changes_to(edited)] == ["Name: 'demo-bot' -> 'Rover 7'",
                                                           "HostBaud: 0 -> 4"]
    assert params["HostBaud"] == 0  # the copy changed apart
    orvex.save_rop(edited, work / "api.rop")
    status, out, err = run_tool("-n", "-b", "-r", SAMPLE_ROP, "HostBaud", "4", "Name", "Rover 7",
                                "-s", work / "tool.rop", cwd=work)
    assert status == 0, out + err
    assert (work / "api.rop").read_bytes() == (work / "tool.rop").read_bytes()
    # Not replaced unless asked; replaced when asked.
    with pytest.raises(orvex.SaveError) as raised:
        orvex.save_rop(params, work / "api.rop")
    assert raised.value.status == 9 and "api.rop" in raised.value.message
    orvex.save_rop({"Name": "R9"}, work / "api.rop", replace=True)
    assert orvex.load_rop(work / "api.rop")["Name"] == "R9"


@pytest.mark.parametrize("name", ["copy.blk", "copy.json", "copy.yaml"])
def test_formats_round_trip(work, name):
    params = orvex.load_rop(SAMPLE_ROP)
    params["Name"] = "R7"
    orvex.save_rop(params, work / name)
    again = orvex.load_rop(work / name)
    assert {keyword: again[keyword] for keyword in params} == dict(params)
    assert orvex.parameters_from_block(again.block()).block() == again.block()


def test_image_as_the_tool(work):
    info = orvex.inspect_image(SAMPLE_MOT)
    status, out, _ = run_tool("-n", "-b", "-u", SAMPLE_MOT, cwd=work)
    assert status == 0
    assert info.summary and all(line in out for line in info.summary)
    assert info.sha256 in out and len(info.sha256) == 64
    assert info.format == "Motorola S-records" and info.ranges == [(0x8000, 0x8100)]
    assert [b.index for b in info.blocks] == [8]
    # A raw binary image at its base, the base as text or a number.
    (work / "fw.bin").write_bytes(bytes(range(256)))
    assert orvex.inspect_image(work / "fw.bin", "0x8000") == orvex.inspect_image(work / "fw.bin",
                                                                                  0x8000)
    for base in (0x40000, -1, "zz", 1.5):
        with pytest.raises(orvex.UsageError) as raised:
            orvex.inspect_image(work / "fw.bin", base)
        assert "is not a load address for --base" in raised.value.message


def test_ports(work):
    (work / "dev").mkdir()
    assert orvex.list_ports(work / "dev", work / "sys") == []
    with pytest.raises(orvex.ConnectError) as raised:
        orvex.check_port(str(work / "dev" / "ttyUSB7"))
    assert "no such port" in raised.value.message
    with pytest.raises(orvex.UsageError):
        orvex.check_port("rfc2217://")


# Run in a fresh interpreter: nothing reaches standard output or standard
# error, failures included, unless a log function is set.
SILENT = """
import orvex, sys
for call in (lambda: orvex.load_rop("none.rop"), lambda: orvex.inspect_image("none.mot"),
             lambda: orvex.check_port("/nonexistent/tty")):
    try:
        call()
    except orvex.Error:
        pass
params = orvex.load_rop(sys.argv[1])
try:
    params["HostBaud"] = 9
except orvex.ArgumentError:
    pass
"""


def test_silent_unless_asked(work):
    run = subprocess.run([sys.executable, "-c", SILENT, str(SAMPLE_ROP)], cwd=work,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stdout == "" and run.stderr == ""


def test_log_function_and_logging(work, caplog):
    lines = []
    try:
        orvex.set_log(lambda level, text: lines.append((level, text)), "normal")
        with pytest.raises(orvex.UploadError):
            orvex.inspect_image(work / "none.mot")
        assert (orvex.LogLevel.TERSE, f"Cannot open file '{work / 'none.mot'}' for download.") \
            in lines
        # A function that calls the module while it is handed a line.
        def reentrant(level, text):
            lines.append((level, text))
            if len(lines) < 3:
                orvex.list_ports(work, work)
        orvex.set_log(reentrant)
        with pytest.raises(orvex.ReadError):
            orvex.load_rop(work / "none.rop")
        orvex.set_log(logging.getLogger("orvex-test"), orvex.LogLevel.VERBOSE)
        with caplog.at_level(logging.DEBUG, logger="orvex-test"):
            orvex.inspect_image(SAMPLE_MOT)
        assert any(r.levelno == logging.INFO and r.message.startswith("Image ")
                   for r in caplog.records)
        with pytest.raises(orvex.UsageError):
            orvex.set_log(print, "loud")
    finally:
        orvex.set_log(None)
    count = len(lines)
    with pytest.raises(orvex.ReadError):
        orvex.load_rop(work / "none.rop")
    assert len(lines) == count


def test_threads_each_get_their_own_failures(work):
    # Eight threads at once, the lock let go while files are read: each
    # failure names its own file.
    errors = {}

    def fail(n):
        for _ in range(20):
            try:
                orvex.load_rop(work / f"none{n}.rop")
            except orvex.ReadError as error:
                errors.setdefault(n, set()).add(error.message)
            orvex.inspect_image(SAMPLE_MOT)

    threads = [threading.Thread(target=fail, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert sorted(errors) == list(range(8))
    for n, messages in errors.items():
        assert len(messages) == 1 and f"none{n}.rop" in messages.pop()


def test_what_objects_say():
    keywords = orvex.keywords()
    host = next(k for k in keywords if k.keyword == "HostBaud")
    assert (host.table, host.text, host.minimum, host.maximum) == ("robot", False, 0, 4)
    assert "Name" in repr(orvex.load_rop(SAMPLE_ROP))
    error = orvex.WriteError("x", 8, refused=True)
    assert error.refused and error.status_name == "flash-write"
    assert orvex.Interrupted("x", 130).signal == 2
    assert json.loads(json.dumps({"v": orvex.__version__}))["v"] == orvex.__version__
    assert orvex.Parameters.__doc__ and orvex.load_rop.__doc__ and orvex.Error.__doc__
    assert SOURCE_DIR.exists()
