#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
# The parameters module: sets keyword values of a robot controller's FLASH
# parameter block with orvexconf, with check and diff mode.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: parameters
short_description: Set the FLASH parameters of a robot controller with orvexconf
version_added: "1.0.0"
description:
  - Runs C(orvexconf -b --report -) on the robot's computer, against the controller on I(port),
    and reads only the run report the tool writes.
  - Sets parameters by keyword, restores a parameter file (C(.rop)) or writes a block image
    (C(.blk)) back, then writes the controller's FLASH parameter block, only when something
    changed. Before every write the tool saves a backup of the block and keeps a journal, so an
    interrupted write can be put right.
  - Keyword values, and the file of I(restore_file) or I(block_image), are checked before the
    controller is touched (C(orvexconf -n)); a value the tool refuses (out of range, not an
    integer, a text that cannot be stored, an unknown keyword, with the keyword it suggests) or a
    file it cannot read fails the task and nothing is written, in check mode as when applying.
  - I(params) passes keywords and values only, never options of the tool. A key that starts with
    C(-) (such as C(-rp) or C(-s)) and a value that starts with C(-) and is not a number are
    refused before anything runs, naming the keyword and the value.
  - C(changed) is true only when the controller's block was written (in check mode, when it
    would be).
author:
  - The orvexconf authors
extends_documentation_fragment:
  - orvexconf.fleet.orvexconf
options:
  params:
    description:
      - Parameters to set, as keyword and value, for example C(Name) and C(JoyVelMax).
      - Keywords and their aliases are matched in any letter case; C(man orvexconf) lists them
        with their ranges and units.
      - Values are integers or texts; quote texts that YAML would read as something else
        (C("yes"), C("1.0")).
      - A key that is not a keyword of the tool is refused; one that starts with C(-) is refused
        before anything runs. A text value cannot start with C(-) (negative numbers can).
    type: dict
    default: {}
  restore_file:
    description:
      - A parameter file (C(.rop)) on the robot's computer to restore after the block is read
        (C(orvexconf -r)); I(params) are applied after it.
    type: path
  block_image:
    description:
      - A block image (C(.blk)) on the robot's computer, such as a backup or a rescue file, to
        write back whole (C(orvexconf -restoreBlock)).
      - It is compared with the controller's block first and written only when some byte differs.
    type: path
notes:
  - Supports check mode (C(orvexconf --check)), which reads the block and writes nothing, no
    file and no folder either (I(working_dir) and the parents of I(backup_dir) are made only when
    applying).
  - Supports diff mode; the diff lists each parameter that changed (or would) as C(keyword = value).
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
"""

EXAMPLES = r"""
- name: Name the robot and limit its joystick speed
  orvexconf.fleet.parameters:
    port: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0
    params:
      Name: "{{ inventory_hostname }}"
      JoyVelMax: 500

- name: Restore the fleet's parameter file, then set this robot's name
  orvexconf.fleet.parameters:
    port: "{{ robot_port }}"
    restore_file: /opt/fleet/standard.rop
    params:
      Name: "{{ inventory_hostname }}"
    backup_dir: /var/lib/fleet/orvexconf

- name: Put a backup of the block back
  orvexconf.fleet.parameters:
    port: "{{ robot_port }}"
    block_image: /var/lib/fleet/orvexconf/backups/SN123/20261207T101500Z-0123456789ab.blk
"""

RETURN = r"""
changes:
  description: Parameters the run changed (in check mode, would change), with their values before and after.
  returned: always
  type: list
  elements: dict
  sample: [{"keyword": "JoyVelMax", "table": "robot", "before": "400", "after": "500"}]
refused:
  description: Values the tool refused, with the reason and, for an unknown keyword, a suggestion. A task with refused values fails.
  returned: always
  type: list
  elements: dict
  sample: [{"keyword": "JoyVelMax", "value": "99999", "reason": "out of range", "suggestion": null}]
controller:
  description: What the controller said of itself (identity reply, monitor and firmware versions, robot name and serial number).
  returned: when the tool reached the controller
  type: dict
  sample: {"connected": true, "identity": "known", "firmwareVersion": "2.8", "robotName": "rover7", "serialNumber": "SN123"}
block_written:
  description: Whether the controller's parameter block was written and read back as written.
  returned: always
  type: bool
backup_file:
  description: Backup of the block as it was before the write, on the robot's computer.
  returned: when the block was (or was to be) written
  type: str
rescue_files:
  description: Absolute paths of the rescue files (block image and parameter file) a failed write left on the robot's computer.
  returned: always
  type: list
  elements: str
exit_status:
  description: Exit status of orvexconf (0 ok, 7 bad arguments, 8 FLASH write failed, 10 would change under check mode, ...).
  returned: always
  type: int
status_name:
  description: The exit status by name, as the report gives it (ok, flash-write, would-change, ...).
  returned: always
  type: str
messages:
  description: The tool's own error lines, from the run report.
  returned: always
  type: list
  elements: str
report:
  description: The whole run report of the last orvexconf run (schema orvexconf-report/1).
  returned: always
  type: dict
stderr:
  description: The text orvexconf printed, for the log; the module decides nothing from it.
  returned: always
  type: str
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orvexconf.fleet.plugins.module_utils.orvexconf import (
    COMMON_ARGUMENT_SPEC,
    STATUS_OK,
    STATUS_WOULD_CHANGE,
    Orvexconf,
    refusal_text,
    taken_as_option,
)


