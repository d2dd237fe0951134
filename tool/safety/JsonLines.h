// SPDX-License-Identifier: MIT
// JsonLines: reading the store's files of one JSON object a line (the
// write journal, the backup indexes) with nlohmann-json, whose exceptions
// never leave here: each line is parsed on its own, and a line that is not
// a JSON object is skipped and counted by its number.
#ifndef JSONLINES_H
#define JSONLINES_H

#include <nlohmann/json.hpp>

#include <istream>
#include <string>
#include <vector>

/// Calls each(object, lineNumber) for every line of in that is a JSON
/// object, in order; skipped gets the numbers of the other lines that are
/// not empty.
template <class Each> void forEachJsonLine(std::istream &in, std::vector<int> *skipped, Each each) {
  std::string text;
  for (int number = 1; std::getline(in, text); number++) {
    if (text.empty())
      continue;
    nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object()) {
      if (skipped != nullptr)
        skipped->push_back(number);
      continue;
    }
    each(line, number);
  }
}

/// The text member key of object, "" when there is none or it is no text.
inline std::string jsonText(const nlohmann::json &object, const char *key) {
  auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

#endif
