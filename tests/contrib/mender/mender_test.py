#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The Mender Update Modules orvex-params and orvex-firmware driven by the
real Mender client (standalone mode: mender install, commit, rollback)
against a simulated controller.

Runs in a private mount namespace: a scratch folder is bind-mounted over
/etc/mender (configuration, artifact signing key) and over
/usr/share/mender/modules/v3 (the two modules), and the client keeps its
data in the scratch folder (--data), so nothing of the machine changes.
Artifacts are built with contrib/mender/orvex-mender-artifact and signed
with a throwaway key; the client takes only signed artifacts.

Cases: a parameter artifact installs; the same artifact again sends no
erase, write or "FR"; a controller that changes a byte of what is written
fails the install, and the rollback gives back the old block exactly; a
firmware artifact installs, installs again without writing, and one that
carries the previous image rolls back to it; an unsigned or tampered
artifact never reaches the tool.

Usage: mender_test.py --bin-dir BUILD/bin --source-dir SOURCE
"""

import argparse
import gzip
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from engine_harness import (BLOCK, Simulator, bind, check, enter_private_namespace, finish,  # noqa: E402
                            require_programs, scratch, srecord_image)

MODULES = "/usr/share/mender/modules/v3"
DEVICE_TYPE = "orvex-robot"


class Mender:
    """The Mender client in standalone mode over a scratch configuration."""

    def __init__(self, args, folder):
        self.args = args
        self.folder = folder
        self.data = os.path.join(folder, "data")
        etc = os.path.join(folder, "etc-mender")
        modules = os.path.join(folder, "modules")
        for path in (self.data, etc, modules):
            os.makedirs(path)
        for module in ("orvex-firmware", "orvex-params"):
            shutil.copy2(os.path.join(args.source_dir, "contrib", "mender", module), modules)
        self.key = os.path.join(folder, "signing-key.pem")
        run(["openssl", "ecparam", "-genkey", "-name", "prime256v1", "-noout", "-out", self.key])
        run(["openssl", "ec", "-in", self.key, "-pubout", "-out", os.path.join(etc, "artifact-verify-key.pem")])
        with open(os.path.join(etc, "mender.conf"), "w") as f:
            json.dump({"ArtifactVerifyKey": "/etc/mender/artifact-verify-key.pem"}, f)
        with open(os.path.join(etc, "artifact_info"), "w") as f:
            f.write("artifact_name=factory\n")
        with open(os.path.join(self.data, "device_type"), "w") as f:
            f.write("device_type=%s\n" % DEVICE_TYPE)
        bind(etc, "/etc/mender")
        bind(modules, MODULES)
        self.env = dict(os.environ,
                        ORVEXCONF=os.path.join(args.bin_dir, "orvexconf"),
                        ORVEXCONF_UPDATE=os.path.join(args.source_dir, "contrib", "engines", "orvexconf-update"),
                        ORVEXCONF_STATE_DIR=os.path.join(folder, "state"))
        self.built = 0

    def artifact(self, kind, *options, sign=True):
        """Builds an artifact with the project's builder; returns its path."""
        self.built += 1
        out = os.path.join(self.folder, "%s-%d.mender" % (kind, self.built))
        argv = [os.path.join(self.args.source_dir, "contrib", "mender", "orvex-mender-artifact"), kind,
                "-n", "%s-%d" % (kind, self.built), "-t", DEVICE_TYPE, "-o", out] + list(options)
        if sign:
            argv += ["-k", self.key]
        done = run(argv, env=self.env)
        check(done.returncode == 0 and os.path.isfile(out), "orvex-mender-artifact builds %s" % os.path.basename(out))
        return out

    def client(self, *argv):
        """Runs 'mender ARGV'; returns the process with its log."""
        return run(["mender", "--no-syslog", "-l", "info", "--data", self.data] + list(argv), env=self.env,
                   echo_filter="orvexconf")


