#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Checks orvexconf run reports against docs/report.schema.json with the
# jsonschema package (Debian: python3-jsonschema).
# Usage: validate-report.py SCHEMA REPORT...; status 0 when all are valid.
import json
import sys

import jsonschema


def main():
    if len(sys.argv) < 3:
        print("usage: validate-report.py SCHEMA REPORT...", file=sys.stderr)
        return 2
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)
    failed = 0
    for path in sys.argv[2:]:
        with open(path, encoding="utf-8") as f:
            report = json.load(f)
        for error in validator.iter_errors(report):
            print(f"{path}: {'/'.join(str(p) for p in error.path)}: {error.message}")
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
