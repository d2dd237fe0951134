// SPDX-License-Identifier: MIT
// Tests of ZyArgumentBuilder: splitting, insertion, capacity limits, removal,
// conversions, quote joining, copying, and over-long input.
#include "LogCapture.h"
#include "ZyArgumentBuilder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {
std::vector<std::string> argsOf(const ZyArgumentBuilder &b) {
  std::vector<std::string> out;
  for (size_t i = 0; i < b.getCount(); ++i)
    out.emplace_back(b.getArg(i));
  return out;
}

using Args = std::vector<std::string>;

const char *kDropMessage511 = "ZyArgumentBuilder::Add: could not add argument since argc (511) has "
                              "grown beyond the argv given in the conbufuctor (512)";
} // namespace

TEST(ZyArgumentBuilderSplit, BlanksSeparateAndEscapedBlankJoins) {
  ZyArgumentBuilder b(512);
  b.add("  a  b\\ c ");
  EXPECT_EQ(argsOf(b), (Args{"a", "b c"}));
  EXPECT_STREQ(b.getWholeText(), "a b c");
  EXPECT_EQ(b.getArg(2), nullptr);
}

TEST(ZyArgumentBuilderSplit, OnlyWhiteSpaceAddsNothing) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  b.add(" \t \r\n ");
  EXPECT_EQ(b.getCount(), 0u);
  EXPECT_TRUE(log.hasLine("All white space add for argument builder."));
  b.add("");
  EXPECT_EQ(b.getCount(), 0u);
}

TEST(ZyArgumentBuilderSplit, EscapesAtStartBetweenAndElsewhere) {
  ZyArgumentBuilder b(512);
  b.add("\\ lead");
  EXPECT_EQ(argsOf(b), (Args{" lead"}));

  ZyArgumentBuilder between(512);
  between.add("a \\ b");
  EXPECT_EQ(argsOf(between), (Args{"a", "b"}));

  ZyArgumentBuilder trailing(512);
  trailing.add("x\\ ");
  EXPECT_EQ(argsOf(trailing), (Args{"x "}));

  // A backslash before anything but a blank, and double quotes, are
  // ordinary characters.
  ZyArgumentBuilder plain(512);
  plain.add("c:\\dir \"a b\" \\\t tab");
  EXPECT_EQ(argsOf(plain), (Args{"c:\\dir", "\"a", "b\"", "\\", "tab"}));
}

TEST(ZyArgumentBuilderSplit, AllWhiteSpaceKindsSeparate) {
  ZyArgumentBuilder b(512);
  b.add("a\tb\nc\vd\fe\rf g");
  EXPECT_EQ(argsOf(b), (Args{"a", "b", "c", "d", "e", "f", "g"}));
}

TEST(ZyArgumentBuilderSplit, HighBytesAreOrdinaryCharacters) {
  ZyArgumentBuilder b(512);
  b.add("\xff\xa0 \xc3\xa9t\xc3\xa9");
  EXPECT_EQ(argsOf(b), (Args{"\xff\xa0", "\xc3\xa9t\xc3\xa9"}));
}

TEST(ZyArgumentBuilderPosition, InsertKeepsOrderOfNewArguments) {
  ZyArgumentBuilder b(512);
  b.add("first second");
  b.add("p q", 1);
  EXPECT_EQ(argsOf(b), (Args{"first", "p", "q", "second"}));
  EXPECT_STREQ(b.getWholeText(), "first p q second ");

  b.add("front", 0);
  EXPECT_EQ(argsOf(b).front(), "front");
  b.add("end", 5); // position equal to count inserts at the end
  EXPECT_EQ(argsOf(b).back(), "end");
}

TEST(ZyArgumentBuilderPosition, NegativeOrPastEndAppends) {
  ZyArgumentBuilder b(512);
  b.add("a");
  b.add("b", 7);
  b.add("c", -3);
  EXPECT_EQ(argsOf(b), (Args{"a", "b", "c"}));
  EXPECT_STREQ(b.getWholeText(), "a b c");
}

TEST(ZyArgumentBuilderCapacity, FiveHundredTwelfthArgumentIsDropped) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  for (int i = 0; i < 511; ++i)
    b.addFormatted("a%d", i);
  EXPECT_EQ(b.getCount(), 511u);
  EXPECT_FALSE(log.contains("could not add"));
  b.add("extra");
  EXPECT_EQ(b.getCount(), 511u);
  EXPECT_STREQ(b.getArg(510), "a510");
  EXPECT_TRUE(log.hasLine(kDropMessage511));
}

TEST(ZyArgumentBuilderCapacity, OneMessagePerDroppedArgumentOfOneText) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  std::string text;
  for (int i = 0; i < 600; ++i)
    text += "x ";
  b.add(text.c_str());
  EXPECT_EQ(b.getCount(), 511u);
  size_t drops = 0;
  for (const auto &line : log.lines())
    if (line == kDropMessage511)
      ++drops;
  EXPECT_EQ(drops, 89u);
}

