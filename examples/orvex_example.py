#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A client of the Python module orvex: loads a parameter file, changes a
parameter, saves the result and inspects a firmware image, all without a
controller.

    orvex_example.py rover7.rop HostBaud 4 rover7-fast.rop firmware.mot

Nothing is printed by the module itself: what goes wrong is raised as an
orvex.Error whose status is the one orvexconf ends with, and the script
ends with it.
"""
import sys

import orvex


def main(argv):
    if len(argv) != 6:
        print("usage: orvex_example.py PARAMS.rop KEYWORD VALUE SAVED.rop FIRMWARE",
              file=sys.stderr)
        return 1
    source, keyword, value, saved, firmware = argv[1:]
    try:
        params = orvex.load_rop(source)
        print(f"Loaded '{params.source}' ({params.format}): {keyword} is {params[keyword]!r}.")
        changed = params.copy()
        changed[keyword] = value
        for change in params.changes_to(changed):
            print(f"Changed {change}")
        orvex.save_rop(changed, saved)
        print(f"Saved '{saved}'.")
        info = orvex.inspect_image(firmware)
        ranges = " ".join(f"0x{first:x}-0x{end - 1:x}" for first, end in info.ranges)
        print(f"Firmware '{info.file}': {info.format}, {ranges}, "
              f"{len(info.blocks)} block(s) to write")
        print(f"SHA-256 of the bytes to write: {info.sha256}")
    except orvex.Error as error:
        print(f"orvex_example: {type(error).__name__} ({error.status_name}, status "
              f"{error.status}):\n{error.message}", file=sys.stderr)
        if error.file and error.line:
            print(f"  at {error.file} line {error.line}", file=sys.stderr)
        return error.status
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
