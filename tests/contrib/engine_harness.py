# SPDX-License-Identifier: MIT
"""What the update-engine tests share: checks, the private mount namespace
they run in, a scratch folder, firmware images and a simulated controller
(orvexsim) started and stopped by process id, whose log tells which
commands reached it and whose state file holds its memory."""

import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

failures = []
BLOCK = slice(0x7000, 0x8000)
NAMESPACE_MARK = "ORVEX_ENGINE_TEST_NAMESPACE"


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def require_programs(names):
    """Fails the test, with the reason, when a program it runs is missing."""
    missing = [name for name in names if not shutil.which(name)]
    if missing:
        print("cannot run: %s not found (scripts/deps.sh installs them)" % ", ".join(missing), flush=True)
        sys.exit(1)


def enter_private_namespace():
    """Runs the rest of the test in a mount namespace of its own, so that its
    bind mounts over the engine's folders vanish with it. Re-executes the
    script under 'unshare --mount'; fails with the reason when that cannot be
    done (it needs root, as CI has)."""
    if os.environ.get(NAMESPACE_MARK) == str(os.getpid()):
        return
    if not shutil.which("unshare"):
        print("cannot run: unshare not found (util-linux)", flush=True)
        sys.exit(1)
    env = dict(os.environ)
    argv = ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
            'export %s=$$; exec "$@"' % NAMESPACE_MARK, "sh", sys.executable] + sys.argv
    done = subprocess.run(argv, env=env)
    if done.returncode == 1 and os.geteuid() != 0:
        print("cannot run: a private mount namespace needs root (unshare --mount); run the test as root",
              flush=True)
    sys.exit(done.returncode)


def bind(source, target):
    """Bind-mounts SOURCE over TARGET inside the private namespace."""
    done = subprocess.run(["mount", "--bind", source, target], capture_output=True, text=True)
    if done.returncode != 0:
        print("cannot run: mount --bind %s %s: %s" % (source, target, done.stderr.strip()), flush=True)
        sys.exit(1)


def scratch(prefix):
    return tempfile.mkdtemp(prefix=prefix)


def finish(folder):
    if failures:
        print("%d check(s) failed:\n  " % len(failures) + "\n  ".join(failures))
        print("scratch folder kept: " + folder)
        return 1
    shutil.rmtree(folder, ignore_errors=True)
    print("all checks passed")
    return 0


def srecord_image(path, text, address=0x9000, size=512):
    """An S-record image of SIZE bytes at ADDRESS, TEXT repeated."""
    data = (text * (size // len(text) + 1)).encode()[:size]
    lines = ["S0030000FC"]
    for at in range(0, len(data), 32):
        chunk = data[at:at + 32]
        where = address + at
        body = bytes([len(chunk) + 3, where >> 8, where & 0xFF]) + chunk
        lines.append("S1" + body.hex().upper() + "%02X" % (~sum(body) & 0xFF))
    lines.append("S9030000FC")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return data


class Simulator:
    """One orvexsim with a link, a state file and a log of its own."""

    def __init__(self, bin_dir, folder, name="robot"):
        self.program = os.path.join(bin_dir, "orvexsim")
        self.link = os.path.join(folder, name + ".port")
        self.state = os.path.join(folder, name + ".mem")
        self.log = os.path.join(folder, name + ".log")
        self.process = None
        self.mark = 0

    def start(self, *faults):
        self.stop()
        with open(self.log, "a") as log:
            self.process = subprocess.Popen([self.program, "-v", "--link", self.link, "--state", self.state]
                                            + list(faults), stdout=subprocess.PIPE, stderr=log, text=True)
        self.process.stdout.readline()  # the terminal's path: the simulator is ready
        check(os.path.exists(self.link), "simulator up on %s %s" % (self.link, " ".join(faults)))
        self.mark = os.path.getsize(self.log)

    def stop(self):
        """Stops it by its process id; it saves its memory on the way out."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def set_mark(self):
        self.mark = os.path.getsize(self.log)

    def lines_since_mark(self):
        with open(self.log, errors="replace") as f:
            f.seek(self.mark)
            return f.read().splitlines()

    def commands_since_mark(self, *prefixes):
        """The monitor commands received since the mark whose text starts
        with one of PREFIXES."""
        found = []
        for line in self.lines_since_mark():
            m = re.search(r'<- command "([^"]*)"', line)
            if m and m.group(1).startswith(prefixes):
                found.append(m.group(1))
        return found

    def untouched_since_mark(self):
        """No program opened the port since the mark."""
        return not any("host opened the port" in line for line in self.lines_since_mark())

    def memory(self):
        """The memory once the simulator has saved it (300 ms after the line
        goes quiet)."""
        time.sleep(0.6)
        with open(self.state, "rb") as f:
            return f.read()

    def block(self):
        return self.memory()[BLOCK]


def sha256(data):
    return hashlib.sha256(data).hexdigest()
