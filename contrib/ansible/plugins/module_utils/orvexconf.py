# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Runs orvexconf on the robot's computer and reads its run report.

Both modules of the collection go through here: the command line is built
from the options shared by every run (port, speed, backup folder), the run
report ("--report -", one JSON document on standard output) is the only
thing read back, and a failed run becomes a failure that carries the
tool's own messages and exit status. The text the tool prints is passed on
as stderr, never parsed.

The tool takes its options anywhere among its arguments, so no text from a
task reaches its command line where the tool could read it as an option:
paths are made absolute, and anything else that would look like an option
is refused. The folders a run needs are checked before any run, so check
mode fails where the apply would, and made only when the task applies:
check mode creates nothing.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import re

# Exit statuses of orvexconf (also named in the report as exitStatusName).
STATUS_OK = 0
STATUS_WOULD_CHANGE = 10

# The report schema these modules understand.
REPORT_SCHEMA = "orvexconf-report/1"

# A value orvexconf reads as a number, not as an option, although it may
# start with '-'.
NUMBER = re.compile(r"-?[0-9]+(\.[0-9]+)?\Z", re.ASCII)

# Words orvexconf takes as its help option without a leading '-'.
HELP_WORDS = ("/?", "/h")

# Options every module of the collection takes, in argument-spec form.
COMMON_ARGUMENT_SPEC = dict(
    port=dict(type="str", required=True),
    robot_baud=dict(type="int"),
    backup_dir=dict(type="path"),
    working_dir=dict(type="path"),
    executable=dict(type="path"),
)


def default_working_dir():
    """Where rescue files go when no working_dir is given: the tool's own
    state folder, which outlives the module's temporary directory."""
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, "orvexconf", "rescue")


def taken_as_option(text):
    """Whether orvexconf would read text as one of its options (a leading
    '-', one or two, in any letter case; the help words) rather than as a
    keyword or a value. A negative number is a value."""
    return text.lower() in HELP_WORDS or (text.startswith("-") and not NUMBER.match(text))


def missing_folders(path):
    """The folders of path that do not exist yet, outermost first, and the
    nearest one that does (or whatever stands there in its place)."""
    missing = []
    while not os.path.lexists(path):
        parent = os.path.dirname(path)
        missing.insert(0, path)
        if parent == path:
            break
        path = parent
    return missing, path


def folder_problem(option, path, owned):
    """Why the folder of an option cannot be used or made, or None. With
    owned, an existing folder must also be the remote user's own, as
    orvexconf requires of its store."""
    missing, existing = missing_folders(path)
    if not os.path.isdir(existing):
        return ("%s '%s' cannot be used: '%s' is there and is not a folder; give a folder, or "
                "a path that does not exist yet." % (option, path, existing))
    if not os.access(existing, os.W_OK | os.X_OK):
        what = "create '%s' in" % missing[0] if missing else "write to"
        return ("%s '%s' cannot be used: the remote user (uid %d) cannot %s '%s'; give a folder "
                "that user can write to." % (option, path, os.geteuid(), what, existing))
    if owned and not missing and os.stat(path).st_uid != os.geteuid():
        return ("%s '%s' belongs to another user (uid %d, not %d); orvexconf keeps its backups "
                "and journal only in the remote user's own folders: give one of those, or run as "
                "its owner." % (option, path, os.stat(path).st_uid, os.geteuid()))
    return None


class OrvexconfRun:
    """One orvexconf run: its exit status, report and text."""

    def __init__(self, argv, rc, report, stdout, stderr):
        self.argv = argv
        self.rc = rc
        self.report = report
        self.stdout = stdout
        self.stderr = stderr

    @property
    def status_name(self):
        return self.report.get("exitStatusName", "") if self.report else ""

    @property
    def refused(self):
        return self.report.get("refused", []) if self.report else []

    @property
    def unprocessed(self):
        return self.report.get("unprocessedArguments", []) if self.report else []

    def messages(self):
        """The tool's own error lines, as the report gives them."""
        return list(self.report.get("messages", [])) if self.report else []


