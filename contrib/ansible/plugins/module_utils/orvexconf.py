# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
"""Runs orvexconf on the robot's computer and reads its run report.

Both modules of the collection go through here: the command line is built
from the options shared by every run (port, speed, backup folder), the run
report ("--report -", one JSON document on standard output) is the only
thing read back, and a failed run becomes a failure that carries the
tool's own messages and exit status. The text the tool prints is passed on
as stderr, never parsed.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

# Exit statuses of orvexconf (also named in the report as exitStatusName).
STATUS_OK = 0
STATUS_WOULD_CHANGE = 10

# The report schema these modules understand.
REPORT_SCHEMA = "orvexconf-report/1"

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

    def __init__(self, module):
        self.module = module
        params = module.params
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

    def connection_options(self):
        params = self.module.params
        argv = ["-rp", params["port"]]
        if params.get("robot_baud") is not None:
            argv += ["-rb", str(params["robot_baud"])]
        return argv

    def store_options(self):
        params = self.module.params
        return ["--backup-dir", params["backup_dir"]] if params.get("backup_dir") else []

    def prepare_working_dir(self):
        """Creates the folder rescue files are written to (0700, as the
        tool's own state folder), failing the task when that is impossible."""
        try:
            os.makedirs(self.working_dir, mode=0o700, exist_ok=True)
        except OSError as error:
            self.module.fail_json(
                msg="Cannot create the working folder '%s' for rescue files (%s): give a folder "
                "the remote user can write to with working_dir." % (self.working_dir, error.strerror)
            )

    def run(self, options, offline=False):
        """Runs 'orvexconf -b --report - OPTIONS' (with -n when offline,
        else against the port) and returns the OrvexconfRun; a run that
        leaves no readable report fails the task."""
        argv = [self.executable]
        argv += ["-n"] if offline else self.connection_options()
        argv += ["-b", "--report", "-"] + options
        cwd = None
        if not offline:
            self.prepare_working_dir()
            cwd = self.working_dir
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
