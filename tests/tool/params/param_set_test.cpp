// SPDX-License-Identifier: MIT
// Tests of parameter sets as values: reading parameter files, block images
// and exports without touching the run's image; setting a value in a set
// with the keyword command's checks; saving a set, which writes what a
// run's save writes; the difference between two sets; and the export
// round trip, which must give back every byte.
#include "FlashImage.h"
#include "LogCapture.h"
#include "ParamExport.h"
#include "ParamFile.h"
#include "ParamSet.h"
#include "ParamSetDiff.h"
#include "ParamSetFile.h"
#include "TempFiles.h"
#include "ZyConfig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> changeLines(const ParamSetDiff &diff) {
  std::vector<std::string> lines;
  for (const ParamChange &change : diff.changes)
    lines.push_back(changeLine(change));
  return lines;
}

std::vector<std::string> reasons(const std::vector<ParamProblem> &problems) {
  std::vector<std::string> list;
  for (const ParamProblem &problem : problems)
    list.push_back(std::to_string(problem.line) + " " + problem.keyword + ": " + problem.reason +
                   (problem.suggestion.empty() ? "" : " -> " + problem.suggestion));
  return list;
}

size_t indexOf(const char *keyword) {
  const ParamEntryRef *ref = findParamEntry(keyword);
  return ref == nullptr ? paramEntries().size() : static_cast<size_t>(ref - paramEntries().data());
}

/// A block with every parameter set to something plausible and 0xFF after
/// the parameters, as an erased and then written block holds.
std::vector<unsigned char> blockFromRop(const TempDir &dir, const std::string &rop,
                                        const char *powerSettings) {
  ParamSet set = paramSetFromRopFile(dir.write("base.rop", rop));
  std::vector<unsigned char> block = paramSetBlock(set);
  std::fill(block.begin() + FLASH_IMAGE_SIZE, block.end(), 0xFF);
  ParamSet whole = paramSetFromBlock(block.data(), block.size(), "x");
  // The power settings a parameter file cannot carry.
  ParamSet power = paramSetFromExportText(
      std::string("{\"format\": \"orvexconf-parameters/1\", \"parameters\": [") + powerSettings +
          "]}",
      ParamSetFormat::json, "power");
  EXPECT_TRUE(power.readable()) << power.error;
  for (size_t i = 0; i < paramEntries().size(); i++)
    if (power.holds(i))
      std::memcpy(whole.image + paramEntries()[i].offset, power.image + paramEntries()[i].offset,
                  paramEntries()[i].width);
  return paramSetBlock(whole);
}

const char *const kBase = "Name demo-bot\nHostBaud 4\nTicks/mm 128\nDriftFactor -12\n"
                          "Sonar1 12345678\nHome1 128\n";