class Orvexconf:
    """Runs orvexconf for an AnsibleModule with the common options."""

    def __init__(self, module, file_options=()):
        """Takes the common options and the module's own file_options;
        fails the task, before anything runs, on a port that could act as
        an option or a folder that could not be used."""
        self.module = module
        params = module.params
        # Paths go to the tool, which runs in the working folder, as the
        # module sees them, and can never start with '-'.
        for option in ("backup_dir", "working_dir", "executable") + tuple(file_options):
            if params.get(option):
                params[option] = os.path.abspath(params[option])
        if taken_as_option(params["port"]) or not params["port"]:
            module.fail_json(msg="port '%s' is not a serial port: give the path of the controller's "
                             "port, such as /dev/serial/by-id/... ('orvexconf --list-ports' lists "
                             "them)." % params["port"])
        if params.get("executable"):
            self.executable = params["executable"]
            if not os.access(self.executable, os.X_OK):
                module.fail_json(
                    msg="orvexconf was not found at '%s': give the path of the installed tool "
                    "with executable, or leave it out to use orvexconf from PATH." % self.executable
                )
        else:
            self.executable = module.get_bin_path("orvexconf", required=True)
        self.working_dir = params.get("working_dir") or default_working_dir()
        self.runs = []
        self.folders_made = False
        problems = [folder_problem("working_dir", self.working_dir, owned=False)]
        if params.get("backup_dir"):
            problems.append(folder_problem("backup_dir", params["backup_dir"], owned=True))
        problems = [problem for problem in problems if problem]
        if problems:
            module.fail_json(msg=" ".join(problems) + " Nothing was run.")

    def connection_options(self):
        params = self.module.params
        argv = ["-rp", params["port"]]
        if params.get("robot_baud") is not None:
            argv += ["-rb", str(params["robot_baud"])]
        return argv

    def store_options(self):
        params = self.module.params
        return ["--backup-dir", params["backup_dir"]] if params.get("backup_dir") else []

    def prepare_folders(self):
        """The folder a run against the controller works in. Applying, the
        working folder and the backup folder's parents are made first, each
        0700 as the tool makes its own store (the tool makes the backup
        folder itself); a failure fails the task. Check mode makes nothing
        and works in the working folder if it exists, else in the module's
        temporary folder: a check leaves no rescue files."""
        if self.module.check_mode:
            return self.working_dir if os.path.isdir(self.working_dir) else self.module.tmpdir
        if self.folders_made:
            return self.working_dir
        folders = missing_folders(self.working_dir)[0]
        if self.module.params.get("backup_dir"):
            folders += missing_folders(self.module.params["backup_dir"])[0][:-1]
        for folder in folders:
            try:
                os.mkdir(folder, 0o700)
            except FileExistsError:
                if not os.path.isdir(folder):
                    self.module.fail_json(msg="Cannot create the folder '%s': something else is "
                                          "there now. The controller was not touched." % folder)
            except OSError as error:
                self.module.fail_json(msg="Cannot create the folder '%s' (%s): give working_dir "
                                      "and backup_dir folders the remote user can write to. "
                                      "The controller was not touched." % (folder, error.strerror))
        self.folders_made = True
        return self.working_dir

    def run(self, options, offline=False):
        """Runs 'orvexconf -b --report - OPTIONS' (with -n when offline,
        else against the port) and returns the OrvexconfRun; a run that
        leaves no readable report fails the task."""
        argv = [self.executable]
        argv += ["-n"] if offline else self.connection_options()
        argv += ["-b", "--report", "-"] + options
        cwd = None if offline else self.prepare_folders()
        rc, stdout, stderr = self.module.run_command(argv, cwd=cwd, environ_update={"LC_ALL": "C"})
        report = None
        try:
            report = json.loads(stdout) if stdout.strip() else None
        except ValueError:
            report = None
        if not isinstance(report, dict) or report.get("schema") != REPORT_SCHEMA:
            self.module.fail_json(
                msg="orvexconf ended with status %d and wrote no run report this module can read "
                "(schema %s): check that '%s' is orvexconf 1.0 or later." % (rc, REPORT_SCHEMA, self.executable),
                rc=rc,
                cmd=argv,
                stdout=stdout,
                stderr=stderr,
            )
        run = OrvexconfRun(argv, rc, report, stdout, stderr)
        self.runs.append(run)
        return run

    def absolute(self, path):
        """A file the tool named relative to its working folder, made absolute."""
        return path if os.path.isabs(path) else os.path.join(self.working_dir, path)

    def fail(self, run, what, **result):
        """Fails the task for a run: what went wrong, then the tool's own
        messages and its exit status."""
        lines = [line.strip() for line in run.messages() if line.strip()]
        msg = what
        if lines:
            # One sentence a line, so that lines run together still read apart.
            msg += " orvexconf said: " + " ".join(line if line[-1] in ".:;!?)" else line + "." for line in lines)
        if result.get("rescue_files"):
            msg += " The rescue files are %s." % " and ".join(result["rescue_files"])
        if run.rc != STATUS_OK:
            msg += " (exit status %d, %s)" % (run.rc, run.status_name or "unknown")
        result.setdefault("exit_status", run.rc)
        result.setdefault("status_name", run.status_name)
        result.setdefault("report", run.report)
        result.setdefault("stderr", run.stderr)
        self.module.fail_json(msg=msg, rc=run.rc, cmd=run.argv, **result)


def refusal_text(refused, unprocessed):
    """One sentence naming every value the tool refused, and why."""
    parts = []
    for item in refused:
        text = "%s %s: %s" % (item.get("keyword", "?"), item.get("value", "?"), item.get("reason", "refused"))
        if item.get("suggestion"):
            text += " (did you mean %s?)" % item["suggestion"]
        parts.append(text)
    if unprocessed and not refused:
        parts.append("not processed: " + " ".join(unprocessed))
    return "; ".join(parts)
