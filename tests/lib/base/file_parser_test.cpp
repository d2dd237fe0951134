// SPDX-License-Identifier: MIT
// Tests of ZyFileParser: comment cutting, keyword isolation and lookup,
// handler kinds and the remainder handler, registration, error texts and
// line numbers, named files and open streams, and over-long lines.
#include "LogCapture.h"
#include "TempFiles.h"
#include "ZyArgumentBuilder.h"
#include "ZyFileParser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
using Args = std::vector<std::string>;

// Records what each handler call saw. A line whose first argument is "bad"
// fails, with errorText written into the error buffer when one is given.
struct Recorder {
  std::vector<Args> calls;
  std::vector<std::string> extras;
  std::vector<bool> gotBuffer;
  std::string errorText = "bad value";

  bool record(ZyArgumentBuilder *b) {
    Args args;
    for (size_t i = 0; i < b->getCount(); ++i)
      args.emplace_back(b->getArg(i));
    calls.push_back(args);
    extras.emplace_back(b->getExtraText());
    return args.empty() || args[0] != "bad";
  }
  bool plain(ZyArgumentBuilder *b) { return record(b); }
  bool withError(ZyArgumentBuilder *b, char *buf, size_t len) {
    gotBuffer.push_back(buf != nullptr && len > 0);
    bool ok = record(b);
    if (!ok && buf != nullptr && len > 0)
      snprintf(buf, len, "%s", errorText.c_str());
    return ok;
  }
};

typedef ZyRetFunctor1C<bool, Recorder, ZyArgumentBuilder *> PlainCb;
typedef ZyRetFunctor3C<bool, Recorder, ZyArgumentBuilder *, char *, size_t> ErrorCb;

bool parse(ZyFileParser &p, const std::string &text, char *err = nullptr, size_t len = 0) {
  std::vector<char> line(text.begin(), text.end());
  line.push_back('\0');
  return p.parseLine(line.data(), err, len);
}
} // namespace

TEST(ZyFileParserLine, CommentOnlyAndBlankLinesSucceed) {
  LogCapture log;
  Recorder rec;
  PlainCb cb(&rec, &Recorder::plain);
  ZyFileParser p;
  p.addHandler(nullptr, &cb);
  EXPECT_TRUE(parse(p, ";all comment"));
  EXPECT_TRUE(log.hasLine("line 1: empty line"));
  EXPECT_TRUE(parse(p, "# also comment\n"));
  EXPECT_TRUE(log.hasLine("line 2: empty line"));
  EXPECT_TRUE(parse(p, " \t\r\n"));
  EXPECT_TRUE(log.hasLine("line 3: just white space at start of line"));
  EXPECT_TRUE(parse(p, "  ; indented comment"));
  EXPECT_TRUE(log.hasLine("line 4: just white space at start of line"));
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(p.getLineNumber(), 4);
}

TEST(ZyFileParserLine, CommentCharactersCutValuesEvenInQuotes) {
  Recorder rec;
  PlainCb cb(&rec, &Recorder::plain);
  ZyFileParser p;
  p.addHandler("Name", &cb);
  EXPECT_TRUE(parse(p, "name abc#def ghi"));
  EXPECT_TRUE(parse(p, "name \"x;y\" z\r\n"));
  EXPECT_TRUE(parse(p, "name a\rb"));
  ASSERT_EQ(rec.calls.size(), 3u);
  EXPECT_EQ(rec.calls[0], (Args{"abc"}));
  EXPECT_EQ(rec.calls[1], (Args{"\"x"}));
  EXPECT_EQ(rec.calls[2], (Args{"ab"}));
}

TEST(ZyFileParserLine, KeywordIgnoresCaseAndReachesHandlerLowerCased) {
  Recorder rec;
  PlainCb cb(&rec, &Recorder::plain);
  ZyFileParser p;
  p.addHandler("RobotName", &cb);
  EXPECT_TRUE(parse(p, "  ROBOTNAME  My\\ Bot  second "));
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0], (Args{"My Bot", "second"}));
  EXPECT_EQ(rec.extras[0], "robotname");
}