TEST(ParamSetDiff, ComparesValuesNotText) {
  struct Case {
    const char *name;
    const char *first;
    const char *second; ///< nullptr: the base as a block image
    std::vector<std::string> changes;
    std::vector<std::string> problems;
    size_t onlyInFirst, onlyInSecond;
  };
  const Case cases[] = {
      {"same values written differently",
       kBase,
       "; a comment\n\n   home1 128\nSONAR1 12345678   ; sonar\nticksmm 128\n"
       "driftfactor   -12\nname demo-bot\nHOSTBAUD 4\n",
       {},
       {},
       0,
       0},
      {"one change",
       kBase,
       "Name demo-bot\nHostBaud 2\nTicks/mm 128\nDriftFactor -12\nSonar1 12345678\nHome1 128\n",
       {"HostBaud: 4 -> 2"},
       {},
       0,
       0},
      {"texts quoted, in table order",
       "Name a\nHostBaud 1\nType T\n",
       "HostBaud 1\nName b\nType U\n",
       {"Type: 'T' -> 'U'", "Name: 'a' -> 'b'"},
       {},
       0,
       0},
      {"an unknown keyword",
       kBase,
       "Name demo-bot\nHostBuad 4\nTicks/mm 128\nDriftFactor -12\nSonar1 12345678\nHome1 128\n",
       {},
       {"2 HostBuad: unknown keyword -> HostBaud"},
       1,
       0},
      {"a refused value and a line under another section",
       "HostBaud 4\nTicks/mm 128\n",
       "HostBaud 9\nSection Extra\nTicks/mm 128\n",
       {},
       {"1 HostBaud: out of range", "3 Ticks/mm: in an unknown section"},
       2,
       0},
      {"a power setting in a parameter file",
       "HostBaud 4\n",
       "HostBaud 4\nLRFPower 1\n",
       {},
       {"2 LRFPower: unknown keyword"},
       0,
       0},
      {".rop against .blk", kBase, nullptr, {}, {}, 0, 130 - 6},
      {".rop against .blk, one change",
       "Name demo-bot\nHostBaud 4\nTicks/mm 150\nDriftFactor -12\nSonar1 12345678\nHome1 128\n",
       nullptr,
       {"Ticks/mm: 150 -> 128"},
       {},
       0,
       130 - 6},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ParamSet first = loadParamSet(dir.write("a.rop", c.first));
    ParamSet second;
    if (c.second != nullptr) {
      second = loadParamSet(dir.write("b.rop", c.second));
    } else {
      std::vector<unsigned char> block = blockFromRop(dir, kBase, "");
      std::string bytes(block.begin(), block.end());
      second = loadParamSet(dir.write("b.blk", bytes));
    }
    ASSERT_TRUE(first.readable()) << first.error;
    ASSERT_TRUE(second.readable()) << second.error;
    ParamSetDiff diff = diffParamSets(first, second);
    EXPECT_EQ(changeLines(diff), c.changes);
    EXPECT_EQ(reasons(diff.problems), c.problems);
    EXPECT_EQ(diff.onlyInFirst.size(), c.onlyInFirst);
    EXPECT_EQ(diff.onlyInSecond.size(), c.onlyInSecond);
    EXPECT_EQ(diff.differs(), !c.changes.empty());
  }
}

TEST(ParamSetDiff, ChangesCarryDescriptionsAndProblemsNameFileAndLine) {
  TempDir dir;
  ParamSet first = loadParamSet(dir.write("a.rop", "HostBaud 0\n"));
  ParamSet second = loadParamSet(dir.write("b.rop", "\n\nHostBaud 4\nHostBuad 3\n"));
  ParamSetDiff diff = diffParamSets(first, second);
  ASSERT_EQ(diff.changes.size(), 1u);
  EXPECT_EQ(describedChangeLine(diff.changes[0]),
            "HostBaud: 0 -> 4  ; HostBaud (0=9.6K, 1=19.2K, 2=38.4K 3=57.6K 4=115K)");
  EXPECT_EQ(differHeading(diff.changes.size()), "1 parameter differs:");
  ASSERT_EQ(diff.problems.size(), 1u);
  EXPECT_EQ(diff.problems[0].message, "'" + dir.file("b.rop") +
                                          "' line 4: unknown keyword 'HostBuad' (did you "
                                          "mean 'HostBaud'?), not applied.");
}

TEST(ParamSetDiff, BlocksAlsoCompareTheBytesNoKeywordHolds) {
  TempDir dir;
  std::vector<unsigned char> block = blockFromRop(dir, kBase, "");
  std::vector<unsigned char> other = block;
  other[31] = 0x5A;   // reserved byte
  other[4000] = 0x00; // after the parameters
  ParamSet a = paramSetFromBlock(block.data(), block.size(), "a");
  ParamSet b = paramSetFromBlock(other.data(), other.size(), "b");
  ParamSetDiff diff = diffParamSets(a, b);
  EXPECT_TRUE(diff.changes.empty());
  EXPECT_EQ(diff.firstOtherByte, 31);
  EXPECT_EQ(diff.lastOtherByte, 4000);
  // A parameter file knows no such bytes: nothing to compare.
  ParamSet rop = loadParamSet(dir.write("a.rop", kBase));
  EXPECT_EQ(diffParamSets(rop, b).firstOtherByte, -1);
}

