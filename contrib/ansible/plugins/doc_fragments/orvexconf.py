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
      - Serial port of the controller on the robot's computer, as given to C(orvexconf -rp).
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
    type: path
  working_dir:
    description:
      - Folder on the robot's computer the tool runs in; rescue files of a failed write are left
        there and returned as absolute paths.
      - Created (mode 0700) when missing. Defaults to C(rescue) in the tool's state folder.
    type: path
  executable:
    description:
      - Path of orvexconf on the robot's computer. Defaults to C(orvexconf) on C(PATH).
    type: path
notes:
  - Needs orvexconf 1.0 or later on the robot's computer; the module reads its run report
    (C(--report -), schema C(orvexconf-report/1)) and never its text.
"""