TEST(ZyArgumentBuilderCapacity, InsertIntoFullListDropsAndKeepsList) {
  LogCapture log;
  ZyArgumentBuilder b(4);
  b.add("a b c d");
  EXPECT_EQ(argsOf(b), (Args{"a", "b", "c"}));
  EXPECT_TRUE(log.hasLine("ZyArgumentBuilder::Add: could not add argument since argc (3) has grown "
                          "beyond the argv given in the conbufuctor (4)"));
  b.add("z", 0);
  EXPECT_EQ(argsOf(b), (Args{"a", "b", "c"}));
}

TEST(ZyArgumentBuilderCapacity, ZeroAndOneSlotBuildersHoldNothing) {
  LogCapture log(ZyLog::Terse);
  ZyArgumentBuilder none(0);
  none.add("a");
  EXPECT_EQ(none.getCount(), 0u);
  EXPECT_NE(none.getArgs(), nullptr);
  ZyArgumentBuilder one(1);
  one.add("a");
  EXPECT_EQ(one.getCount(), 0u);
}

TEST(ZyArgumentBuilderLongInput, TextBeyondWorkBufferIsCut) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  std::string longArg(5000, 'q');
  b.add(longArg.c_str());
  ASSERT_EQ(b.getCount(), 1u);
  EXPECT_EQ(std::string(b.getArg(0)), std::string(2047, 'q'));
  EXPECT_TRUE(log.contains("ZyArgumentBuilder::add: text of 5000 characters cut"));

  // An escaped blank straddling the cut is no escape: the backslash stays.
  ZyArgumentBuilder edge(512);
  std::string straddle = std::string(2046, 'r') + "\\ s";
  edge.add(straddle.c_str());
  ASSERT_EQ(edge.getCount(), 1u);
  EXPECT_EQ(std::string(edge.getArg(0)), std::string(2046, 'r') + "\\");
}

TEST(ZyArgumentBuilderLongInput, FormattedTextBeyondBufferIsCut) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  std::string longArg(3000, 'f');
  b.addFormatted("%s-%d", longArg.c_str(), 7);
  ASSERT_EQ(b.getCount(), 1u);
  EXPECT_EQ(std::string(b.getArg(0)), std::string(2047, 'f'));
  EXPECT_TRUE(
      log.contains("ZyArgumentBuilder::addFormatted: formatted text of 3002 characters cut"));
}

TEST(ZyArgumentBuilderAdd, FormattedAndStrings) {
  ZyArgumentBuilder b(512);
  b.addFormatted("-rb %d %s", 9600, "x y");
  EXPECT_EQ(argsOf(b), (Args{"-rb", "9600", "x", "y"}));

  char prog[] = "prog";
  char pct[] = "%s%n%d";
  char two[] = "two words";
  char *argv[] = {prog, pct, two, nullptr};
  ZyArgumentBuilder s(512);
  s.addStrings(3, argv);
  EXPECT_EQ(argsOf(s), (Args{"prog", "%s%n%d", "two", "words"}));

  ZyArgumentBuilder at(512);
  at.add("A B");
  at.addStrings(3, argv, 1);
  EXPECT_EQ(argsOf(at), (Args{"A", "prog", "%s%n%d", "two", "words", "B"}));
}

TEST(ZyArgumentBuilderRemove, IndexAtCountLogsAndChangesNothing) {
  LogCapture log;
  ZyArgumentBuilder b(512);
  b.add("a b");
  b.removeArg(2);
  EXPECT_TRUE(log.hasLine(
      "ZyArgumentBuilder::removeArg: 2 is greater than the number of arguments which is 2"));
  EXPECT_EQ(argsOf(b), (Args{"a", "b"}));
}

TEST(ZyArgumentBuilderRemove, KeepsOrderAndRemovedTextStaysValid) {
  ZyArgumentBuilder b(512);
  b.add("a b c");
  const char *removed = b.getArg(0);
  b.removeArg(0);
  EXPECT_EQ(argsOf(b), (Args{"b", "c"}));
  EXPECT_EQ(b.getArgs()[2], removed);
  EXPECT_STREQ(b.getWholeText(), "a b c");
  const char *second = b.getArg(1);
  b.removeArg(1);
  // Later adds reuse the slots after the list; the removed texts must
  // still be readable (the sanitizer build catches a freed one).
  b.add("d e f g");
  b.add("h", 0);
  EXPECT_STREQ(removed, "a");
  EXPECT_STREQ(second, "c");
  EXPECT_EQ(argsOf(b), (Args{"h", "b", "d", "e", "f", "g"}));
}

TEST(ZyArgumentBuilderConvert, Bool) {
  ZyArgumentBuilder b(512);
  b.add("TRUE 1 False 0 yes 2");
  EXPECT_TRUE(b.isBool(0) && b.asBool(0));
  EXPECT_TRUE(b.isBool(1) && b.asBool(1));
  EXPECT_TRUE(b.isBool(2) && !b.asBool(2));
  EXPECT_TRUE(b.isBool(3) && !b.asBool(3));
  EXPECT_FALSE(b.isBool(4));
  EXPECT_FALSE(b.asBool(4));
  EXPECT_FALSE(b.isBool(5));
  EXPECT_FALSE(b.isBool(6));
  EXPECT_FALSE(b.asBool(6));
}

