#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The orvexconf.fleet collection driven by the real ansible-playbook
against three simulated controllers on this machine.

Builds and installs the collection, renders both modules' documentation,
then runs playbooks over an inventory of three robots (local connection,
each with its own orvexsim): a check run writes nothing (no file, no
folder) and changes no robot that already holds the values, the first
apply changes all three, the second changes none, a refused value and a
controller that refuses every erase fail their robot only, diff mode shows
before and after, wrong option types get Ansible's own message, params that
the tool would take as options are refused with no controller and no file
written, and a firmware rollout uploads once and then changes nothing.

The checks come in parts that need nothing from each other, each with a
scratch folder, a collection and three simulators of its own, so that
they can run side by side: "docs" (the documentation, the option
types and the params refused as options), "params" (check, apply, idempotence and a block image put back),
"failures" (a value out of range, a controller that refuses the erase),
"firmware" (the rollout) and "example" (the collection's example
playbook). With no --part, all of them, one after another.

Usage: fleet_test.py --bin-dir BUILD/bin --source-dir SOURCE [--part NAME]...
"""

import argparse
import hashlib
import importlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROBOTS = ("robot1", "robot2", "robot3")
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Simulator:
    """One orvexsim with a link and a state file of its own."""

    def __init__(self, bin_dir, folder, name):
        self.program = os.path.join(bin_dir, "orvexsim")
        self.link = os.path.join(folder, name + ".port")
        self.state = os.path.join(folder, name + ".mem")
        self.process = None

    def start(self, *options):
        self.process = subprocess.Popen(
            [self.program, "--link", self.link, "--state", self.state] + list(options),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.process.stdout.readline()  # the terminal's path: the simulator is ready
        check(os.path.exists(self.link), "simulator %s is up (%s)" % (self.link, " ".join(options)))

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def memory(self):
        """The state file's digest once the simulator has saved what it holds
        (it saves 300 ms after the line goes quiet)."""
        time.sleep(0.6)
        return sha256(self.state)


class Fleet:
    def __init__(self, args):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="orvexfleet-")
        self.sims = {name: Simulator(args.bin_dir, self.tmp, name) for name in ROBOTS}
        self.runs = 0
        env = dict(os.environ)
        config = os.path.join(self.tmp, "ansible.cfg")
        with open(config, "w") as f:
            f.write("[defaults]\nretry_files_enabled = False\nforks = 3\n")
        env.update(
            ANSIBLE_CONFIG=config,
            ANSIBLE_COLLECTIONS_PATH=os.path.join(self.tmp, "collections"),
            ANSIBLE_LOCAL_TEMP=os.path.join(self.tmp, "ansible-local"),
            ANSIBLE_REMOTE_TEMP=os.path.join(self.tmp, "ansible-remote"),
            ANSIBLE_NOCOLOR="1",
            ANSIBLE_CALLBACKS_ENABLED="ansible.builtin.tree",
            XDG_STATE_HOME=os.path.join(self.tmp, "xdg"),
            PATH=args.bin_dir + os.pathsep + env.get("PATH", "/usr/bin:/bin"),
        )
        self.env = env

    def run(self, argv, echo=True):
        print("$ " + " ".join(argv), flush=True)
        done = subprocess.run(argv, env=self.env, cwd=self.tmp, text=True, capture_output=True,
                              timeout=600)
        print((done.stdout if echo else "") + done.stderr, flush=True)
        return done

    def install_collection(self):
        build = self.run([os.path.join(self.args.source_dir, "scripts", "build-collection.sh"),
                          os.path.join(self.tmp, "dist")])
        check(build.returncode == 0, "the collection builds into an archive")
        archive = build.stdout.strip().splitlines()[-1]
        check(os.path.isfile(archive) and archive.endswith("orvexconf-fleet-1.0.0.tar.gz"),
              "the archive is orvexconf-fleet-1.0.0.tar.gz")
        install = self.run(["ansible-galaxy", "collection", "install", "--offline", "-p",
                            self.env["ANSIBLE_COLLECTIONS_PATH"], archive])
        check(install.returncode == 0, "ansible-galaxy installs the archive")

    def check_documentation(self):
        for module in ("parameters", "firmware"):
            name = "orvexconf.fleet." + module
            text = self.run(["ansible-doc", "-t", "module", name], echo=False)
            check(text.returncode == 0 and "OPTIONS" in text.stdout and "EXAMPLES" in text.stdout
                  and "RETURN VALUES" in text.stdout, "ansible-doc renders " + name)
            raw = self.run(["ansible-doc", "--json", "-t", "module", name], echo=False)
            doc = json.loads(raw.stdout)[name] if raw.returncode == 0 else {}
            check(bool(doc.get("examples")) and bool(doc.get("return")),
                  name + " documents its examples and return values")
            check(self.spec_as_documented(module, doc.get("doc", {}).get("options", {})),
                  name + " documents each option as its argument spec takes it")

    def module(self, name):
        sys.path.insert(0, self.env["ANSIBLE_COLLECTIONS_PATH"])
        return importlib.import_module("ansible_collections.orvexconf.fleet.plugins." + name)

    def check_parameter_rules(self):
        """Which params entries the parameters module passes to the tool,
        and which it refuses as options of the tool (message part)."""
        problem = self.module("modules.parameters").parameter_problem
        table = [
            ("Name", "rover7", None), ("JoyVelMax", 500, None), ("JoyVelMax", -5, None),
            ("JoyVelMax", "-12", None), ("Name", "-5.5", None), ("Name", "a -s b", None),
            ("Name", "x-", None), ("joyvelmx", 1, None),
            ("-rp", "/dev/ttyS1", "Parameter '-rp' is not a keyword"),
            ("--check", 1, "Parameter '--check' is not a keyword"),
            ("-", 1, "Parameter '-' is not a keyword"), ("/?", 1, "Parameter '/?' is not a keyword"),
            ("Name", "-s", "Value '-s' of parameter 'Name'"), ("Name", "--REPORT", "Value '--REPORT'"),
            ("Name", "-", "Value '-' of"), ("Name", "-1e3", "Value '-1e3' of"), ("Name", "/H", "Value '/H' of"),
            ("Name", True, "give an integer or a text"), ("Name", "", "a value is not empty"),
            ("Na me", "x", "a keyword is one word"), ("Name", "a\0b", "a NUL character"),
        ]
        for keyword, value, refused in table:
            said = problem(keyword, value)
            check(said is None if refused is None else refused in (said or ""),
                  "params %r: %r is %s (%s)" % (keyword, value, "passed" if refused is None else "refused", said))

    def files(self, leave_out=()):
        """Every file and folder in the scratch folder but Ansible's own and
        the simulators', with each file's digest: what a run wrote shows."""
        seen = {}
        for top, folders, names in os.walk(self.tmp):
            folders[:] = [f for f in folders if top != self.tmp or not (
                f.startswith("tree-") or f in ("ansible-local", "ansible-remote", "collections", "dist"))]
            for name in folders + names:
                path = os.path.join(top, name)
                if path in leave_out or name.endswith((".mem", ".port")):
                    continue
                seen[path] = ("folder" if os.path.isdir(path) and not os.path.islink(path)
                              else "link" if os.path.islink(path) else sha256(path))
        return seen

    def files_changed(self, before, leave_out=()):
        """The paths made, removed or changed since files() gave before."""
        after = self.files(leave_out)
        return sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))

    def spec_as_documented(self, module, documented):
        """Whether the module's argument spec and its documented options
        agree on names, types, required and defaults."""
        spec = self.module("modules." + module).ARGUMENT_SPEC
        agree = sorted(spec) == sorted(documented)
        for option, taken in spec.items():
            said = documented.get(option, {})
            for key, default in (("type", "str"), ("required", False), ("default", None)):
                if taken.get(key, default) != said.get(key, default):
                    print("%s: option %s: %s is %r in the spec, %r in the documentation"
                          % (module, option, key, taken.get(key, default), said.get(key, default)))
                    agree = False
        return agree

    def write_inventory(self):
        lines = ["[robots]"]
        for name, sim in self.sims.items():
            state = os.path.join(self.tmp, "hosts", name)
            os.makedirs(state, exist_ok=True)
            lines.append("%s robot_port=%s robot_state=%s robot_files=%s" % (name, sim.link, state, state))
        lines += ["", "[robots:vars]", "ansible_connection=local",
                  "ansible_python_interpreter=/usr/bin/python3", ""]
        self.inventory = os.path.join(self.tmp, "inventory")
        with open(self.inventory, "w") as f:
            f.write("\n".join(lines))

    def playbook(self, name, extra, *options):
        """Runs a playbook; returns the finished process and the last task's
        result of each robot (from the tree callback)."""
        self.runs += 1
        tree = os.path.join(self.tmp, "tree-%d" % self.runs)
        self.env["ANSIBLE_CALLBACK_TREE_DIR"] = tree
        done = self.run(["ansible-playbook", "-i", self.inventory, os.path.join(HERE, name),
                         "-e", json.dumps(extra)] + list(options))
        results = {}
        for robot in ROBOTS:
            path = os.path.join(tree, robot)
            if os.path.exists(path):
                with open(path) as f:
                    results[robot] = json.load(f)
        return done, results

    def memories(self):
        return {name: sim.memory() for name, sim in self.sims.items()}


def firmware_image(path, version):
    """An S-record image of 512 bytes at 0x9000 that names its version."""
    data = (("ORVEX firmware v%s " % version) * 40).encode()[:512]
    lines = ["S0030000FC"]
    for at in range(0, len(data), 32):
        chunk = data[at:at + 32]
        address = 0x9000 + at
        body = bytes([len(chunk) + 3, address >> 8, address & 0xFF]) + chunk
        lines.append("S1" + body.hex().upper() + "%02X" % (~sum(body) & 0xFF))
    lines.append("S9030000FC")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def check_docs(fleet):
    fleet.check_documentation()
    fleet.check_parameter_rules()

    # Wrong types get Ansible's own message, before orvexconf runs; params
    # that the tool would take as options, applied or checked, write no
    # controller (neither this one nor the one whose port they name) and
    # no file.
    results_file = os.path.join(fleet.tmp, "refused.json")
    victim = os.path.join(fleet.tmp, "victim.txt")
    with open(victim, "w") as f:
        f.write("not to be overwritten\n")
    rogue_block = os.path.join(fleet.tmp, "rogue.blk")
    with open(rogue_block, "wb") as f:
        f.write(bytes(range(256)) * 16)
    before = fleet.memories()
    files = fleet.files()
    done, _ = fleet.playbook("refused.yml", {"results_file": results_file, "victim": victim,
                                             "rogue_block": rogue_block})
    check(fleet.memories() == before, "refused params: no controller's memory changed")
    made = fleet.files_changed(files, leave_out=(results_file,))
    check(not made, "refused params: no file or folder made or changed: %s" % made)
    with open(results_file) as f:
        typed = json.load(f)
    for name, said in (("port_key", "Parameter '-rp' is not a keyword"),
                       ("block_key", "Parameter '-restoreBlock' is not a keyword"),
                       ("save_key", "Parameter '-s' is not a keyword"),
                       ("save_value", "Value '-s' of parameter 'Name' would be taken by orvexconf as one of its options"),
                       ("unknown", "Unknown keyword 'JoyVelMx' (did you mean 'JoyVelMax'?)"),
                       ("negative", "JoyVelMax -5: out of range"),
                       ("store_file", "backup_dir '%s/orvexconf' cannot be used: '%s' is there and is not a folder"
                        % (victim, victim))):
        result = typed[name]
        check(result.get("failed") and result.get("changed") is False and said in result.get("msg", ""),
              "%s is refused: %s" % (name, result.get("msg")))
    check("argument 'robot_baud' is of type <class 'str'>" in typed["baud"].get("msg", "")
          and "unable to convert to int" in typed["baud"].get("msg", ""), "robot_baud: fast is refused by Ansible")
    check("unable to convert to dict" in typed["params_list"].get("msg", ""), "params as a list is refused by Ansible")
    check(typed["value_list"].get("failed") and "give an integer or a text" in typed["value_list"].get("msg", ""),
          "a list as a parameter value is refused")
    check("argument 'verify' is of type <class 'str'>" in typed["verify"].get("msg", "")
          and "unable to convert to bool" in typed["verify"].get("msg", ""), "verify: maybe is refused by Ansible")


def check_params(fleet):
    wanted = {"fleet_params": {"Name": "fleetbot", "JoyVelMax": 650}}

    # Check mode with diff: robot1 and robot2 would change, robot3 is
    # given the values it holds; nothing is written, no file, no folder.
    inventory_vars = os.path.join(fleet.tmp, "host_vars")
    os.makedirs(inventory_vars, exist_ok=True)
    with open(os.path.join(inventory_vars, "robot3.yml"), "w") as f:
        f.write("robot_params:\n  Name: simbot\n  JoyVelMax: 400\n")
    before = fleet.memories()
    files = fleet.files()
    done, results = fleet.playbook("params.yml", wanted, "--check", "--diff")
    made = fleet.files_changed(files)
    os.remove(os.path.join(inventory_vars, "robot3.yml"))
    check(done.returncode == 0, "check run ends 0")
    check(all(results.get(r, {}).get("changed") and results[r].get("status_name") == "would-change"
              for r in ("robot1", "robot2")), "check run: robot1 and robot2 would change")
    check(results.get("robot3", {}).get("changed") is False and results["robot3"].get("status_name") == "ok",
          "check run: robot3, which holds the values, would not change")
    check(fleet.memories() == before, "check run: the simulators' memory is unchanged")
    check(not made, "check run: no file or folder made or changed (working and backup folders): %s" % made)
    check("-JoyVelMax = 400" in done.stdout and "+JoyVelMax = 650" in done.stdout
          and "+Name = fleetbot" in done.stdout and "--- before: simbot (before)" in done.stdout,
          "diff mode shows each change before and after")

    # First apply writes all three, the second none.
    done, results = fleet.playbook("params.yml", wanted)
    check(done.returncode == 0, "first apply ends 0")
    check(all(results.get(r, {}).get("changed") and results[r].get("block_written") for r in ROBOTS),
          "first apply: changed on all three")
    check(all(results.get(r, {}).get("backup_file") for r in ROBOTS), "first apply: a backup on each")
    store = os.path.join(fleet.tmp, "hosts", "robot1", "store")
    check(os.path.isdir(os.path.join(store, "orvexconf")) and os.stat(store).st_mode & 0o777 == 0o700,
          "first apply: the backup folder's missing parent is made, 0700")
    backup = results.get("robot1", {}).get("backup_file", "")
    written = fleet.memories()
    check(all(written[r] != before[r] for r in ROBOTS), "first apply: every controller's memory changed")
    done, results = fleet.playbook("params.yml", wanted)
    check(done.returncode == 0 and all(results.get(r, {}).get("changed") is False for r in ROBOTS),
          "second apply: no change on any (idempotent)")

    # The backup put back: written once, then left alone.
    done, results = fleet.playbook("block.yml", {"block_image": backup}, "--limit", "robot1")
    check(done.returncode == 0 and results.get("robot1", {}).get("block_written")
          and fleet.sims["robot1"].memory() == before["robot1"],
          "the backup written back gives robot1 its first block again")
    done, results = fleet.playbook("block.yml", {"block_image": backup}, "--limit", "robot1")
    check(done.returncode == 0 and results.get("robot1", {}).get("changed") is False,
          "the same block image again changes nothing")


def check_failures(fleet):
    # A value out of range fails its robot only, before its controller is touched.
    done, results = fleet.playbook("params.yml", {"fleet_params": {"JoyVelMax": 700}},
                                   "-e", json.dumps({"robot_params": {}}), "--limit", "robot1,robot3")
    ranged = fleet.memories()
    check(done.returncode == 0, "robot1 and robot3 take JoyVelMax 700")
    inventory_vars = os.path.join(fleet.tmp, "host_vars")
    os.makedirs(inventory_vars, exist_ok=True)
    with open(os.path.join(inventory_vars, "robot2.yml"), "w") as f:
        f.write("robot_params:\n  JoyVelMax: 99999\n")
    done, results = fleet.playbook("params.yml", {"fleet_params": {"JoyVelMax": 700, "Name": "rangebot"}})
    os.remove(os.path.join(inventory_vars, "robot2.yml"))
    bad = results.get("robot2", {})
    check(done.returncode != 0 and "out of range" in bad.get("msg", "")
          and "JoyVelMax 99999" in bad.get("msg", ""), "a value out of range fails robot2: " + bad.get("msg", ""))
    check(bad.get("changed") is False and fleet.sims["robot2"].memory() == ranged["robot2"],
          "robot2's controller is not written")
    check(all(results.get(r, {}).get("changed") and not results[r].get("msg") for r in ("robot1", "robot3")),
          "robot1 and robot3 are set all the same")
    check("robot2                     : ok=0    changed=0    unreachable=0    failed=1" in done.stdout,
          "the recap counts robot2 as failed")

    # A controller that refuses every erase fails its robot only.
    fleet.sims["robot3"].stop()
    fleet.sims["robot3"].start("--refuse", "FE:*")
    done, results = fleet.playbook("params.yml", {"fleet_params": {"Name": "erasebot"}})
    bad = results.get("robot3", {})
    check(done.returncode != 0 and bad.get("exit_status") == 8 and bad.get("status_name") == "flash-write"
          and "Erase FLASH command not accepted: ER2" in bad.get("msg", ""),
          "refused erase fails robot3 with the tool's message and status 8: " + bad.get("msg", ""))
    check(bad.get("rescue_files") and all(os.path.isabs(p) and os.path.isfile(p) for p in bad["rescue_files"]),
          "robot3's rescue files are returned with absolute paths and exist")
    check(all(results.get(r, {}).get("changed") and not results[r].get("msg") for r in ("robot1", "robot2")),
          "robot1 and robot2 are written all the same")
    check("robot3                     : ok=0    changed=0    unreachable=0    failed=1" in done.stdout,
          "the recap counts robot3 as failed")
    fleet.sims["robot3"].stop()
    fleet.sims["robot3"].start()


def check_firmware(fleet):
    # Firmware: check mode writes nothing, the rollout uploads once, then
    # nothing: robot1 now reports the new version, the others are compared.
    image = os.path.join(fleet.tmp, "orvex-2.9.mot")
    firmware_image(image, "2.9")
    rollout = {"image": image, "expected_version": "2.9"}
    before = fleet.memories()
    done, results = fleet.playbook("firmware.yml", rollout, "--check")
    check(done.returncode == 0 and all(results.get(r, {}).get("changed") for r in ROBOTS)
          and fleet.memories() == before, "firmware check: would change all three, writes nothing")
    done, results = fleet.playbook("firmware.yml", rollout)
    check(done.returncode == 0 and all(results.get(r, {}).get("uploaded") and results[r].get("changed")
                                       and results[r].get("blocks_written") == 1 for r in ROBOTS),
          "firmware rollout uploads one block to all three")
    check(all(results.get(r, {}).get("blocks_differing") == [8] for r in ROBOTS),
          "firmware rollout returns the block it compared as differing")
    fleet.sims["robot1"].stop()
    fleet.sims["robot1"].start("--firmware-version", "2.9")
    done, results = fleet.playbook("firmware.yml", rollout)
    check(done.returncode == 0 and all(results.get(r, {}).get("changed") is False for r in ROBOTS),
          "second rollout: no change on any")
    check("reports firmware version 2.9" in results.get("robot1", {}).get("skipped_reason", "")
          and results["robot1"].get("blocks_differing") == [], "robot1 is settled by its identity")
    check("matches the controller" in results.get("robot2", {}).get("skipped_reason", "")
          and results["robot2"].get("blocks_differing") == [], "robot2 is settled by the read-back")


def check_example(fleet):
    # The example playbook of the collection, with the diff of the
    # parameters but not of the image.
    image = os.path.join(fleet.tmp, "orvex-3.0.mot")
    firmware_image(image, "3.0")
    example = os.path.join(fleet.args.source_dir, "contrib", "ansible", "examples", "fleet.yml")
    done, results = fleet.playbook(example, {"firmware_image": image, "firmware_version": "3.0"}, "--diff")
    check(done.returncode == 0 and all("%s: uploaded, blocks written: 1" % r in done.stdout for r in ROBOTS),
          "the example playbook sets the parameters and rolls out the firmware on all three")
    check("+Name = robot1" in done.stdout and "S9030000FC" not in done.stdout,
          "the example's diff shows the parameters, not the image's lines")


PARTS = {"docs": check_docs, "params": check_params, "failures": check_failures,
         "firmware": check_firmware, "example": check_example}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--part", action="append", choices=list(PARTS),
                        help="run this part only (given again: these parts); all by default")
    args = parser.parse_args()
    for tool in ("ansible-playbook", "ansible-galaxy", "ansible-doc"):
        if not shutil.which(tool):
            print("%s not found: install ansible-core (scripts/deps.sh does)" % tool)
            return 1
    for part in args.part or list(PARTS):
        run_part(args, part)
    if failures:
        print("%d check(s) failed:\n  " % len(failures) + "\n  ".join(failures))
        return 1
    print("all checks passed")
    return 0


def run_part(args, part):
    """One part on a fleet of its own; its scratch folder is kept when a
    check of it failed."""
    print("=== part %s" % part, flush=True)
    failed_before = len(failures)
    fleet = Fleet(args)
    try:
        fleet.install_collection()
        fleet.write_inventory()
        for sim in fleet.sims.values():
            sim.start()
        PARTS[part](fleet)
    finally:
        for sim in fleet.sims.values():
            sim.stop()
    if len(failures) > failed_before:
        print("scratch folder of part %s kept: %s" % (part, fleet.tmp))
    else:
        shutil.rmtree(fleet.tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
