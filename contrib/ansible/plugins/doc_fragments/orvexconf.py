# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
# The options every module of the collection takes (the controller's port
# and speed, the tool's state folders, the tool itself), documented once.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r"""
options:
  port:
    description:
      - Serial port of the controller on the robot's computer, as given to C(orvexconf -rp); a
        path, never starting with C(-).
      - Prefer the stable C(/dev/serial/by-id/...) name; C(orvexconf --list-ports) lists them.
    type: str
    required: true
  robot_baud:
    description:
      - Speed of the robot firmware's serial line in bit/s (C(orvexconf -rb)).
      - Leave it out for the tool's default.
    type: int
  backup_dir:
    description:
      - Folder on the robot's computer for the backups of the parameter block made before every
        write, and for the journal of writes and uploads (C(orvexconf --backup-dir)).
      - Defaults to the tool's own, C($XDG_STATE_HOME/orvexconf) or C(~/.local/state/orvexconf).
      - Its missing parent folders are made (mode 0700) when the task applies, never in check
        mode; the tool makes the folder itself. A path where a file stands, a folder the remote
        user cannot write to, or an existing folder of another user fails the task before
        anything runs, in check mode too.
    type: path
  working_dir:
    description:
      - Folder on the robot's computer the tool runs in; rescue files of a failed write are left
        there and returned as absolute paths.
      - Created (mode 0700, with its missing parents) when the task applies; check mode creates
        nothing and fails, as the apply would, when it could not be created. Defaults to C(rescue)
        in the tool's state folder.
    type: path
  executable:
    description:
      - Path of orvexconf on the robot's computer. Defaults to C(orvexconf) on C(PATH).
    type: path
notes:
  - Relative paths are taken from the folder the module starts in, and passed to the tool made
    absolute.
  - Needs orvexconf 1.0 or later on the robot's computer; the module reads its run report
    (C(--report -), schema C(orvexconf-report/1)) and never its text.
"""