TEST(ZyFileParserLine, QuotedKeywordMayHoldBlanks) {
  Recorder rec;
  PlainCb cb(&rec, &Recorder::plain);
  ZyFileParser p;
  p.addHandler("section name", &cb);
  EXPECT_TRUE(parse(p, "\"Section Name\" v1 v2"));
  EXPECT_TRUE(parse(p, "\"section name"));
  ASSERT_EQ(rec.calls.size(), 2u);
  EXPECT_EQ(rec.calls[0], (Args{"v1", "v2"}));
  EXPECT_EQ(rec.extras[0], "section name");
  EXPECT_TRUE(rec.calls[1].empty());
}

TEST(ZyFileParserLine, KeywordWithoutArgumentsGivesEmptyBuilder) {
  Recorder rec;
  PlainCb cb(&rec, &Recorder::plain);
  ZyFileParser p;
  p.addHandler("flag", &cb);
  EXPECT_TRUE(parse(p, "flag   \n"));
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_TRUE(rec.calls[0].empty());
  EXPECT_EQ(rec.extras[0], "flag");
}

TEST(ZyFileParserLine, OverlongKeywordIsCutAndRestBecomesArguments) {
  Recorder rec;
  PlainCb cb(&rec, &Recorder::plain);
  ZyFileParser p;
  p.addHandler(std::string(509, 'k').c_str(), &cb);
  EXPECT_TRUE(parse(p, std::string(600, 'K') + " v"));
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0], (Args{std::string(91, 'K'), "v"}));

  // Quoted too: the closing quote directly after 509 characters is still
  // stepped over.
  EXPECT_TRUE(parse(p, "\"" + std::string(509, 'k') + "\" w"));
  ASSERT_EQ(rec.calls.size(), 2u);
  EXPECT_EQ(rec.calls[1], (Args{"w"}));
}

TEST(ZyFileParserLine, UnknownKeywordIsNotAnError) {
  LogCapture log;
  ZyFileParser p;
  EXPECT_TRUE(parse(p, "Mystery value here"));
  EXPECT_TRUE(
      log.hasLine("line 1: unknown keyword 'mystery' line 'Mystery value here', continuing"));
}

TEST(ZyFileParserLine, RemainderHandlerGetsWholeLineWithoutExtraText) {
  Recorder known;
  Recorder rest;
  PlainCb knownCb(&known, &Recorder::plain);
  ErrorCb restCb(&rest, &Recorder::withError);
  ZyFileParser p;
  p.addHandler("known", &knownCb);
  p.addHandler(nullptr, &restCb);
  EXPECT_TRUE(parse(p, "Other a b"));
  EXPECT_TRUE(parse(p, "\"Two Words\" c"));
  EXPECT_TRUE(parse(p, "KNOWN d"));
  ASSERT_EQ(rest.calls.size(), 2u);
  EXPECT_EQ(rest.calls[0], (Args{"Other", "a", "b"}));
  EXPECT_EQ(rest.calls[1], (Args{"Two", "Words\"", "c"}));
  EXPECT_EQ(rest.extras[0], "");
  ASSERT_EQ(known.calls.size(), 1u);
  EXPECT_EQ(known.calls[0], (Args{"d"}));
}

TEST(ZyFileParserLine, FirstErrorTextIsKeptWithItsLineNumber) {
  Recorder rec;
  ErrorCb cb(&rec, &Recorder::withError);
  ZyFileParser p;
  p.addHandler("v", &cb);
  char err[64] = "";
  EXPECT_TRUE(parse(p, "v ok", err, sizeof(err)));
  EXPECT_STREQ(err, "");
  EXPECT_FALSE(parse(p, "v bad", err, sizeof(err)));
  EXPECT_STREQ(err, "Line 2: bad value");
  rec.errorText = "other problem";
  EXPECT_FALSE(parse(p, "v bad", err, sizeof(err)));
  EXPECT_STREQ(err, "Line 2: bad value");
  EXPECT_EQ(rec.gotBuffer, (std::vector<bool>{true, true, false}));
}

