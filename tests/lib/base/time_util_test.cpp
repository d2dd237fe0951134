// SPDX-License-Identifier: MIT
// Tests of ZyTime millisecond arithmetic and the ZyUtil helpers.
#include "LogCapture.h"
#include "ZyTime.h"
#include "ZyUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

TEST(ZyTime, AddMsecSubtractingTooMuchClampsToZeroWithMessage) {
  LogCapture log;
  ZyTime t;
  t.setSec(1);
  t.setMSec(0);
  t.addMsec(-1500);
  EXPECT_EQ(t.getSec(), 0);
  EXPECT_EQ(t.getMSec(), 0);
  EXPECT_TRUE(log.hasLine("ZyTime::addMsec: tried to subtract too many milliseconds, would "
                          "result in a negative time."));
  log.clear();
  t.setSec(1);
  t.setMSec(0);
  t.addMsec(-1000);
  EXPECT_EQ(t.getSec(), 0);
  EXPECT_EQ(t.getMSec(), 0);
  EXPECT_TRUE(log.lines().empty());
}

TEST(ZyTime, AddMsecCarriesIntoSeconds) {
  ZyTime t;
  t.setSec(5);
  t.setMSec(1);
  t.addMsec(999);
  EXPECT_EQ(t.getSec(), 6);
  EXPECT_EQ(t.getMSec(), 0);
}

TEST(ZyTime, DeadlineExpiresAfterWait) {
  ZyTime deadline;
  deadline.addMsec(50);
  long left = deadline.msTo();
  EXPECT_GE(left, 40);
  EXPECT_LE(left, 50);
  usleep(70 * 1000);
  EXPECT_LT(deadline.msTo(), 0);
  EXPECT_GE(deadline.msSince(), 1);
}

TEST(ZyTime, MsUntilIsSignedDifference) {
  ZyTime a, b;
  a.setSec(100);
  a.setMSec(900);
  b.setSec(102);
  b.setMSec(100);
  EXPECT_EQ(a.msUntil(b), 1200);
  EXPECT_EQ(b.msUntil(a), -1200);
}

TEST(ZyUtil, StripQuotes) {
  char out[16];
  EXPECT_TRUE(ZyUtil::stripQuotes(out, "\"", sizeof(out)));
  EXPECT_STREQ(out, "\"");
  EXPECT_TRUE(ZyUtil::stripQuotes(out, "\"\"", sizeof(out)));
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(ZyUtil::stripQuotes(out, "\"a\"b\"", sizeof(out)));
  EXPECT_STREQ(out, "a\"b");
  LogCapture log;
  char small[3];
  EXPECT_FALSE(ZyUtil::stripQuotes(small, "abc", sizeof(small)));
  EXPECT_TRUE(
      log.hasLine("ZyUtil::stripQuotes: destLen isn't long enough to fit copy its 3 should be 4"));
}

TEST(ZyUtil, TextHelpers) {
  EXPECT_EQ(ZyUtil::compareTextNoCase("HostBaud", "hostbaud"), 0);
  EXPECT_NE(ZyUtil::compareText("HostBaud", "hostbaud"), 0);
  EXPECT_STREQ(ZyUtil::boolText(2), "true");
  EXPECT_STREQ(ZyUtil::boolText(-1), "true");
  EXPECT_STREQ(ZyUtil::boolText(0), "false");
  EXPECT_TRUE(std::isinf(ZyUtil::textToDouble("INF")));
  EXPECT_LT(ZyUtil::textToDouble("-inf"), 0);
  EXPECT_DOUBLE_EQ(ZyUtil::textToDouble("2.5"), 2.5);
  char low[4];
  ZyUtil::toLowerCopy(low, "ABCDEF", 3);
  EXPECT_STREQ(low, "abc");
  char esc[16];
  ZyUtil::escapeBlanks(esc, "a b c", sizeof(esc));
  EXPECT_STREQ(esc, "a\\ b\\ c");
  ZyUtil::escapeBlanks(esc, "a b c d e f g h", 6);
  EXPECT_LT(strlen(esc), 6u);
}

TEST(ZyUtil, PathHelpers) {
  char path[8] = "";
  ZyUtil::ensureTrailingSlash(path, sizeof(path));
  EXPECT_STREQ(path, "/");
  char back[8] = "dir\\";
  ZyUtil::ensureTrailingSlash(back, sizeof(back));
  EXPECT_STREQ(back, "dir\\");
  char full[7] = "abcdef";
  ZyUtil::ensureTrailingSlash(full, sizeof(full));
  EXPECT_STREQ(full, "abcdef");
  char joined[64];
  ZyUtil::joinDirectories(joined, sizeof(joined), "base\\x", "in");
  EXPECT_STREQ(joined, "base/x/in/");
}

TEST(ZyUtil, ReadFirstLineDropsCrLf) {
  char name[] = "/tmp/zyutilXXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  const char text[] = "first line\r\nsecond\n";
  ASSERT_EQ(write(fd, text, sizeof(text) - 1), static_cast<ssize_t>(sizeof(text) - 1));
  close(fd);
  char line[64];
  EXPECT_TRUE(ZyUtil::readFirstLine(name, line, sizeof(line)));
  EXPECT_STREQ(line, "first line");
  char tiny[6];
  EXPECT_TRUE(ZyUtil::readFirstLine(name, tiny, sizeof(tiny)));
  EXPECT_STREQ(tiny, "first");
  EXPECT_TRUE(ZyUtil::fileExists(name));
  EXPECT_EQ(ZyUtil::fileSize(name), static_cast<long>(sizeof(text) - 1));
  unlink(name);
  EXPECT_FALSE(ZyUtil::readFirstLine(name, line, sizeof(line)));
  EXPECT_STREQ(line, "");
  EXPECT_FALSE(ZyUtil::fileExists(name));
}

TEST(ZyTime, ReadsAnInstalledClockUntilItIsRemoved) {
  static long long nowMs = 0;
  nowMs = 5000123;
  ZyTime::setClock([](time_t *sec, long *msec) {
    *sec = static_cast<time_t>(nowMs / 1000);
    *msec = static_cast<long>(nowMs % 1000);
  });
  ZyTime deadline;
  EXPECT_EQ(deadline.getSec(), 5000);
  EXPECT_EQ(deadline.getMSec(), 123);
  deadline.addMsec(250);
  nowMs += 250;
  EXPECT_EQ(deadline.msTo(), 0);
  nowMs += 1;
  EXPECT_EQ(deadline.msTo(), -1);
  ZyTime::setClock(nullptr);
  ZyTime real;
  EXPECT_GT(real.getSec(), 1000000000); // the time of day again
}
