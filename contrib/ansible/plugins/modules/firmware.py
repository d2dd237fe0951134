#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
# The firmware module: uploads a firmware image to a robot controller with
# orvexconf, only when the controller does not already run it.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: firmware
short_description: Roll out firmware to a robot controller with orvexconf
version_added: "1.0.0"
description:
  - Uploads a firmware image (Motorola S-records, Intel HEX, or a raw binary with I(base)) from
    the robot's computer to the controller on I(port) with C(orvexconf -b -u), which reads every
    written block back to verify it. Reads only the run report the tool writes.
  - Uploads only when needed. With I(expected_version), a controller whose identity already
    shows that firmware version is left alone. Otherwise the controller's FLASH is compared with
    the image by reading it back (C(orvexconf --check -u)), and nothing is uploaded when every
    block already matches.
  - C(changed) is true only when blocks were written (in check mode, when some differ).
  - Copy the image to the robot's computer first, for example with M(ansible.builtin.copy).
author:
  - The orvexconf authors
extends_documentation_fragment:
  - orvexconf.fleet.orvexconf
options:
  image:
    description:
      - The firmware image on the robot's computer. A name ending in C(.bin) is a raw binary and
        needs I(base); a file whose first line starts with C(:) is Intel HEX; anything else is read
        as Motorola S-records.
    type: path
    required: true
  base:
    description:
      - Load address of a raw binary image, in hexadecimal (C(orvexconf --base)).
    type: str
  expected_version:
    description:
      - Firmware version the image holds, as the controller's identity reply shows it (C(2.9) in
        C(fw ORVEX v2.9)). When the controller already reports it, nothing is read back or
        uploaded.
    type: str
  compare:
    description:
      - Compare the controller's FLASH with the image by reading it back before uploading, and
        upload only when a block differs. With C(false) the image is uploaded whenever the version
        does not match (or always, without I(expected_version)); check mode always compares.
    type: bool
    default: true
  verify:
    description:
      - Read every written block back to verify it. C(false) passes C(--no-verify); use it only
        with a monitor that cannot read FLASH.
    type: bool
    default: true
notes:
  - Supports check mode, which compares by read-back and writes nothing.
  - A failed upload leaves the blocks it did not finish with the old firmware or erased; the task
    fails with the blocks named, and running it again repairs the controller.
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
"""

EXAMPLES = r"""
- name: Copy the firmware image to the robot's computer
  ansible.builtin.copy:
    src: files/orvex-2.9.mot
    dest: /var/lib/fleet/orvex-2.9.mot
    mode: "0644"

- name: Roll out firmware 2.9
  orvexconf.fleet.firmware:
    port: "{{ robot_port }}"
    image: /var/lib/fleet/orvex-2.9.mot
    expected_version: "2.9"

- name: Upload a raw binary at 0x8000
  orvexconf.fleet.firmware:
    port: "{{ robot_port }}"
    image: /var/lib/fleet/app.bin
    base: "8000"
"""

RETURN = r"""
uploaded:
  description: Whether the image was uploaded (and, unless verify is false, read back as written).
  returned: always
  type: bool
skipped_reason:
  description: Why nothing was uploaded, when nothing was.
  returned: when nothing was uploaded
  type: str
  sample: the controller reports firmware version 2.9
firmware_version_before:
  description: Firmware version in the controller's identity reply before the run.
  returned: when the tool reached the controller
  type: str
  sample: "2.8"
blocks_written:
  description: FLASH blocks written and verified.
  returned: always
  type: int
blocks_differing:
  description:
    - Blocks whose contents differed from the image when the controller was compared with it by
      read-back, before any upload (also when the task then uploaded, or failed uploading).
    - An empty list when the controller's identity reports I(expected_version); its blocks are
      then taken to hold the image and are not read back.
  returned: when compared, by read-back or by the identity with I(expected_version)
  type: list
  elements: int
  sample: [8, 9]
image:
  description: The image as the tool read it (file, format, address ranges, SHA-256 of the bytes written, state).
  returned: when the tool read the image
  type: dict
  sample: {"file": "/var/lib/fleet/orvex-2.9.mot", "format": "Motorola S-records", "sha256": "36562e95...", "state": "written"}
controller:
  description: What the controller said of itself (identity reply, monitor and firmware versions, robot name and serial number).
  returned: when the tool reached the controller
  type: dict
