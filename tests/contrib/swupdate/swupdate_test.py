#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The SWUpdate handler "orvexconf" driven by the real swupdate (local
install, swupdate -i) against a simulated controller.

Runs in a private mount namespace with everything of SWUpdate's in a
scratch folder: its configuration (contrib/swupdate/swupdate.cfg with the
signer's certificate path pointed there), its working folder (TMPDIR) and
the handler (LUA_PATH to contrib/swupdate), so nothing of the machine
changes. Images are built with contrib/swupdate/orvex-swu and signed (CMS)
with a throwaway key; SWUpdate's own signature check stays on.

Cases: a parameter image installs and swupdate ends 0; the same image again
sends no erase, write or "FR"; a controller that changes a byte of what is
written fails the install, swupdate ends non-zero, and the handler gives
back the old block exactly; a firmware image installs; an unsigned or
tampered image never reaches the tool.

Usage: swupdate_test.py --bin-dir BUILD/bin --source-dir SOURCE
"""

import argparse
import hashlib
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from engine_harness import (Simulator, check, enter_private_namespace, finish, require_programs,  # noqa: E402
                            scratch, srecord_image)

HARDWARE = "orvex-robot:1.0"


class SWUpdate:
    def __init__(self, args, folder):
        self.args = args
        self.folder = folder
        self.contrib = os.path.join(args.source_dir, "contrib", "swupdate")
        self.tmp = os.path.join(folder, "swupdate-tmp")
        os.makedirs(self.tmp)
        self.key = os.path.join(folder, "signer.key")
        self.cert = os.path.join(folder, "signer.crt")
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", self.cert,
             "-subj", "/CN=orvexconf test signer", "-days", "2"])
        with open(os.path.join(self.contrib, "swupdate.cfg")) as f:
            config = f.read()
        check("/etc/swupdate/orvex-signer.crt" in config, "the example configuration names the signer's certificate")
        self.config = os.path.join(folder, "swupdate.cfg")
        with open(self.config, "w") as f:
            f.write(config.replace("/etc/swupdate/orvex-signer.crt", self.cert).replace("syslog = true", "syslog = false"))
        self.env = dict(os.environ, TMPDIR=self.tmp, LUA_PATH=os.path.join(self.contrib, "?.lua") + ";;",
                        ORVEXCONF=os.path.join(args.bin_dir, "orvexconf"),
                        ORVEXCONF_UPDATE=os.path.join(args.source_dir, "contrib", "engines", "orvexconf-update"),
                        ORVEXCONF_STATE_DIR=os.path.join(folder, "state"))
        self.built = 0

    def image(self, kind, *options):
        self.built += 1
        out = os.path.join(self.folder, "%s-%d.swu" % (kind, self.built))
        done = run([os.path.join(self.contrib, "orvex-swu"), kind, "--version", "1.%d" % self.built,
                    "--hardware", HARDWARE.split(":")[1], "--key", self.key, "--cert", self.cert, "-o", out]
                   + list(options), env=self.env)
        check(done.returncode == 0 and os.path.getsize(out) >= 1 << 20,
              "orvex-swu builds %s (padded to 1 MiB)" % os.path.basename(out))
        return out

    def install(self, image):
        return run(["swupdate", "-f", self.config, "-H", HARDWARE, "-i", image], env=self.env,
                   echo_filter=("orvexconf", "SWUpdate", "ERROR"))


def run(argv, env=None, echo_filter=None):
    print("$ " + " ".join(argv), flush=True)
    done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    for line in (done.stdout + done.stderr).splitlines():
        if echo_filter is None or any(word in line for word in echo_filter):
            print("  " + line[:400])
    return done


def members(path):
    """The members of a cpio "crc" archive: (name, data) in order."""
    with open(path, "rb") as f:
        raw = f.read()
    at, found = 0, []
    while raw[at:at + 6] == b"070702":
        fields = [int(raw[at + 6 + 8 * i:at + 14 + 8 * i], 16) for i in range(13)]
        size, name_size = fields[6], fields[11]
        name = raw[at + 110:at + 110 + name_size - 1].decode()
        at += 110 + name_size
        at += -at % 4
        if name == "TRAILER!!!":
            break
        found.append((name, raw[at:at + size]))
        at += size + (-size % 4)
    return found


def pack(path, items):
    """Writes a cpio "crc" archive of ITEMS (name, data)."""
    out = b""
    for name, data in list(items) + [("TRAILER!!!", b"")]:
        name_bytes = name.encode() + b"\0"
        fields = (0, 0o100644, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name_bytes), sum(data) & 0xFFFFFFFF)
        out += b"070702" + b"".join(b"%08X" % v for v in fields) + name_bytes
        out += b"\0" * (-len(out) % 4) + data + b"\0" * (-len(data) % 4)
    with open(path, "wb") as f:
        f.write(out + b"\0" * (-len(out) % 512))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    args.bin_dir, args.source_dir = os.path.abspath(args.bin_dir), os.path.abspath(args.source_dir)
    require_programs(["swupdate", "openssl"])
    enter_private_namespace()
    folder = scratch("orvexswupdate-")
    sim = Simulator(args.bin_dir, folder)
    try:
        swupdate = SWUpdate(args, folder)
        sim.start()
        port = ["-p", sim.link]

        rop = os.path.join(folder, "rover.rop")
        with open(rop, "w") as f:
            f.write("Name swubot\n")
        params = swupdate.image("params", rop, "--set", "JoyVelMax", "650", *port)
        sim.set_mark()
        done = swupdate.install(params)
        block = sim.block()
        check(done.returncode == 0, "a parameter image installs: swupdate ends 0 (%d)" % done.returncode)
        check(block[141:148] == b"swubot\0" and block[296:298] == (650).to_bytes(2, "big"),
              "the controller's block holds Name swubot and JoyVelMax 650")
        check(len(sim.commands_since_mark("FE")) == 1, "the install erases the block once")
        check('orvexconf report: {"block"' in done.stdout + done.stderr, "SWUpdate's log carries the run reports")

        sim.set_mark()
        done = swupdate.install(params)
        check(done.returncode == 0, "the same image again: swupdate ends 0")
        check(not sim.commands_since_mark("FE", "FW", "FR"), "... and sends no FE, FW or FR")
        check(sim.block() == block, "... and the block is unchanged")

        sim.start("--flip-byte", "FW:1", "--lose-write", "FW:33")
        with open(rop, "w") as f:
            f.write("Name flipbot\n")
        flipped = swupdate.image("params", rop, *port)
        sim.set_mark()
        done = swupdate.install(flipped)
        log = done.stdout + done.stderr
        check(done.returncode != 0, "install on a controller that changes a byte: swupdate ends non-zero (%d)"
              % done.returncode)
        check("read back differs from what was written" in log and "orvexconf-update: FAILED" in log,
              "... with the tool's own words in SWUpdate's log")
        check(len(sim.commands_since_mark("FE")) == 3,
              "... after the tool erased the block twice, and the handler's undo once more")
        check(sim.block() == block, "... and the handler gives back the old block exactly")
        sim.start()

        image = os.path.join(folder, "orvex-3.0.mot")
        data = srecord_image(image, "ORVEX firmware v3.0 ")
        firmware = swupdate.image("firmware", image, *port)
        done = swupdate.install(firmware)
        check(done.returncode == 0 and sim.memory()[0x9000:0x9200] == data,
              "a firmware image installs: swupdate ends 0 and the controller holds it")

        # Unsigned: no signature member. Tampered: the parameter file changed,
        # its archive checksum made right, so only the signed SHA-256 can tell.
        parts = members(params)
        unsigned = os.path.join(folder, "unsigned.swu")
        pack(unsigned, [m for m in parts if m[0] != "sw-description.sig"])
        bad = os.path.join(folder, "tampered.swu")
        pack(bad, [(n, d.replace(b"swubot", b"evilbt") if n == "rover.rop" else d) for n, d in parts])
        check(hashlib.sha256(dict(members(bad))["rover.rop"]).hexdigest()
              != hashlib.sha256(dict(parts)["rover.rop"]).hexdigest(), "the tampered copy differs in its file")
        for path, what in ((unsigned, "an unsigned image"), (bad, "a tampered image")):
            sim.set_mark()
            done = swupdate.install(path)
            check(done.returncode != 0, "%s is refused: swupdate ends non-zero (%d)" % (what, done.returncode))
            check(sim.untouched_since_mark() and "orvexconf-update: compare" not in done.stdout + done.stderr,
                  "... and the tool never runs")
    finally:
        sim.stop()
    return finish(folder)


if __name__ == "__main__":
    sys.exit(main())