TEST(ParamSetLoad, LeavesTheRunsImageAndRegistryAlone) {
  for (int i = 0; i < FLASH_IMAGE_SIZE; i++)
    flashImage[i] = static_cast<unsigned char>(i * 7 + 1);
  std::memcpy(referenceImage, flashImage, FLASH_IMAGE_SIZE);
  ZyConfig registry;
  registerFileTables(&registry);
  loadTextBuffers(robotTable);
  std::string sonar = robotTable[indexOf("Sonar1")].textBuffer;

  TempDir dir;
  ParamSet rop = loadParamSet(dir.write("a.rop", std::string(kBase) + "Sonar2 abc\n"));
  ParamSet json = loadParamSet(dir.write("a.json", exportParamSet(rop, ParamSetFormat::json)));
  EXPECT_TRUE(rop.problems.empty());
  EXPECT_EQ(json.valueText(indexOf("Sonar2")), "abc");
  EXPECT_EQ(std::memcmp(flashImage, referenceImage, FLASH_IMAGE_SIZE), 0);
  EXPECT_EQ(robotTable[indexOf("Sonar1")].textBuffer, sonar);

  // A restore of an export carries its values, the power settings among
  // them, into the image and the text buffers, and no other byte.
  std::vector<unsigned char> block =
      blockFromRop(dir, kBase, R"({"keyword": "LRFPower", "value": 3})");
  ParamSet whole = paramSetFromBlock(block.data(), block.size(), "robot");
  std::string exported = dir.file("robot.yaml");
  std::string error;
  ASSERT_TRUE(writeParamSetExport(whole, ParamSetFormat::yaml, exported, false, &error)) << error;
  ASSERT_TRUE(restoreParameterFile(exported.c_str(), &registry));
  EXPECT_EQ(std::string(robotTable[indexOf("Sonar1")].textBuffer), "12345678");
  EXPECT_EQ(flashImage[paramEntries()[indexOf("LRFPower")].offset], 3);
  EXPECT_EQ(flashImage[31], referenceImage[31]);
  EXPECT_EQ(flashImage[415], referenceImage[415]);
}

TEST(ParamSetLoad, TheNameSaysTheFormatAndParameterFilesStayTheDefault) {
  const struct {
    const char *name;
    ParamSetFormat format;
  } cases[] = {{"a.rop", ParamSetFormat::rop},   {"a", ParamSetFormat::rop},
               {"a.txt", ParamSetFormat::rop},   {"x.json/a", ParamSetFormat::rop},
               {"b.BLK", ParamSetFormat::block}, {"dir/c.Json", ParamSetFormat::json},
               {"c.yaml", ParamSetFormat::yaml}, {"c.YML", ParamSetFormat::yaml}};
  for (const auto &c : cases)
    EXPECT_EQ(paramSetFormatOf(c.name), c.format) << c.name;
  // A restore of an export that cannot be read fails before it changes
  // anything.
  TempDir dir;
  ZyConfig registry;
  std::memset(flashImage, 0x11, FLASH_IMAGE_SIZE);
  for (const char *bad : {"{\"format\": \"orvexconf-parameters/1\"}", "{", "[]"}) {
    std::string file = dir.write("bad.json", bad);
    EXPECT_FALSE(restoreParameterFile(file.c_str(), &registry)) << bad;
  }
  EXPECT_FALSE(restoreParameterFile(dir.file("missing.yaml").c_str(), &registry));
  EXPECT_EQ(flashImage[0], 0x11);
  EXPECT_EQ(flashImage[FLASH_IMAGE_SIZE - 1], 0x11);
}

