// SPDX-License-Identifier: MIT
// Checks a run report written by orvexconf --report against the report's
// JSON Schema with a real validator (the system's python3 with
// python3-jsonschema, installed by scripts/deps.sh) and parses it for the
// test's own assertions.
#ifndef REPORTCHECK_H
#define REPORTCHECK_H

#include "ProcessRunner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

/// The report at path, after the schema check (a failure of which fails the
/// test); a null value when it is not JSON.
inline nlohmann::json checkedReport(const std::string &path) {
  RunResult v = runProgram("/usr/bin/python3", {ORVEX_SOURCE_DIR "/scripts/validate-report.py",
                                                ORVEX_SOURCE_DIR "/docs/report.schema.json", path});
  EXPECT_EQ(v.status, 0) << path << " is not a valid report:\n" << v.out << v.err;
  return nlohmann::json::parse(readFile(path), nullptr, false);
}

#endif
