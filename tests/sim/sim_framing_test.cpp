// SPDX-License-Identifier: MIT
// Tests of the simulator's command decoding, reply encoding, identity text,
// fault selection and command line.
#include "SimCommandLine.h"
#include "SimFraming.h"
#include "SimMonitor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Fed {
  std::vector<CommandDecoder::Event> events;
  std::string lastText;
};

Fed feedAll(CommandDecoder &d, const std::string &bytes) {
  Fed out;
  for (char c : bytes) {
    CommandDecoder::Event e = d.feed(static_cast<uint8_t>(c));
    if (e != CommandDecoder::NONE) {
      out.events.push_back(e);
      out.lastText.assign(d.text(), d.textLength());
    }
  }
  return out;
}

} // namespace

TEST(CommandDecoderTest, PlainCommandWithLowerOrUpperCaseChecksum) {
  CommandDecoder d;
  // "V" is 0x56.
  Fed f = feedAll(d, "$V#56");
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::COMMAND, f.events[0]);
  EXPECT_EQ("V", f.lastText);

  // "FE7": 0x46 + 0x45 + 0x37 = 0xc2.
  f = feedAll(d, "$FE7#C2");
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::COMMAND, f.events[0]);
  EXPECT_EQ("FE7", f.lastText);
}

TEST(CommandDecoderTest, EscapesAreUndoneAndCountedInTheChecksum) {
  CommandDecoder d;
  // "a$b" is sent as a } 04 b; the sum counts 0x7d and 0x04.
  unsigned sum = ('a' + 0x7d + 0x04 + 'b') & 0xff;
  char digits[3];
  snprintf(digits, sizeof(digits), "%02x", sum);
  Fed f = feedAll(d, std::string("$a}\x04") + "b#" + digits);
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::COMMAND, f.events[0]);
  EXPECT_EQ("a$b", f.lastText);

  // "#" and "}" travel as } 03 and } 5d.
  sum = (0x7d + 0x03 + 0x7d + 0x5d) & 0xff;
  snprintf(digits, sizeof(digits), "%02x", sum);
  f = feedAll(d, std::string("$}\x03}]#") + digits);
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::COMMAND, f.events[0]);
  EXPECT_EQ("#}", f.lastText);

  // Counting the unescaped characters instead is a bad checksum.
  sum = ('a' + '$' + 'b') & 0xff;
  snprintf(digits, sizeof(digits), "%02x", sum);
  f = feedAll(d, std::string("$a}\x04") + "b#" + digits);
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::BAD_CHECKSUM, f.events[0]);
}

TEST(CommandDecoderTest, BadAndNonHexChecksums) {
  CommandDecoder d;
  Fed f = feedAll(d, "$V#57");
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::BAD_CHECKSUM, f.events[0]);
  EXPECT_EQ(0x56, d.computedSum());
  EXPECT_EQ(0x57, d.receivedSum());

  f = feedAll(d, "$V#5g");
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::BAD_CHECKSUM, f.events[0]);
  EXPECT_EQ(-1, d.receivedSum());
}

TEST(CommandDecoderTest, BytesOutsidePackets) {
  CommandDecoder d;
  Fed f = feedAll(d, "+-x");
  ASSERT_EQ(3u, f.events.size());
  EXPECT_EQ(CommandDecoder::PLUS, f.events[0]);
  EXPECT_EQ(CommandDecoder::MINUS, f.events[1]);
  EXPECT_EQ(CommandDecoder::STRAY, f.events[2]);

  // Inside a packet "+" and "-" are text.
  f = feedAll(d, "$+-#58");
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::COMMAND, f.events[0]);
  EXPECT_EQ("+-", f.lastText);
}

TEST(CommandDecoderTest, DollarInsidePacketStartsAgain) {
  CommandDecoder d;
  Fed f = feedAll(d, "$FE$V#56");
  ASSERT_EQ(2u, f.events.size());
  EXPECT_EQ(CommandDecoder::RESTARTED, f.events[0]);
  EXPECT_EQ(CommandDecoder::COMMAND, f.events[1]);
  EXPECT_EQ("V", f.lastText);
}

TEST(CommandDecoderTest, OverlongPacketIsDroppedAndDecodingGoesOn) {
  CommandDecoder d;
  std::string body(CommandDecoder::MAX_TEXT + 10, 'a');
  Fed f = feedAll(d, "$" + body + "#00");
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::OVERFLOW, f.events[0]);
  f = feedAll(d, "$V#56");
  ASSERT_EQ(1u, f.events.size());
  EXPECT_EQ(CommandDecoder::COMMAND, f.events[0]);
}