TEST(ParamSetLoad, BlockImagesAreCheckedAsForARestore) {
  TempDir dir;
  for (size_t size : {4096u, 4095u, 4097u, 422u, 0u}) {
    SCOPED_TRACE(size);
    ParamSet set = loadParamSet(dir.write("x.blk", std::string(size, '\x01')));
    bool whole = size == 4096u || size == 4095u;
    EXPECT_EQ(set.readable(), whole) << set.error;
    EXPECT_EQ(set.block.size(), whole ? size : 0u);
    if (!whole) {
      EXPECT_EQ(set.error, "'" + dir.file("x.blk") +
                               "' is not a FLASH parameter block image: it must hold 4096 "
                               "bytes (or 4095).");
    }
  }
  for (const char *missing : {"missing.blk", "missing.rop", "missing.json"})
    EXPECT_NE(loadParamSet(dir.file(missing)).error.find("Cannot open"), std::string::npos);
  EXPECT_NE(loadParamSet(dir.write("big.rop", std::string(PARAM_FILE_MAX_BYTES + 1, '\n')))
                .error.find("holds more than"),
            std::string::npos);
  ParamSet longLine =
      loadParamSet(dir.write("long.rop", std::string(10000, 'x') + "\nHostBaud 3\n"));
  EXPECT_EQ(reasons(longLine.problems), std::vector<std::string>{"1 : line too long"});
  EXPECT_EQ(longLine.valueText(indexOf("HostBaud")), "3");
}

// An export read back must give the very block, or for a parameter file
// the very values, it was made from. "The very block" means every byte:
// each parameter's value; the bytes no keyword holds (the reserved ones,
// a text's bytes after its terminator, the bytes after the 422 parameter
// bytes), carried as "otherBytes"; and the block's length.
void expectRoundTrip(const ParamSet &set, ParamSetFormat format) {
  std::string text = exportParamSet(set, format);
  ParamSet back = paramSetFromExportText(text, format, "export");
  ASSERT_TRUE(back.readable()) << back.error << "\n" << text;
  EXPECT_TRUE(back.problems.empty()) << back.problems[0].message;
  EXPECT_EQ(back.held, set.held);
  EXPECT_EQ(std::memcmp(back.image, set.image, FLASH_IMAGE_SIZE), 0) << text;
  EXPECT_EQ(back.block, set.block);
  EXPECT_EQ(paramSetBlock(back), paramSetBlock(set));
  // Exporting what was read gives the same text.
  EXPECT_EQ(exportParamSet(back, format), text);
}

// -r of an export, over a controller's block that differs in every byte of
// every parameter the export holds, gives back the block it was made from
// (bytes no parameter holds are the controller's own, and stay).
void expectRestoreGivesBackTheBlock(const ParamSet &set, ParamSetFormat format) {
  TempDir dir;
  std::string file = dir.file(format == ParamSetFormat::json ? "x.json" : "x.yaml");
  std::string error;
  ASSERT_TRUE(writeParamSetExport(set, format, file, false, &error)) << error;
  std::vector<unsigned char> want = paramSetBlock(set);
  std::vector<unsigned char> controller = want;
  controller.resize(PARAM_BLOCK_SIZE, 0xFF);
  const std::vector<ParamEntryRef> &entries = paramEntries();
  for (size_t i = 0; i < entries.size(); i++)
    for (size_t k = 0; set.holds(i) && k < entries[i].width; k++)
      controller[entries[i].offset + k] ^= 0xA5;
  takeBlockIntoImage(controller.data());
  ZyConfig registry;
  registerFileTables(&registry);
  ASSERT_TRUE(restoreParameterFile(file.c_str(), &registry));
  std::vector<unsigned char> restored = controller;
  imageIntoBlock(restored.data());
  restored.resize(want.size());
  EXPECT_EQ(restored, want);
}