TEST(ZyFileParserLine, ErrorTextIsCutToSmallBuffer) {
  Recorder rec;
  rec.errorText = std::string(300, 'e');
  ErrorCb cb(&rec, &Recorder::withError);
  ZyFileParser p;
  p.addHandler("v", &cb);
  char err[12];
  memset(err, 0, sizeof(err));
  EXPECT_FALSE(parse(p, "v bad", err, sizeof(err)));
  EXPECT_STREQ(err, "Line 1: eee");
}

TEST(ZyFileParserLine, PlainHandlerFailureStillNamesTheLine) {
  Recorder rec;
  PlainCb cb(&rec, &Recorder::plain);
  ZyFileParser p;
  p.addHandler("v", &cb);
  char err[32] = "";
  EXPECT_TRUE(parse(p, "v fine", err, sizeof(err)));
  EXPECT_FALSE(parse(p, "v bad", err, sizeof(err)));
  EXPECT_STREQ(err, "Line 2: ");
}

TEST(ZyFileParserLine, OverlongArgumentTextIsCutNotOverrun) {
  LogCapture log;
  Recorder rec;
  PlainCb cb(&rec, &Recorder::plain);
  ZyFileParser p;
  p.addHandler("v", &cb);
  EXPECT_TRUE(parse(p, "v " + std::string(9000, 'x')));
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0][0].size(), 2047u);
}

TEST(ZyFileParserRegister, DuplicatesAreRefusedIgnoringCase) {
  LogCapture log;
  Recorder rec;
  PlainCb a(&rec, &Recorder::plain);
  ErrorCb b(&rec, &Recorder::withError);
  ZyFileParser p;
  EXPECT_TRUE(p.addHandler("Speed", &a));
  EXPECT_TRUE(log.hasLine("keyword 'Speed' handler added"));
  EXPECT_FALSE(p.addHandler("SPEED", &b));
  EXPECT_TRUE(log.hasLine("There is already a functor to handle keyword 'SPEED'"));
  EXPECT_TRUE(p.addHandler(nullptr, &a));
  EXPECT_FALSE(p.addHandler(nullptr, &b));
  EXPECT_TRUE(log.hasLine("There is already a functor to handle unhandled lines"));
  EXPECT_FALSE(p.addHandler("x", static_cast<PlainCb *>(nullptr)));
}

TEST(ZyFileParserRegister, RemoveByKeywordAndRemainder) {
  LogCapture log;
  Recorder rec;
  PlainCb a(&rec, &Recorder::plain);
  ZyFileParser p;
  p.addHandler("speed", &a);
  p.addHandler(nullptr, &a);
  EXPECT_FALSE(p.remHandler("nothing"));
  EXPECT_TRUE(log.hasLine("There is no keyword 'nothing' to remove."));
  log.clear();
  EXPECT_FALSE(p.remHandler("nothing", false));
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(p.remHandler("SPEED"));
  EXPECT_TRUE(log.hasLine("keyword 'SPEED' removed"));
  EXPECT_TRUE(p.remHandler(nullptr, true));
  EXPECT_TRUE(log.hasLine("Functor for remainder handler removed"));
  EXPECT_FALSE(p.remHandler(nullptr, true));
  EXPECT_TRUE(parse(p, "speed 1"));
  EXPECT_TRUE(rec.calls.empty());
}

TEST(ZyFileParserRegister, RemoveByCallbackDropsEveryRegistration) {
  LogCapture log;
  Recorder rec;
  PlainCb a(&rec, &Recorder::plain);
  ErrorCb b(&rec, &Recorder::withError);
  ZyFileParser p;
  p.addHandler("one", &a);
  p.addHandler("two", &a);
  p.addHandler("three", &b);
  p.addHandler(nullptr, &a);
  EXPECT_TRUE(p.remHandler(&a));
  EXPECT_TRUE(log.hasLine("Functor for remainder handler removed"));
  EXPECT_TRUE(log.hasLine("Functor for keyword 'one' removed."));
  EXPECT_TRUE(log.hasLine("Functor for keyword 'two' removed."));
  EXPECT_FALSE(p.remHandler(&a));
  EXPECT_TRUE(parse(p, "one x"));
  EXPECT_TRUE(parse(p, "other x"));
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_TRUE(parse(p, "three y"));
  EXPECT_EQ(rec.calls.size(), 1u);
  EXPECT_TRUE(p.remHandler(&b));
}