# The options, as DOCUMENTATION describes them.
ARGUMENT_SPEC = dict(
    COMMON_ARGUMENT_SPEC,
    params=dict(type="dict", default={}),
    restore_file=dict(type="path"),
    block_image=dict(type="path"),
)


def parameter_problem(keyword, value):
    """Why a params entry cannot go to orvexconf as a keyword and its
    value, or None. The tool takes its options anywhere among its
    arguments, so a keyword or a value it would read as an option is
    refused here; whether a keyword is one the tool knows is for the
    tool's offline check, which also suggests the keyword meant."""
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        return ("Value of parameter '%s' is %s (%s): give an integer or a text, and quote texts "
                "YAML would read otherwise." % (keyword, value, type(value).__name__))
    text = str(value)
    if not keyword or not text or any(c.isspace() for c in keyword):
        return ("Parameter '%s' with value '%s': a keyword is one word and a value is not empty."
                % (keyword, text))
    if "\0" in keyword or "\0" in text:
        return "Parameter %r: a NUL character cannot be passed, in a keyword or a value." % keyword
    if taken_as_option(keyword):
        return ("Parameter '%s' is not a keyword: orvexconf would take it as one of its options. "
                "params holds keywords and their values only; the module's own options give the "
                "port, the files and the folders." % keyword)
    if taken_as_option(text):
        why = "a help word" if not text.startswith("-") else "a text that starts with '-' and is not a number"
        return ("Value '%s' of parameter '%s' would be taken by orvexconf as one of its options "
                "(%s): it cannot be set from here." % (text, keyword, why))
    return None


def keyword_arguments(module):
    """The params dictionary as orvexconf's keyword value arguments; the
    task fails, naming each entry that cannot be passed, before anything
    runs."""
    argv = []
    problems = []
    for keyword, value in module.params["params"].items():
        keyword = keyword if isinstance(keyword, str) else str(keyword)
        problem = parameter_problem(keyword, value)
        if problem:
            problems.append(problem)
        else:
            argv += [keyword, str(value)]
    if problems:
        module.fail_json(msg=" ".join(problems) + " Nothing was run.")
    return argv


def diff_of(run, port):
    robot = (run.report.get("controller") or {}).get("robotName") or port
    before = "".join("%s = %s\n" % (c["keyword"], c["before"]) for c in run.report.get("changes", []))
    after = "".join("%s = %s\n" % (c["keyword"], c["after"]) for c in run.report.get("changes", []))
    return dict(before=before, after=after, before_header="%s (before)" % robot, after_header="%s (after)" % robot)


def main():
    module = AnsibleModule(
        argument_spec=ARGUMENT_SPEC,
        mutually_exclusive=[("restore_file", "block_image")],
        supports_check_mode=True,
    )
    keywords = keyword_arguments(module)
    tool = Orvexconf(module, file_options=("restore_file", "block_image"))

    files = []
    if module.params.get("restore_file"):
        files += ["-r", module.params["restore_file"]]
    if module.params.get("block_image"):
        files += ["-restoreBlock", module.params["block_image"]]

    # The values and files are checked without the controller first, so a
    # refused one leaves every robot untouched, in check mode as applying.
    if keywords or files:
        offline = tool.run(files + keywords, offline=True)
        if offline.rc != STATUS_OK or offline.refused or offline.unprocessed:
            tool.fail(offline, "orvexconf refused %s; nothing was written to the controller."
                      % (refusal_text(offline.refused, offline.unprocessed) or (files[1] if files else "the parameters")),
                      changed=False, refused=offline.refused)

    options = tool.store_options() + files
    run = None
    if module.params.get("block_image") and not module.check_mode:
        # The tool writes a block image even when the controller already
        # holds it; a comparison first keeps the task idempotent.
        compared = tool.run(options + ["--check"] + keywords)
        if compared.rc == STATUS_OK and not compared.refused and not compared.unprocessed:
            run = compared
    if run is None:
        run = tool.run(options + (["--check"] if module.check_mode else []) + keywords)

    report = run.report
    block = report.get("block") or {}
    written = bool(block.get("written"))
    changed = written or (module.check_mode and run.rc == STATUS_WOULD_CHANGE)
    result = dict(
        changed=changed,
        changes=report.get("changes", []),
        refused=report.get("refused", []),
        controller=report.get("controller"),
        block_written=written,
        backup_file=block.get("backupFile"),
        rescue_files=[tool.absolute(path) for path in block.get("rescueFiles") or []],
        exit_status=run.rc,
        status_name=run.status_name,
        messages=run.messages(),
        report=report,
        stderr=run.stderr,
    )
    if module._diff and result["changes"]:
        result["diff"] = diff_of(run, module.params["port"])

    expected = (STATUS_OK, STATUS_WOULD_CHANGE) if module.check_mode else (STATUS_OK,)
    if run.rc not in expected:
        tool.fail(run, "orvexconf could not set the parameters on %s." % module.params["port"], **result)
    if run.refused or run.unprocessed:
        tool.fail(run, "orvexconf refused %s." % refusal_text(run.refused, run.unprocessed), **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