TEST(ParamExport, RoundTripGivesBackEveryParameterFileAndEveryBlock) {
  std::vector<ParamSet> sets;
  std::string folder = std::string(ORVEX_SOURCE_DIR) + "/params";
  DIR *directory = opendir(folder.c_str());
  ASSERT_NE(directory, nullptr);
  while (dirent *entry = readdir(directory)) {
    std::string name = entry->d_name;
    ParamSetFormat format = paramSetFormatOf(name);
    if (name.size() > 4 &&
        (name.substr(name.size() - 4) == ".rop" || format == ParamSetFormat::block))
      sets.push_back(loadParamSet(folder + "/" + name));
  }
  closedir(directory);
  ASSERT_FALSE(sets.empty());
  std::mt19937 random(20240611);
  for (int n = 0; n < 40; n++) {
    std::vector<unsigned char> block(n % 5 == 4 ? PARAM_BLOCK_SHORTEST : PARAM_BLOCK_SIZE);
    for (unsigned char &byte : block)
      byte = static_cast<unsigned char>(random());
    // Some blocks as a controller holds them: texts ended early, long runs.
    if (n % 2 == 1) {
      block[141 + 3] = 0;
      std::fill(block.begin() + 500, block.end(), 0xFF);
      std::fill(block.begin() + 95, block.begin() + 128, 0);
    }
    sets.push_back(paramSetFromBlock(block.data(), block.size(), "random"));
  }
  for (const ParamSet &set : sets) {
    SCOPED_TRACE(set.source);
    ASSERT_TRUE(set.readable()) << set.error;
    EXPECT_TRUE(set.problems.empty());
    expectRoundTrip(set, ParamSetFormat::json);
    expectRoundTrip(set, ParamSetFormat::yaml);
    expectRestoreGivesBackTheBlock(set, ParamSetFormat::json);
    expectRestoreGivesBackTheBlock(set, ParamSetFormat::yaml);
  }
}