class ZyFileParserFile : public ::testing::Test {
protected:
  ZyFileParserFile() : cb(&rec, &Recorder::withError) { parser.addHandler("v", &cb); }
  TempDir dir;
  Recorder rec;
  ErrorCb cb;
  ZyFileParser parser;
};

TEST_F(ZyFileParserFile, StopsAtFirstFailureUnlessToldToContinue) {
  LogCapture log;
  std::string file = dir.write("f.rop", "v 1\nv bad\nv 3\nv bad\nv 5\n");
  char err[64];
  EXPECT_FALSE(parser.parseFile(file.c_str(), false, false, err, sizeof(err)));
  EXPECT_EQ(rec.calls.size(), 2u);
  EXPECT_STREQ(err, "Line 2: bad value");
  EXPECT_TRUE(log.hasLine("## Last error on line 2 of file '" + file + "'"));
  EXPECT_FALSE(log.contains("## Last error on line 4"));

  rec.calls.clear();
  log.clear();
  EXPECT_FALSE(parser.parseFile(file.c_str(), true, false, err, sizeof(err)));
  EXPECT_EQ(rec.calls.size(), 5u);
  EXPECT_STREQ(err, "Line 2: bad value");
  EXPECT_TRUE(log.hasLine("## Last error on line 2 of file '" + file + "'"));
  EXPECT_TRUE(log.hasLine("## Last error on line 4 of file '" + file + "'"));

  std::string good = dir.write("g.rop", "v 1\n\n; note\nv 2");
  EXPECT_TRUE(parser.parseFile(good.c_str(), false, false, err, sizeof(err)));
  EXPECT_STREQ(err, "");
  EXPECT_EQ(parser.getLineNumber(), 4);
}

TEST_F(ZyFileParserFile, RelativeNameJoinsBaseDirectoryDirectly) {
  LogCapture log;
  std::string base = dir.subdir("base");
  dir.write("base/params.rop", "v fromDir\n");
  dir.write("baseparams.rop", "v glued\n"); // base without slash
  parser.setBaseDirectory((base + "/").c_str());
  EXPECT_TRUE(parser.parseFile("params.rop"));
  parser.setBaseDirectory(base.c_str());
  EXPECT_TRUE(parser.parseFile("params.rop"));
  EXPECT_TRUE(log.hasLine("Opening file " + base +
                          "params.rop from fileName given "
                          "params.rop and base directory " +
                          base));
  parser.setBaseDirectory("/nonexistent/");
  EXPECT_TRUE(parser.parseFile((base + "/params.rop").c_str()));
  ASSERT_EQ(rec.calls.size(), 3u);
  EXPECT_EQ(rec.calls[0], (Args{"fromDir"}));
  EXPECT_EQ(rec.calls[1], (Args{"glued"}));
  EXPECT_EQ(rec.calls[2], (Args{"fromDir"}));
}

TEST_F(ZyFileParserFile, MissingFileFailsWithMessages) {
  LogCapture log;
  parser.setBaseDirectory((dir.path() + "/").c_str());
  char err[128] = "stale";
  EXPECT_FALSE(parser.parseFile("none.rop", true, false, err, sizeof(err)));
  EXPECT_STREQ(err, "cannot open file none.rop");
  EXPECT_TRUE(log.hasLine("ZyFileParser::parseFile: Could not open file " + dir.path() +
                          "/none.rop to parse file."));
  log.clear();
  EXPECT_FALSE(parser.parseFile("none.rop", true, true, err, sizeof(err)));
  EXPECT_FALSE(log.contains("Could not open file"));
}

TEST_F(ZyFileParserFile, DirectoryIsAReadErrorNotSuccess) {
  LogCapture log;
  char err[128];
  EXPECT_FALSE(parser.parseFile(dir.path().c_str(), true, false, err, sizeof(err)));
  EXPECT_EQ(std::string(err), "cannot read file " + dir.path());
}