TEST(ReplyEncodingTest, FrameAndChecksum) {
  uint8_t out[16];
  size_t n = simframe::encodeReply("OK0", 3, out, sizeof(out));
  ASSERT_EQ(7u, n);
  // 'O' + 'K' + '0' = 0x4f + 0x4b + 0x30 = 0xca
  EXPECT_EQ("$OK0#ca", std::string(reinterpret_cast<char *>(out), n));

  n = simframe::encodeReply("", 0, out, sizeof(out));
  EXPECT_EQ("$#00", std::string(reinterpret_cast<char *>(out), n));

  // A sum below 0x10 still has two digits.
  n = simframe::encodeReply("\x01\x02", 2, out, sizeof(out));
  EXPECT_EQ("#03", std::string(reinterpret_cast<char *>(out) + 3, 3));

  EXPECT_EQ(0u, simframe::encodeReply("OK0", 3, out, 6));
}

TEST(SimIdentityTest, FieldsStandAtTheirPositions) {
  SimIdentity id;
  std::string body = id.replyBody();
  ASSERT_GE(body.size(), 29u);
  EXPECT_LE(body.size(), 40u);
  EXPECT_EQ('1', body[12]);
  EXPECT_EQ('9', body[14]);
  EXPECT_EQ("ORVEX", body.substr(19, 5));
  EXPECT_EQ('2', body[26]);
  EXPECT_EQ('8', body[28]);

  id.monitorMajor = '2';
  id.monitorMinor = '0';
  id.firmwareName = "ABC";
  id.firmwareMajor = '3';
  id.firmwareMinor = '1';
  body = id.replyBody();
  EXPECT_EQ('2', body[12]);
  EXPECT_EQ('0', body[14]);
  EXPECT_EQ("ABC  ", body.substr(19, 5));
  EXPECT_EQ('3', body[26]);
  EXPECT_EQ('1', body[28]);

  id.rawReply = "short$#}";
  EXPECT_EQ("short???", id.replyBody());
}

TEST(SimFaultTriggerTest, ParseForms) {
  SimFaultTrigger t;
  ASSERT_TRUE(t.parse("FE7"));
  EXPECT_EQ("FE7", t.prefix);
  EXPECT_EQ(1, t.occurrence);
  ASSERT_TRUE(t.parse("FW:3"));
  EXPECT_EQ("FW", t.prefix);
  EXPECT_EQ(3, t.occurrence);
  ASSERT_TRUE(t.parse(":*"));
  EXPECT_EQ("", t.prefix);
  EXPECT_EQ(SimFaultTrigger::EVERY, t.occurrence);
  EXPECT_FALSE(t.parse("FW:0"));
  EXPECT_FALSE(t.parse("FW:x"));
  EXPECT_FALSE(t.parse("FW:"));
}

namespace {
bool parse(std::vector<const char *> args, SimCommandLine &out, std::string &error) {
  return parseSimCommandLine(static_cast<int>(args.size()), args.data(), out, error);
}
} // namespace

TEST(SimCommandLineTest, OptionsAndValues) {
  SimCommandLine c;
  std::string error;
  ASSERT_TRUE(parse({"-l",
                     "/tmp/robot",
                     "--state=/tmp/mem",
                     "-p",
                     "-v",
                     "--baud",
                     "9600",
                     "--monitor-version",
                     "2.0",
                     "--firmware",
                     "OTHER",
                     "--firmware-version=3.1",
                     "--bad-checksum",
                     "m7000",
                     "--drop-ack",
                     "FE:2",
                     "--refuse=FW:*",
                     "--noise",
                     "12",
                     "--die-after",
                     "300",
                     "--stall",
                     "FW:10",
                     "--silent",
                     "-r",
                     "38400",
                     "--monitor",
                     "--reset-baud",
                     "--no-robot"},
                    c, error))
      << error;
  EXPECT_EQ("FW", c.options.faults.stall.prefix);
  EXPECT_EQ(10, c.options.faults.stall.occurrence);
  EXPECT_EQ("/tmp/robot", c.linkPath);
  EXPECT_EQ("/tmp/mem", c.options.stateFile);
  EXPECT_TRUE(c.options.pace);
  EXPECT_TRUE(c.options.verbose);
  EXPECT_EQ(9600, c.options.baud);
  EXPECT_EQ('2', c.options.identity.monitorMajor);
  EXPECT_EQ('0', c.options.identity.monitorMinor);
  EXPECT_EQ("OTHER", c.options.identity.firmwareName);
  EXPECT_EQ('3', c.options.identity.firmwareMajor);
  EXPECT_EQ("m7000", c.options.faults.badChecksum.prefix);
  EXPECT_EQ(2, c.options.faults.dropAck.occurrence);
  EXPECT_EQ(SimFaultTrigger::EVERY, c.options.faults.refuse.occurrence);
  EXPECT_EQ(12, c.options.faults.noiseBytes);
  EXPECT_EQ(300, c.options.faults.dieAfterBytes);
  EXPECT_TRUE(c.options.faults.silent);
  EXPECT_EQ(38400, c.options.robotBaud);
  EXPECT_TRUE(c.options.startInMonitor);
  EXPECT_TRUE(c.options.resetBaud);
  EXPECT_FALSE(c.options.robotProtocol);
  EXPECT_FALSE(c.help);

  // Without options the program plays the whole controller, firmware first.
  SimCommandLine plain;
  ASSERT_TRUE(parse({}, plain, error)) << error;
  EXPECT_TRUE(plain.options.robotProtocol);
  EXPECT_FALSE(plain.options.startInMonitor);
  EXPECT_EQ(9600, plain.options.robotBaud);
  EXPECT_EQ(115200, plain.options.baud);
  EXPECT_EQ(9600, plain.options.startBaud());
}