TEST(ZyArgumentBuilderConvert, Int) {
  ZyArgumentBuilder b(512);
  b.add("42 -17 12a 0x10 99999999999 2147483647");
  EXPECT_TRUE(b.isInt(0));
  EXPECT_EQ(b.asInt(0), 42);
  EXPECT_TRUE(b.isInt(1));
  EXPECT_EQ(b.asInt(1), -17);
  EXPECT_FALSE(b.isInt(2));
  EXPECT_EQ(b.asInt(2), 0);
  EXPECT_FALSE(b.isInt(3));
  EXPECT_FALSE(b.isInt(4));
  EXPECT_EQ(b.asInt(4), 0);
  EXPECT_TRUE(b.isInt(5));
  EXPECT_EQ(b.asInt(5), 2147483647);
  EXPECT_FALSE(b.isInt(6));
  EXPECT_EQ(b.asInt(6), 0);
}

TEST(ZyArgumentBuilderConvert, DoubleInfinityIsCaseSensitive) {
  ZyArgumentBuilder b(512);
  b.add("INF -INF inf Infinity nan 1.5e3 -0.25 1.5x . +INF");
  EXPECT_TRUE(b.isDouble(0));
  EXPECT_EQ(b.asDouble(0), HUGE_VAL);
  EXPECT_TRUE(b.isDouble(1));
  EXPECT_EQ(b.asDouble(1), -HUGE_VAL);
  EXPECT_FALSE(b.isDouble(2));
  EXPECT_EQ(b.asDouble(2), 0.0);
  EXPECT_FALSE(b.isDouble(3));
  EXPECT_FALSE(b.isDouble(4));
  EXPECT_TRUE(b.isDouble(5));
  EXPECT_DOUBLE_EQ(b.asDouble(5), 1500.0);
  EXPECT_DOUBLE_EQ(b.asDouble(6), -0.25);
  EXPECT_FALSE(b.isDouble(7));
  EXPECT_FALSE(b.isDouble(8));
  EXPECT_FALSE(b.isDouble(9));
  EXPECT_FALSE(b.isDouble(10));
  EXPECT_EQ(b.asDouble(10), 0.0);
}

TEST(ZyArgumentBuilderJoinQuoted, JoinsAndStrips) {
  ZyArgumentBuilder b(512);
  b.add("\"a b c\" \"x\" \" d");
  b.joinQuoted(true);
  EXPECT_EQ(argsOf(b), (Args{"a b c", "x", "\"", "d"}));

  ZyArgumentBuilder keep(512);
  keep.add("\"a b\" \"x\"");
  keep.joinQuoted(false);
  EXPECT_EQ(argsOf(keep), (Args{"\"a b\"", "\"x\""}));
}

TEST(ZyArgumentBuilderJoinQuoted, UnterminatedRunsToEnd) {
  ZyArgumentBuilder b(512);
  b.add("k \"open one two");
  const char *before = b.getArg(1);
  b.joinQuoted(true);
  EXPECT_EQ(argsOf(b), (Args{"k", "open one two"}));
  EXPECT_STREQ(before, "\"open"); // replaced text stays valid

  ZyArgumentBuilder kept(512);
  kept.add("\"open one");
  kept.joinQuoted(false);
  EXPECT_EQ(argsOf(kept), (Args{"\"open one"}));
}

TEST(ZyArgumentBuilderCopy, DeepCopyOfArgumentsAndTexts) {
  ZyArgumentBuilder b(8);
  b.add("a b");
  b.setExtraText("kw");
  ZyArgumentBuilder c(b);
  b.removeArg(0);
  b.add("z");
  EXPECT_EQ(argsOf(c), (Args{"a", "b"}));
  EXPECT_STREQ(c.getExtraText(), "kw");
  EXPECT_STREQ(c.getWholeText(), "a b");
  EXPECT_EQ(c.getCapacity(), 8u);
  EXPECT_NE(c.getArg(0), b.getArg(0));
  c.add("c"); // first add already happened: a blank goes before it
  EXPECT_STREQ(c.getWholeText(), "a b c");

  ZyArgumentBuilder d(512);
  d.add("old");
  d = b;
  EXPECT_EQ(argsOf(d), (Args{"b", "z"}));
  ZyArgumentBuilder &alias = d;
  d = alias;
  EXPECT_EQ(argsOf(d), (Args{"b", "z"}));
}

TEST(ZyArgumentBuilderLog, CountAndOneLinePerArgumentAtTerse) {
  LogCapture log(ZyLog::Terse);
  ZyArgumentBuilder b(512);
  b.add("x y");
  b.log();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Num arguments: 2", "Arg 0: x", "Arg 1: y"}));
}
