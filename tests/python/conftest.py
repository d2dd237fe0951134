# SPDX-License-Identifier: MIT
# What the tests of the Python module share: the built programs and sources
# (from CTest's environment), and a scratch folder per test.
import os
import pathlib
import subprocess

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