TEST(ParamExport, ReadingRefusesWhatItCannotTakeWithItsLine) {
  struct Case {
    ParamSetFormat format;
    const char *text;
    const char *error; ///< part of the whole-file error, or nullptr
    std::vector<std::string> problems;
  };
  const char *head = "{\"format\": \"orvexconf-parameters/1\", \"parameters\": [\n";
  auto json = [head](const std::string &lines) { return std::string(head) + lines + "\n]}"; };
  const std::string cases0 = json(R"({"keyword": "Ticks/mm", "value": 250},
{"keyword": "HostBuad", "value": 1},
{"keyword": "Name", "value": "this name is far too long"},
{"keyword": "Sonar1", "hex": "0g"},
{"keyword": "HostBaud", "value": "4"},
{"keyword": "ticksmm", "value": 199},
{"keyword": "RevCount", "value": 99999999999},
{"keyword": "Name", "value": "tab\there"},
7,
{"keyword": "Type", "value": "Marlock", "hex": "41"},
{"keyword": "AuxBaud1", "value": 200, "outOfRange": true},
{"keyword": "Home1", "value": 300, "outOfRange": true},
{"keyword": "Sonar2", "hex": "410042"})");
  const std::string yaml = "format: orvexconf-parameters/1\nparameters:\n"
                           "  - {keyword: HostBaud, value: 4}\n"
                           "  - {keyword: Ticks/mm, value: 0x10}\n"
                           "  - keyword: Sonar2\n    value: 12345678\n"
                           "  - {keyword: DriftFactor, value: -40000}\n"
                           "otherBytes:\n  - {offset: 179, hex: \"ffff\"}\n"
                           "  - {offset: 4000, count: 2, fill: \"ff\"}\n";
  const Case cases[] = {
      {ParamSetFormat::json,
       cases0.c_str(),
       nullptr,
       {"2 Ticks/mm: out of range", "3 HostBuad: unknown keyword -> HostBaud",
        "4 Name: text too long", "5 Sonar1: not hex", "8 RevCount: out of range",
        "9 Name: text not storable", "10 : not a parameter", "11 Type: two values",
        "13 Home1: out of range", "14 Sonar2: text past its end"}},
      {ParamSetFormat::yaml,
       yaml.c_str(),
       nullptr,
       {"4 Ticks/mm: not an integer", "7 DriftFactor: out of range", "9 : overlaps a parameter",
        "10 : outside the block"}},
      {ParamSetFormat::json,
       "{\"format\": \"orvexconf-parameters/1\",\n \"parameters\": [,]}",
       "line 2: not valid JSON",
       {}},
      {ParamSetFormat::yaml, "format: x\nparameters: [\n", "line", {}},
      {ParamSetFormat::json, "{\"parameters\": []}", "has no \"format\"", {}},
      {ParamSetFormat::yaml, "- 1\n- 2\n", "has no \"format\"", {}},
      {ParamSetFormat::json,
       "{\"format\": \"orvexconf-parameters/1\", \"parameters\": 3}",
       "has no \"parameters\" list",
       {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ParamSet set = paramSetFromExportText(c.text, c.format, "in");
    if (c.error != nullptr) {
      EXPECT_NE(set.error.find(c.error), std::string::npos) << set.error;
      EXPECT_EQ(set.error.rfind("'in' ", 0), 0u) << set.error;
      continue;
    }
    ASSERT_TRUE(set.readable()) << set.error;
    EXPECT_EQ(reasons(set.problems), c.problems);
  }
  // What was taken around the refusals.
  ParamSet taken = paramSetFromExportText(cases0, ParamSetFormat::json, "in");
  EXPECT_EQ(taken.valueText(indexOf("HostBaud")), "4");
  EXPECT_EQ(taken.valueText(indexOf("Ticks/mm")), "199");
  // A value outside the table's range is taken when the export marks it
  // as the block's own, within the storage width.
  EXPECT_EQ(taken.valueText(indexOf("AuxBaud1")), "200");
  EXPECT_FALSE(taken.holds(indexOf("Name")));
  ParamSet fromYaml = paramSetFromExportText(yaml, ParamSetFormat::yaml, "in");
  EXPECT_EQ(fromYaml.valueText(indexOf("Sonar2")), "12345678");
  EXPECT_EQ(fromYaml.image[179], 4);
  EXPECT_EQ(fromYaml.image[180], 0xFF);
  EXPECT_TRUE(fromYaml.otherBytesKnown);
}

TEST(ParamExport, WritesANewFileAndReplacesOnlyWhenAskedNeverThroughALink) {
  TempDir dir;
  ParamSet set = loadParamSet(dir.write("a.rop", kBase));
  std::string file = dir.file("out.json");
  std::string error;
  ASSERT_TRUE(writeParamSetExport(set, ParamSetFormat::json, file, false, &error)) << error;
  EXPECT_FALSE(writeParamSetExport(set, ParamSetFormat::json, file, false, &error));
  EXPECT_EQ(error, "Cannot export to '" + file + "': it exists already.");
  EXPECT_TRUE(writeParamSetExport(set, ParamSetFormat::yaml, file, true, &error)) << error;
  EXPECT_EQ(loadParamSet(file).error.find("not valid JSON") != std::string::npos, true);
  std::string target = dir.write("target", "keep");
  std::string link = dir.file("link.json");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(writeParamSetExport(set, ParamSetFormat::json, link, true, &error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos);
  EXPECT_FALSE(writeParamSetExport(set, ParamSetFormat::rop, dir.file("x"), true, &error));
  ParamSetFormat format;
  EXPECT_TRUE(exportFormatNamed("YAML", &format));
  EXPECT_EQ(format, ParamSetFormat::yaml);
  EXPECT_FALSE(exportFormatNamed("rop", &format));
}

std::string fileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ParamSetEdit, SetsAValueWithTheKeywordCommandsChecksAndLeavesTheRunsImageAlone) {
  std::memset(flashImage, 0x5A, FLASH_IMAGE_SIZE);
  std::memcpy(referenceImage, flashImage, FLASH_IMAGE_SIZE);
  TempDir dir;
  const ParamSet base = loadParamSet(dir.write("a.rop", kBase));
  const struct {
    const char *keyword, *value;
    bool known;
    ParamRefusal refusal;
    const char *shown;  // the value the set holds afterwards, as shown
    const char *logged; // a line the set logged, "" for none looked at
  } cases[] = {
      {"HostBaud", "2", true, ParamRefusal::none, "2", ""},
      {"hostbaud", "9", true, ParamRefusal::outOfRange, "4",
       "Value for HostBaud must be an integer <= 4."},
      {"HostBaud", "4x", true, ParamRefusal::notInteger, "4",
       "Value for HostBaud must be an integer."},
      {"DriftFactor", "-300", true, ParamRefusal::none, "-300", ""},
      {"Name", "a;b", true, ParamRefusal::notStorable, "demo-bot", ""},
      {"Name", "a-name-longer-than-its-field", true, ParamRefusal::textCut, "a-name-longer-than-",
       "Value for Name cut to its first 19 characters (28 given)."},
      {"Sonar1", "87654321", true, ParamRefusal::none, "87654321", ""},
      {"ticksmm", "100", true, ParamRefusal::none, "100", ""},
      {"LRFPower", "3", true, ParamRefusal::none, "3", ""},
      {"HostBuad", "4", false, ParamRefusal::none, "", ""},
  };
  for (const auto &c : cases) {
    ParamSet set = base;
    ParamRefusal refusal = ParamRefusal::textCut;
    std::string suggestion = "x";
    LogCapture log(ZyLog::Normal);
    EXPECT_EQ(setParamSetValue(set, c.keyword, c.value, &refusal, &suggestion), c.known)
        << c.keyword;
    EXPECT_EQ(refusal, c.refusal) << c.keyword << " " << c.value;
    if (!c.known) {
      EXPECT_EQ(suggestion, "HostBaud");
      continue;
    }
    EXPECT_EQ(suggestion, "");
    size_t index = indexOf(c.keyword);
    EXPECT_EQ(set.valueText(index), c.shown) << c.keyword;
    // A value stored makes the set hold it; one refused changes nothing.
    bool refused = c.refusal != ParamRefusal::none && c.refusal != ParamRefusal::textCut;
    EXPECT_EQ(set.holds(index), refused ? base.holds(index) : true) << c.keyword;
    if (refused) {
      EXPECT_EQ(std::memcmp(set.image, base.image, FLASH_IMAGE_SIZE), 0) << c.keyword;
    }
    if (c.logged[0] != '\0') {
      EXPECT_TRUE(log.hasLine(c.logged)) << log.text();
    }
  }
  EXPECT_EQ(std::memcmp(flashImage, referenceImage, FLASH_IMAGE_SIZE), 0);
}

TEST(ParamSetFile, AParameterFileIsWhatARunsSaveWritesUnknownLinesIncluded) {
  TempDir dir;
  // Every keyword a parameter file carries, and lines that name none (one
  // of them twice: a save writes it once).
  std::string source = fileText(std::string(ORVEX_SOURCE_DIR) + "/params/sample.rop") +
                       "Bogus 12\n\"Two words\" x\nLRFPower 2\nBogus 12\n";
  ParamSet set = loadParamSet(dir.write("in.rop", source));
  ASSERT_TRUE(set.readable());
  ASSERT_FALSE(set.refusedAny());
  ParamRefusal refusal;
  ASSERT_TRUE(setParamSetValue(set, "HostBaud", "1", &refusal, nullptr));

  // The run's way: the tables bound to the image in the registry of a
  // save, the file restored into it, the keyword set, the registry written.
  std::memset(flashImage, 0, FLASH_IMAGE_SIZE);
  for (ParamEntry *table : allTables())
    loadTextBuffers(table);
  ZyConfig registry(nullptr, true, false, false, true);
  registerFileTables(&registry);
  ASSERT_TRUE(restoreParameterFile(dir.file("in.rop").c_str(), &registry));
  ASSERT_TRUE(setParameter(commandLineTables(), "HostBaud", "1"));
  ASSERT_TRUE(registry.writeFile(dir.file("run.rop").c_str()));

  std::string error;
  ASSERT_TRUE(writeParamSetFile(set, dir.file("set.rop"), false, &error)) << error;
  EXPECT_EQ(fileText(dir.file("set.rop")), fileText(dir.file("run.rop")));
  EXPECT_NE(fileText(dir.file("set.rop")).find("\nBogus 12\n"), std::string::npos);
  ParamSet back = loadParamSet(dir.file("set.rop"));
  EXPECT_EQ(back.valueText(indexOf("HostBaud")), "1");
  EXPECT_EQ(back.held, set.held);

  // A set of some keywords saves those (no zeros in place of the others,
  // which a restore would refuse), and reads back to the same.
  ParamSet some = loadParamSet(dir.write("some.rop", kBase));
  ASSERT_TRUE(writeParamSetFile(some, dir.file("some-out.rop"), false, &error)) << error;
  ParamSet someBack = loadParamSet(dir.file("some-out.rop"));
  EXPECT_TRUE(someBack.problems.empty()) << reasons(someBack.problems)[0];
  EXPECT_EQ(someBack.held, some.held);
  EXPECT_EQ(std::memcmp(someBack.image, some.image, FLASH_IMAGE_SIZE), 0);
}

TEST(ParamSetFile, SavesEachFormatNewOrReplacedOnlyWhenAskedNeverThroughALink) {
  TempDir dir;
  std::vector<unsigned char> block =
      blockFromRop(dir, kBase, R"({"keyword": "LRFPower", "value": 3})");
  ParamSet set = paramSetFromBlock(block.data(), block.size(), "robot");
  ParamRefusal refusal;
  ASSERT_TRUE(setParamSetValue(set, "HostBaud", "2", &refusal, nullptr));
  std::string error;
  for (const char *name : {"s.blk", "s.json", "s.yaml", "s.rop"}) {
    std::string file = dir.file(name);
    ASSERT_TRUE(writeParamSetFile(set, file, false, &error)) << name << ": " << error;
    ParamSet back = loadParamSet(file);
    ASSERT_TRUE(back.readable()) << name << ": " << back.error;
    EXPECT_EQ(back.valueText(indexOf("HostBaud")), "2") << name;
    EXPECT_EQ(back.valueText(indexOf("Sonar1")), "12345678") << name;
    // A new file is never put over one that is there.
    EXPECT_FALSE(writeParamSetFile(set, file, false, &error)) << name;
    EXPECT_NE(error.find("exists already"), std::string::npos) << error;
  }
  // A block image is the whole block, bytes after the parameters included.
  std::vector<unsigned char> want = paramSetBlock(set);
  EXPECT_EQ(fileText(dir.file("s.blk")), std::string(want.begin(), want.end()));

  std::string file = dir.write("old.rop", "old\n");
  ASSERT_TRUE(writeParamSetFile(set, file, true, &error)) << error;
  EXPECT_EQ(loadParamSet(file).valueText(indexOf("HostBaud")), "2");
  std::string target = dir.write("target", "keep");
  std::string link = dir.file("link.rop");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(writeParamSetFile(set, link, true, &error));
  EXPECT_EQ(error, "Cannot save to '" + link + "': it is a symbolic link; name the file itself.");
  EXPECT_EQ(fileText(target), "keep");
  std::string missing = dir.file("no/such/dir.blk");
  EXPECT_FALSE(writeParamSetFile(set, missing, false, &error));
  EXPECT_EQ(error, "Cannot save to '" + missing + "' (No such file or directory).");
}

} // namespace