TEST_F(ZyFileParserFile, OverLongLineIsRefusedAsAWholeAndCountedAsOneLine) {
  LogCapture log;
  // A comment longer than the 10000-byte buffer whose tail is a setting:
  // neither part may be handled.
  std::string file = dir.write("long.rop", "; " + std::string(10000, 'c') + " v evil\nv bad\n" +
                                               "v " + std::string(9997, 'b') + "\nv 1\n");
  char err[64];
  EXPECT_FALSE(parser.parseFile(file.c_str(), true, false, err, sizeof(err)));
  EXPECT_STREQ(err, "Line 1: longer than 9999 characters, ignored");
  EXPECT_TRUE(log.hasLine("ZyFileParser: line 1 of " + file +
                          " is longer than 9999 characters; too long, ignored"));
  EXPECT_TRUE(log.hasLine("## Last error on line 2 of file '" + file + "'"));
  // Line 3 holds exactly 9999 characters and is whole; line 4 follows it.
  ASSERT_EQ(rec.calls.size(), 3u);
  EXPECT_EQ(rec.calls[0], (Args{"bad"}));
  EXPECT_EQ(rec.calls[1][0].size(), 2047u); // the argument builder's own limit
  EXPECT_EQ(rec.calls[2], (Args{"1"}));
  EXPECT_EQ(parser.getLineNumber(), 4);

  // The same through a caller's stream and buffer, zero bytes in the line.
  rec.calls.clear();
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  std::string content = "v 1" + std::string(1, '\0') + std::string(40, 'x') + " v evil\nv 2\n";
  fwrite(content.data(), 1, content.size(), f);
  rewind(f);
  char buffer[16];
  EXPECT_FALSE(parser.parseStream(f, buffer, sizeof(buffer), true, err, sizeof(err)));
  fclose(f);
  EXPECT_STREQ(err, "Line 1: longer than 15 characters, ignored");
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0], (Args{"2"}));
}

TEST_F(ZyFileParserFile, StreamUsesCallerBufferAndLogsNoLastError) {
  LogCapture log;
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  fputs("v 1\nv bad\nv 3\n", f);
  rewind(f);
  char buf[8];
  char err[64];
  EXPECT_FALSE(parser.parseStream(f, buf, sizeof(buf), false, err, sizeof(err)));
  EXPECT_STREQ(err, "Line 2: bad value");
  EXPECT_EQ(rec.calls.size(), 2u);
  EXPECT_FALSE(log.contains("## Last error"));
  // The stream is left open and positioned after the failing line.
  EXPECT_NE(fgets(buf, sizeof(buf), f), nullptr);
  EXPECT_STREQ(buf, "v 3\n");

  rewind(f);
  rec.calls.clear();
  EXPECT_FALSE(parser.parseStream(f, buf, sizeof(buf), true, err, sizeof(err)));
  EXPECT_EQ(rec.calls.size(), 3u);
  fclose(f);
}

TEST_F(ZyFileParserFile, StreamBadSetup) {
  char buf[16];
  char err[64];
  EXPECT_FALSE(parser.parseStream(nullptr, buf, sizeof(buf), true, err, sizeof(err)));
  EXPECT_STREQ(err, "parseFile: bad setup");
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  fputs("v 1\n", f);
  rewind(f);
  err[0] = '\0';
  EXPECT_FALSE(parser.parseStream(f, nullptr, 16, true, err, sizeof(err)));
  EXPECT_STREQ(err, "parseFile: bad setup");
  err[0] = '\0';
  EXPECT_FALSE(parser.parseStream(f, buf, 0, true, err, sizeof(err)));
  EXPECT_STREQ(err, "parseFile: bad setup");
  // One byte leaves no room for a character: it would never reach the end.
  err[0] = '\0';
  EXPECT_FALSE(parser.parseStream(f, buf, 1, true, err, sizeof(err)));
  EXPECT_STREQ(err, "parseFile: bad setup");
  EXPECT_TRUE(rec.calls.empty());
  fclose(f);
}
