// SPDX-License-Identifier: MIT
// The keyword reference, written from the parameter tables.
#include "ParamReference.h"

#include <set>
#include <strings.h>
#include <vector>

namespace {

/// Units as the descriptions spell them, longest first so that "mm/sec/sec"
/// is not taken for "mm/sec".
struct UnitSpelling {
  const char *inDescription;
  const char *unit;
};
const UnitSpelling UNITS[] = {
    {"mm/sec/sec", "mm/s²"},   {"deg/sec/sec", "deg/s²"}, {"mm/sec", "mm/s"},
    {"deg/sec", "deg/s"},      {"1/10 volts", "0.1 V"},   {"10ms increments", "10 ms"},
    {"1 ms increments", "ms"}, {"time in ms", "ms"},      {"(ms)", "ms"},
    {"Ticks/mm", "ticks/mm"},  {" seconds", "s"},
};

/// Bounds of -1 fall back to what the value's storage holds, as in the
/// ranges written to parameter files.
std::string rangeText(const ParamEntry &entry) {
  long low = entry.kind == ParamKind::int16 ? -32768 : 0;
  long high = entry.kind == ParamKind::uint8 ? 255 : entry.kind == ParamKind::int16 ? 32767 : 65535;
  if (entry.minimum != -1)
    low = entry.minimum;
  if (entry.maximum != -1)
    high = entry.maximum;
  return std::to_string(low) + " to " + std::to_string(high);
}

/// Markdown table cell: the pipe and backslash escaped.
std::string markdownCell(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '|' || c == '\\')
      out += '\\';
    out += c;
  }
  return out;
}

/// Roff text safe on a line of its own: backslashes escaped, a leading
/// control character neutralised.
std::string roffText(const std::string &text) {
  std::string out;
  if (!text.empty() && (text[0] == '.' || text[0] == '\''))
    out = "\\&";
  for (char c : text) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  // The one non-ASCII character of the units, as a roff glyph.
  for (size_t at = out.find("\xc2\xb2"); at != std::string::npos; at = out.find("\xc2\xb2"))
    out.replace(at, 2, "\\(S2");
  return out;
}
} // namespace

std::string paramRange(const ParamEntry &entry) {
  // A text field keeps room for its terminator; a buffered text does not
  // need it.
  if (entry.kind == ParamKind::text)
    return "text, up to " + std::to_string(entry.size - 1) + " characters";
  if (entry.kind == ParamKind::bufferedText)
    return "text, up to " + std::to_string(entry.size) + " characters";
  return rangeText(entry);
}

std::string paramUnit(const ParamEntry &entry) {
  std::string description = entry.description;
  for (const UnitSpelling &u : UNITS)
    if (description.find(u.inDescription) != std::string::npos)
      return u.unit;
  return "";
}

std::string paramDescription(const ParamEntry &entry) {
  std::string text = entry.description;
  while (!text.empty() && text.back() == ' ')
    text.pop_back();
  return text;
}

void writeMarkdownReference(FILE *out) {
  fprintf(out, "# Parameter keywords\n\n"
               "<!-- Generated from the parameter tables by paramdoc; do not edit. -->\n\n"
               "Keywords and aliases are matched in any letter case, on the command line\n"
               "(`orvexconf -b Name Rover7 HostBaud 4`) and in the shell. Parameter files\n"
               "(`.rop`) use the keywords. The description is what the shell's listings\n"
               "show. A value outside the range is refused with a message and the\n"
               "parameter keeps its value.\n");
  for (const ParamTable &table : ParamTableDescriptors()) {
    fprintf(out, "\n## %s\n\n%c%s.\n\n", table.title, table.where[0] - 'a' + 'A', table.where + 1);
    fprintf(out, "| Keyword | Alias | Description | Range | Unit |\n|---|---|---|---|---|\n");
    for (const ParamEntry *e = table.entries; e->name[0] != '\0'; e++) {
      std::string alias = e->alias[0] != '\0' ? "`" + std::string(e->alias) + "`" : "";
      fprintf(out, "| `%s` | %s | %s | %s | %s |\n", e->name, alias.c_str(),
              markdownCell(paramDescription(*e)).c_str(), paramRange(*e).c_str(),
              paramUnit(*e).c_str());
    }
  }
}

void writeRoffReference(FILE *out) {
  for (const ParamTable &table : ParamTableDescriptors()) {
    fprintf(out, ".SS %s\n%c%s.\n", table.title, table.where[0] - 'a' + 'A', table.where + 1);
    for (const ParamEntry *e = table.entries; e->name[0] != '\0'; e++) {
      fprintf(out, ".TP\n.B %s\n", roffText(e->name).c_str());
      std::string details;
      if (e->alias[0] != '\0')
        details = "alias \\fB" + roffText(e->alias) + "\\fR; ";
      details += paramRange(*e);
      std::string unit = paramUnit(*e);
      if (!unit.empty())
        details += "; " + roffText(unit);
      fprintf(out, "%s.\n.br\n%s\n", details.c_str(), roffText(paramDescription(*e)).c_str());
    }
  }
}

void writeKeywordList(FILE *out) {
  std::vector<std::string> words;
  std::set<std::string> seen;
  auto add = [&](const char *word) {
    std::string lower = word;
    for (char &c : lower)
      c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (word[0] != '\0' && seen.insert(lower).second)
      words.push_back(word);
  };
  for (const ParamTable &table : ParamTableDescriptors())
    for (const ParamEntry *e = table.entries; e->name[0] != '\0'; e++) {
      add(e->name);
      add(e->alias);
    }
  for (size_t i = 0; i < words.size(); i++)
    fprintf(out, "%s%s", i == 0 ? "" : " ", words[i].c_str());
  fprintf(out, "\n");
}