exit_status:
  description: Exit status of the last orvexconf run (0 ok, 2 no connection, 5 upload failed, ...).
  returned: always
  type: int
status_name:
  description: The exit status by name, as the report gives it.
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
  description: The text the last orvexconf run printed, for the log; the module decides nothing from it.
  returned: always
  type: str
"""

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orvexconf.fleet.plugins.module_utils.orvexconf import (
    COMMON_ARGUMENT_SPEC,
    STATUS_OK,
    STATUS_WOULD_CHANGE,
    Orvexconf,
    taken_as_option,
)


# The options, as DOCUMENTATION describes them.
ARGUMENT_SPEC = dict(
    COMMON_ARGUMENT_SPEC,
    image=dict(type="path", required=True),
    base=dict(type="str"),
    expected_version=dict(type="str"),
    compare=dict(type="bool", default=True),
    verify=dict(type="bool", default=True),
)


def image_record(run):
    firmware = run.report.get("firmware") or []
    return firmware[0] if firmware else None


def finish(module, run, changed, uploaded, version_before, skipped=None, differing=None):
    record = image_record(run)
    result = dict(
        changed=changed,
        uploaded=uploaded,
        firmware_version_before=version_before,
        blocks_written=(record or {}).get("blocksWritten", 0),
        image=record,
        controller=run.report.get("controller"),
        exit_status=run.rc,
        status_name=run.status_name,
        messages=run.messages(),
        report=run.report,
        stderr=run.stderr,
    )
    if skipped:
        result["skipped_reason"] = skipped
    if differing is not None:
        result["blocks_differing"] = differing
    module.exit_json(**result)


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True)
    params = module.params
    port = params["port"]
    if params.get("base") is not None and (not params["base"] or taken_as_option(params["base"])):
        module.fail_json(msg="base '%s' is not a load address: give hexadecimal digits, such as "
                         "8000." % params["base"])
    tool = Orvexconf(module, file_options=("image",))
    if not os.path.isfile(params["image"]):
        module.fail_json(msg="The firmware image '%s' is not on the robot's computer: copy it there "
                         "first (ansible.builtin.copy) and give its path there." % params["image"])
    image_options = ["-u", params["image"]]
    if params.get("base"):
        image_options += ["--base", params["base"]]
    common = tool.store_options()

    # The identity alone, which costs no read-back, settles a controller
    # that already runs the expected version.
    version_before = None
    if params.get("expected_version"):
        run = tool.run(common + ["--check"])
        if run.rc != STATUS_OK:
            tool.fail(run, "orvexconf could not read the firmware identity of the controller on %s." % port)
        version_before = (run.report.get("controller") or {}).get("firmwareVersion")
        if version_before == params["expected_version"]:
            finish(module, run, False, False, version_before,
                   skipped="the controller reports firmware version %s" % version_before, differing=[])

    # Read the image back from the controller: blocks that already hold it
    # need no upload.
    differing = None
    if params["compare"] or module.check_mode:
        run = tool.run(common + ["--check"] + image_options)
        if version_before is None:
            version_before = (run.report.get("controller") or {}).get("firmwareVersion")
        record = image_record(run)
        if run.rc not in (STATUS_OK, STATUS_WOULD_CHANGE) or record is None or record.get("state") != "checked":
            tool.fail(run, "orvexconf could not compare '%s' with the controller on %s."
                      % (params["image"], port))
        differing = record.get("blocksDiffering") or []
        if not differing:
            finish(module, run, False, False, version_before,
                   skipped="every block of the image matches the controller", differing=[])
        if module.check_mode:
            finish(module, run, True, False, version_before, differing=differing)

    options = common + image_options
    if not params["verify"]:
        options.append("--no-verify")
    run = tool.run(options)
    if version_before is None:
        version_before = (run.report.get("controller") or {}).get("firmwareVersion")
    record = image_record(run)
    written = (record or {}).get("blocksWritten", 0) > 0
    if run.rc != STATUS_OK or record is None or not record.get("written"):
        failed = dict(changed=written, uploaded=False, blocks_written=(record or {}).get("blocksWritten", 0),
                      image=record)
        if differing is not None:
            failed["blocks_differing"] = differing
        tool.fail(run, "orvexconf could not upload '%s' to the controller on %s; running the task "
                  "again uploads it again." % (params["image"], port), **failed)
    finish(module, run, written, True, version_before, differing=differing)


if __name__ == "__main__":
    main()
