# SPDX-License-Identifier: MIT
# What the tests of the Python module share: the built programs and sources
# (from CTest's environment), and a scratch folder per test.
import os
import pathlib
import subprocess
import time

import pytest

BIN_DIR = pathlib.Path(os.environ.get("ORVEX_BIN_DIR", "build-ci/bin"))
SOURCE_DIR = pathlib.Path(os.environ.get("ORVEX_SOURCE_DIR", "."))
PARAMS = SOURCE_DIR / "params"


def run_tool(*args, cwd, env=None, timeout=120):
    """Runs the built orvexconf; its status and its output."""
    run = subprocess.run([str(BIN_DIR / "orvexconf"), *map(str, args)], cwd=cwd, env=env,
                         capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    return run.returncode, run.stdout, run.stderr


@pytest.fixture
def work(tmp_path, monkeypatch):
    """A scratch folder, the current folder and the state folder of the test."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
    return tmp_path


class Sim:
    """orvexsim on a pseudo-terminal of its own, reached through a link in
    folder; stopped by its process id."""

    def __init__(self, folder, *options, state="controller.mem"):
        self.folder = pathlib.Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.port = str(self.folder / "robot")
        self.log = self.folder / "sim.log"
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [str(BIN_DIR / "orvexsim"), "--link", self.port, "--state",
                 str(self.folder / state), "-v", *options],
                stdout=subprocess.DEVNULL, stderr=log, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.port):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"orvexsim did not start: {self.log.read_text()}")
            time.sleep(0.02)

    def said(self, text):
        return text in self.log.read_text(errors="replace")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)


@pytest.fixture
def sims():
    """Starts simulators; stops every one at the end of the test."""
    started = []

    def start(folder, *options, **kwargs):
        sim = Sim(folder, *options, **kwargs)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()
