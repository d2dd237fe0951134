// SPDX-License-Identifier: MIT
// libFuzzer target for the readers of parameter sets: any bytes as a
// parameter file, as a JSON export and as a YAML export. Reading never
// throws or stops; every problem names a line of the text (or none); and
// what was read, exported and read again comes back with no problem, the
// same parameters and the same bytes, and exports to the same text (a
// fixed point). A parameter file read without a refused value and saved
// as one reads back to the same values and the same unknown lines (each
// once).
#include "ParamExport.h"
#include "ParamSet.h"
#include "ParamSetFile.h"
#include "ZyLog.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void fail(const char *what, const std::string &detail) {
  fprintf(stderr, "fuzz_param_export: %s\n%s\n", what, detail.c_str());
  abort();
}

void check(const std::string &text, ParamSetFormat format) {
  ParamSet set = format == ParamSetFormat::rop ? paramSetFromRopText(text, "in")
                                               : paramSetFromExportText(text, format, "in");
  size_t lines = 1;
  for (char c : text)
    lines += c == '\n' ? 1 : 0;
  for (const ParamProblem &problem : set.problems)
    if (problem.line < 0 || static_cast<size_t>(problem.line) > lines ||
        problem.message.rfind("'in'", 0) != 0)
      fail("a problem names no line of the text", problem.message);
  if (!set.readable())
    return;
  if (format == ParamSetFormat::rop && !set.refusedAny()) {
    std::string saved = paramSetRopText(set);
    ParamSet back = paramSetFromRopText(saved, "saved");
    if (back.held != set.held || back.refusedAny())
      fail("a saved parameter file reads back to other parameters", saved);
    for (size_t i = 0; i < set.held.size(); i++)
      if (set.holds(i) && back.valueText(i) != set.valueText(i))
        fail("a saved parameter file reads back to another value", saved);
    // Each unknown line once, as a run's save writes it.
    std::vector<std::string> lines, linesBack;
    for (const ParamProblem &problem : set.problems)
      if (!problem.lineText.empty() &&
          std::find(lines.begin(), lines.end(), problem.lineText) == lines.end())
        lines.push_back(problem.lineText);
    for (const ParamProblem &problem : back.problems)
      linesBack.push_back(problem.lineText);
    if (lines != linesBack)
      fail("a saved parameter file does not keep the unknown lines", saved);
  }
  for (ParamSetFormat again : {ParamSetFormat::json, ParamSetFormat::yaml}) {
    std::string exported = exportParamSet(set, again);
    ParamSet back = paramSetFromExportText(exported, again, "out");
    if (!back.readable() || !back.problems.empty())
      fail("an export does not read back", back.readable() ? back.problems[0].message : back.error);
    if (back.held != set.held || std::memcmp(back.image, set.image, FLASH_IMAGE_SIZE) != 0 ||
        back.block != set.block || back.otherBytesKnown != set.otherBytesKnown)
      fail("an export reads back to other values", exported);
    if (exportParamSet(back, again) != exported)
      fail("exporting what was read back gives another text", exported);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = (ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false), true);
  (void)quiet;
  std::string text(reinterpret_cast<const char *>(data), size);
  check(text, ParamSetFormat::rop);
  check(text, ParamSetFormat::json);
  check(text, ParamSetFormat::yaml);
  return 0;
}