def run(argv, env=None, echo_filter=None):
    print("$ " + " ".join(argv), flush=True)
    done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    output = done.stdout + done.stderr
    for line in output.splitlines():
        if echo_filter is None or echo_filter in line or "level=error" in line:
            print("  " + line[:400])
    return done


def reports(log):
    """The run reports the modules wrote into the deployment log: the
    client quotes each output line of a module as msg="..."."""
    found = []
    for quoted in re.findall(r'msg="((?:[^"\\]|\\.)*)"', log):
        try:
            message = json.loads('"%s"' % quoted)
        except ValueError:
            continue
        for line in message.splitlines():
            at = line.find("orvexconf report: ")
            if at >= 0:
                try:
                    found.append(json.loads(line[at + len("orvexconf report: "):]))
                except ValueError:
                    found.append(None)
    return found


def tampered(source, target):
    """A copy of a signed artifact whose payload has one byte changed (the
    archives around it rebuilt, so only the checksums can tell)."""
    with tarfile.open(source) as outer, tarfile.open(target, "w") as out:
        for member in outer.getmembers():
            data = outer.extractfile(member).read()
            if member.name.startswith("data/"):
                inner_in = tarfile.open(fileobj=io.BytesIO(gzip.decompress(data)))
                buffer = io.BytesIO()
                with tarfile.open(fileobj=buffer, mode="w") as inner_out:
                    for item in inner_in.getmembers():
                        payload = bytearray(inner_in.extractfile(item).read())
                        payload[len(payload) // 2] ^= 0x01
                        item.size = len(payload)
                        inner_out.addfile(item, io.BytesIO(bytes(payload)))
                data = gzip.compress(buffer.getvalue())
                member.size = len(data)
            out.addfile(member, io.BytesIO(data))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    args.bin_dir, args.source_dir = os.path.abspath(args.bin_dir), os.path.abspath(args.source_dir)
    require_programs(["mender", "mender-artifact", "openssl", "mount"])
    enter_private_namespace()
    folder = scratch("orvexmender-")
    sim = Simulator(args.bin_dir, folder)
    try:
        mender = Mender(args, folder)
        sim.start()
        port = ["-p", sim.link]

        # A parameter artifact: a .rop file and a keyword value.
        rop = os.path.join(folder, "rover.rop")
        with open(rop, "w") as f:
            f.write("Name menderbot\n")
        params = mender.artifact("params", rop, "--set", "JoyVelMax", "600", *port)
        before = sim.block()
        sim.set_mark()
        done = mender.client("install", params)
        block = sim.block()
        check(done.returncode == 0 and block != before, "first install of the parameter artifact ends 0")
        check(block[141:151] == b"menderbot\0" and block[296:298] == (600).to_bytes(2, "big"),
              "the controller's block holds Name menderbot and JoyVelMax 600")
        check(len(sim.commands_since_mark("FE")) == 1, "the first install erases the block once")
        found = reports(done.stderr)
        check(len(found) == 2 and all(r and r.get("schema") == "orvexconf-report/1" for r in found)
              and found[0]["exitStatus"] == 10 and found[1]["exitStatus"] == 0,
              "the deployment log carries both run reports (compare: 10, write: 0)")
        check(mender.client("commit").returncode == 0, "mender commit ends 0")

        # The same artifact again: compared, nothing erased or written.
        sim.set_mark()
        done = mender.client("install", params)
        check(done.returncode == 0, "the same parameter artifact again ends 0")
        check(not sim.commands_since_mark("FE", "FW", "FR"), "... and sends no FE, FW or FR")
        check("already holds this update" in done.stderr, "... and the log says nothing was written")
        check(sim.block() == block, "... and the block is unchanged")
        mender.client("commit")

        # A controller that changes one byte of the first write and loses a
        # piece of the tool's second try: the install fails, and the
        # rollback's own write (clean) gives the old block back.
        sim.start("--flip-byte", "FW:1", "--lose-write", "FW:33")
        with open(rop, "w") as f:
            f.write("Name flipbot\n")
        flipped = mender.artifact("params", rop, *port)
        sim.set_mark()
        done = mender.client("install", flipped)
        check(done.returncode != 0, "install on a controller that changes a byte fails (status %d)" % done.returncode)
        check("read back differs from what was written" in done.stderr and "FAILED" in done.stderr,
              "... with the tool's own words in the deployment log")
        check(len(sim.commands_since_mark("FE")) == 3,
              "... after the tool erased the block twice, and the rollback once more")
        check("rolled back: the controller on" in done.stderr, "... and the module rolls it back")
        check(sim.block() == block, "... and the rollback gives back the old block exactly")
        shown = mender.client("show-artifact")
        check(shown.stdout.strip() == "params-1", "the client still shows the last good artifact (%s)"
              % shown.stdout.strip())
        sim.start()

        # Firmware: installed once, then again without a write; a later one
        # that carries the previous image rolls back to it.
        v1 = os.path.join(folder, "orvex-3.0.mot")
        v2 = os.path.join(folder, "orvex-3.1.mot")
        image_v1 = srecord_image(v1, "ORVEX firmware v3.0 ")
        srecord_image(v2, "ORVEX firmware v3.1 ")
        firmware = mender.artifact("firmware", v1, *port)
        done = mender.client("install", firmware)
        memory = sim.memory()
        check(done.returncode == 0 and memory[0x9000:0x9200] == image_v1, "firmware artifact installs the image")
        check("Use 'commit' to update" not in done.stdout, "without a previous image it commits at once")
        sim.set_mark()
        done = mender.client("install", firmware)
        check(done.returncode == 0 and not sim.commands_since_mark("FE", "FW", "FR"),
              "the same firmware artifact again ends 0 and sends no FE, FW or FR")
        upgrade = mender.artifact("firmware", v2, "--previous", v1, *port)
        done = mender.client("install", upgrade)
        check(done.returncode == 0 and sim.memory()[0x9000:0x9014] == b"ORVEX firmware v3.1 ",
              "a firmware artifact with its previous image installs")
        done = mender.client("rollback")
        check(done.returncode == 0 and sim.memory() == memory,
              "mender rollback uploads the previous image: the memory is as before")

        # Unsigned and tampered artifacts are refused before the tool runs.
        unsigned = mender.artifact("params", rop, *port, sign=False)
        bad = os.path.join(folder, "tampered.mender")
        tampered(params, bad)
        for artifact, what in ((unsigned, "an unsigned artifact"), (bad, "a tampered artifact")):
            sim.set_mark()
            done = mender.client("install", artifact)
            check(done.returncode != 0, "%s is refused (status %d)" % (what, done.returncode))
            check(sim.untouched_since_mark() and "orvexconf-update: compare" not in done.stderr,
                  "... and the tool never runs")
        check(sim.block() == block, "the block is still the one the first install wrote")

        # A backup that no longer matches the journal's SHA-256 is never
        # written back: the rollback fails before it opens the port.
        record = os.path.join(folder, "record")
        os.makedirs(record)
        altered = os.path.join(folder, "altered.blk")
        changed = bytearray(block)
        changed[200] ^= 0x01
        with open(altered, "wb") as f:
            f.write(bytes(changed))
        with open(os.path.join(record, "install.json"), "w") as f:
            json.dump({"kind": "params", "port": sim.link, "written": True, "backup": altered,
                       "old_sha256": hashlib.sha256(block).hexdigest()}, f)
        sim.set_mark()
        done = run([mender.env["ORVEXCONF_UPDATE"], "rollback", "--record", record], env=mender.env)
        check(done.returncode == 1 and "does not match the journal" in done.stderr and sim.untouched_since_mark(),
              "a backup whose SHA-256 is not the journal's is refused, the controller untouched")
    finally:
        sim.stop()
    return finish(folder)


if __name__ == "__main__":
    sys.exit(main())
