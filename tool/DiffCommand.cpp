// SPDX-License-Identifier: MIT
// The --diff run's lines and its record.
#include "DiffCommand.h"

#include "ParamSetDiff.h"
#include "Session.h"
#include "ShellText.h"
#include "ZyLog.h"

#include <nlohmann/json.hpp>

namespace {

/// How the output names a side: the controller, or the file quoted.
std::string sideName(const std::string &name) {
  return name == "-" ? "the controller" : "'" + escapedText(name) + "'";
}

/// Names a few keywords; more than a line holds are only counted.
std::string keywordList(const std::vector<std::string> &keywords) {
  const size_t MOST_NAMED = 8;
  if (keywords.size() > MOST_NAMED)
    return "";
  std::string list;
  for (const std::string &keyword : keywords)
    list += (list.empty() ? ": " : ", ") + keyword;
  return list;
}

/// "3 parameters of the controller are not in 'a.rop'; they are not
/// compared."
void logOnlyIn(const std::vector<std::string> &keywords, const std::string &holder,
               const std::string &other) {
  if (keywords.empty())
    return;
  size_t count = keywords.size();
  ZyLog::log(ZyLog::Normal, "%zu %s of %s %s not in %s and %s not compared%s.", count,
             count == 1 ? "parameter" : "parameters", holder.c_str(), count == 1 ? "is" : "are",
             other.c_str(), count == 1 ? "is" : "are", keywordList(keywords).c_str());
}

} // namespace

bool showParamSetDiff(const ParamSet &first, const std::string &firstName, const ParamSet &second,
                      const std::string &secondName, RunOutcome &outcome) {
  ParamSetDiff diff = diffParamSets(first, second);
  std::string a = sideName(firstName);
  std::string b = sideName(secondName);
  ZyLog::log(ZyLog::Normal, "Comparing %s with %s.", a.c_str(), b.c_str());
  // What a side could not give comes first, as a restore shows it.
  for (const ParamProblem &problem : diff.problems)
    ZyLog::log(ZyLog::Terse, "%s", escapedText(problem.message).c_str());
  logOnlyIn(diff.onlyInFirst, a, b);
  logOnlyIn(diff.onlyInSecond, b, a);
  if (diff.differs()) {
    ZyLog::log(ZyLog::Normal, "%s", differHeading(diff.changes.size()).c_str());
    for (const ParamChange &change : diff.changes)
      ZyLog::log(ZyLog::Normal, "%s", escapedText(describedChangeLine(change)).c_str());
  } else {
    ZyLog::log(ZyLog::Normal, "No parameter differs.");
  }
  if (diff.firstOtherByte >= 0)
    ZyLog::log(ZyLog::Normal, "%s and %s also differ in bytes no parameter holds (0x%x to 0x%x).",
               a.c_str(), b.c_str(), static_cast<unsigned>(diff.firstOtherByte),
               static_cast<unsigned>(diff.lastOtherByte));

  nlohmann::json problems = nlohmann::json::array();
  for (const ParamProblem &problem : diff.problems)
    problems.push_back(
        {{"line", problem.line},
         {"keyword", problem.keyword},
         {"reason", problem.reason},
         {"suggestion", problem.suggestion.empty() ? nlohmann::json(nullptr)
                                                   : nlohmann::json(problem.suggestion)},
         {"message", problem.message}});
  nlohmann::json member = {{"first", firstName},
                           {"second", secondName},
                           {"differs", diff.differs()},
                           {"problems", problems},
                           {"onlyInFirst", diff.onlyInFirst},
                           {"onlyInSecond", diff.onlyInSecond},
                           {"otherBytes", diff.firstOtherByte < 0
                                              ? nlohmann::json(nullptr)
                                              : nlohmann::json{{"first", diff.firstOtherByte},
                                                               {"last", diff.lastOtherByte}}}};
  std::string json = member.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  bool controller = firstName == "-" || secondName == "-";
  outcome.update([&](RunRecord &record) {
    record.run.check = true;
    record.run.offline = !controller;
    record.block.changes = diff.changes;
    record.block.changed = diff.differs();
    record.diffJson = json;
  });
  return diff.differs();
}

void runDiff(const RunPlan &plan, const RunFiles &files, Session *session, RunOutcome &outcome) {
  ParamSet controller;
  if (session != nullptr && session->connected())
    controller = paramSetFromBlock(session->block().data(), PARAM_BLOCK_SIZE, "controller");
  showParamSetDiff(plan.diffFirst == "-" ? controller : files.diffFirst, plan.diffFirst,
                   plan.diffSecond == "-" ? controller : files.diffSecond, plan.diffSecond,
                   outcome);
  if (session != nullptr)
    session->close();
}
