// SPDX-License-Identifier: MIT
// The keyword reference made from the parameter tables: ranges and units of
// representative entries, and every keyword present in each output form.
#include "ParamReference.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {
const ParamEntry &entryNamed(const char *name) {
  for (ParamEntry *table : {robotTable, armTable, powerTable})
    for (ParamEntry *e = table; e->name[0] != '\0'; e++)
      if (strcmp(e->name, name) == 0)
        return *e;
  ADD_FAILURE() << "no entry " << name;
  return robotTable[0];
}

std::string capture(void (*write)(FILE *)) {
  char *buffer = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&buffer, &size);
  write(out);
  fclose(out);
  std::string text(buffer, size);
  free(buffer);
  return text;
}
} // namespace

TEST(ParamReference, RangesAndUnitsComeFromTheTables) {
  struct Case {
    const char *keyword, *range, *unit;
  } cases[] = {
      {"Ticks/mm", "0 to 200", "ticks/mm"},
      {"Name", "text, up to 18 characters", ""},
      {"Sonar1", "text, up to 16 characters", ""},
      {"DriftFactor", "-32768 to 32767", ""},
      {"RevCount", "0 to 65535", ""},
      {"FreeSpace", "0 to 32767", ""},
      {"BattConv", "0 to 1", ""},
      {"ShutdownVolts", "0 to 360", "0.1 V"},
      {"SipCycle", "1 to 1000", "ms"},
      {"StallCount", "0 to 65535", "10 ms"},
      {"TransAcc", "0 to 4000", "mm/s\xc2\xb2"},
      {"JoyVelMax", "0 to 2200", "mm/s"},
      {"RotVelMax", "0 to 65535", "deg/s"},
      {"AutoPark", "-32768 to 32767", "s"},
  };
  for (const Case &c : cases) {
    const ParamEntry &e = entryNamed(c.keyword);
    EXPECT_EQ(paramRange(e), c.range) << c.keyword;
    EXPECT_EQ(paramUnit(e), c.unit) << c.keyword;
  }
  EXPECT_EQ(paramDescription(entryNamed("PwmMax")), "PwmMax (0-500)") << "trailing blank dropped";
}

TEST(ParamReference, EveryKeywordAndAliasAppearsInEveryForm) {
  std::string markdown = capture(writeMarkdownReference);
  std::string roff = capture(writeRoffReference);
  std::string words = " " + capture(writeKeywordList);
  ASSERT_EQ(words.back(), '\n');
  words.back() = ' ';
  int entries = 0;
  for (ParamEntry *table : {robotTable, armTable, powerTable})
    for (ParamEntry *e = table; e->name[0] != '\0'; e++) {
      entries++;
      EXPECT_NE(markdown.find("| `" + std::string(e->name) + "` |"), std::string::npos) << e->name;
      std::string roffName = e->name;
      EXPECT_NE(roff.find(".B " + roffName + "\n"), std::string::npos) << e->name;
      // Keywords and aliases differing only in letter case are listed once.
      bool listed = false;
      for (const char *w : {e->name, e->alias})
        if (w[0] != '\0' && words.find(" " + std::string(w) + " ") != std::string::npos)
          listed = true;
      EXPECT_TRUE(listed) << e->name;
      if (e->alias[0] != '\0' && strcasecmp(e->alias, e->name) != 0) {
        EXPECT_NE(words.find(" " + std::string(e->alias) + " "), std::string::npos) << e->alias;
      }
    }
  EXPECT_EQ(entries, 66 + 40 + 24);
  // A pipe in a description does not break the Markdown table.
  EXPECT_NE(markdown.find("0\\|3=300/320"), std::string::npos);
  // Roff: no line starts with a control character taken from the text.
  EXPECT_EQ(roff.find("\n'"), std::string::npos);
  EXPECT_NE(roff.find("mm/s\\(S2"), std::string::npos);
}