TEST(SimCommandLineTest, ErrorsNameTheOption) {
  struct Case {
    std::vector<const char *> args;
    const char *message;
  } cases[] = {
      {{"--baud", "12345"}, "Option --baud: '12345' is not a serial speed"},
      {{"--baud"}, "Option --baud needs a value"},
      {{"--robot-baud", "230400"}, "Option --robot-baud: '230400' is not a serial speed"},
      {{"--monitor=1"}, "Option --monitor takes no value"},
      {{"--monitor-version", "19"}, "Option --monitor-version: '19' is not a version"},
      {{"--firmware", "TOOLONG"}, "Option --firmware: 'TOOLONG' is not a firmware name"},
      {{"--identity", "a#b"}, "Option --identity: the reply must have"},
      {{"--refuse", "FE:0"}, "Option --refuse: 'FE:0' is not CMD"},
      {{"--noise", "-1"}, "Option --noise: '-1' is not a number"},
      {{"--pace=yes"}, "Option --pace takes no value"},
      {{"--frobnicate"}, "Unknown option '--frobnicate'"},
  };
  for (const Case &k : cases) {
    SimCommandLine c;
    std::string error;
    EXPECT_FALSE(parse(k.args, c, error)) << k.message;
    EXPECT_EQ(0u, error.find(k.message)) << error;
  }
  SimCommandLine c;
  std::string error;
  ASSERT_TRUE(parse({"-h"}, c, error));
  EXPECT_TRUE(c.help);
  EXPECT_NE(nullptr, strstr(simUsage(), "--die-after N"));
  EXPECT_NE(nullptr, strstr(simUsage(), "--stall CMD[:N]"));
}

TEST(SimCommandLineTest, FaultsWithNumbers) {
  SimCommandLine c;
  std::string error;
  ASSERT_TRUE(parse({"--pause-reply", "m7000:2,1000,300", "--cut-reply=m7000:*,600", "--short-read",
                     "m,200", "--stray", "FE7,3"},
                    c, error))
      << error;
  const SimFaults &f = c.options.faults;
  EXPECT_EQ("m7000", f.pauseReply.prefix);
  EXPECT_EQ(2, f.pauseReply.occurrence);
  EXPECT_EQ(1000, f.pauseAfter);
  EXPECT_EQ(300, f.pauseMs);
  EXPECT_EQ(SimFaultTrigger::EVERY, f.cutReply.occurrence);
  EXPECT_EQ(600, f.cutAfter);
  EXPECT_EQ("m", f.shortRead.prefix);
  EXPECT_EQ(200, f.shortReadBytes);
  EXPECT_EQ("FE7", f.stray.prefix);
  EXPECT_EQ(3, f.strayBytes);

  for (std::vector<const char *> bad : {std::vector<const char *>{"--pause-reply", "m7000,1000"},
                                        {"--pause-reply", "m7000,1000,300,4"},
                                        {"--cut-reply", "m7000"},
                                        {"--cut-reply", "m7000,x"},
                                        {"--short-read", "m7000,0"},
                                        {"--short-read", "m7000,4097"},
                                        {"--stray", "FE7:0,3"},
                                        {"--stray"}}) {
    SimCommandLine d;
    EXPECT_FALSE(parse(bad, d, error)) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
    EXPECT_FALSE(error.empty());
  }
}
