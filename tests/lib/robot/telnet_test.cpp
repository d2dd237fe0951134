// SPDX-License-Identifier: MIT
// The telnet reader and data escaping of the network ports, and the URLs
// that name those ports: what a server's bytes read as, cut anywhere, and
// which URLs are taken or refused with which reason.
#include "ZyPortUrl.h"
#include "ZyTelnet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

/// Everything the reader reported, as text, in order: data bytes as hex,
/// commands as "DO 44", subnegotiations as "SB 44: 65 00 00 25 80".
struct Recorder : ZyTelnetHandler {
  std::string events;
  void telnetOption(uint8_t command, uint8_t option) override {
    const char *names[] = {"WILL", "WONT", "DO", "DONT"};
    events += std::string(names[command - ZyTelnet::WILL]) + " " + std::to_string(option) + ";";
  }
  void telnetSubnegotiation(uint8_t option, const uint8_t *data, size_t size, bool cut) override {
    char text[8];
    events += "SB " + std::to_string(option) + ":";
    for (size_t i = 0; i < size; i++) {
      snprintf(text, sizeof text, " %02x", data[i]);
      events += text;
    }
    events += cut ? " (cut);" : ";";
  }
};

std::string hex(const uint8_t *data, size_t size) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < size; i++) {
    snprintf(byte, sizeof byte, "%02x", data[i]);
    text += byte;
  }
  return text;
}

/// Reads in pieces of at most piece bytes; returns data hex + "|" + events.
std::string readInPieces(const Bytes &in, size_t piece) {
  ZyTelnetReader reader;
  Recorder recorder;
  std::string data;
  for (size_t at = 0; at < in.size(); at += piece) {
    size_t size = std::min(piece, in.size() - at);
    std::vector<uint8_t> out(size);
    size_t got = reader.read(in.data() + at, size, out.data(), recorder);
    EXPECT_LE(got, size);
    data += hex(out.data(), got);
  }
  return data + "|" + recorder.events;
}
} // namespace

TEST(TelnetReader, SplitsDataFromCommandsWhereverTheInputIsCut) {
  const uint8_t IAC = 255, SB = 250, SE = 240;
  struct Case {
    const char *what;
    Bytes in;
    std::string expected;
  } cases[] = {
      {"plain data", {0x24, 0x46, 0x00, 0x0d}, "2446000d|"},
      {"doubled 0xFF is one data byte", {0x01, IAC, IAC, 0x02, IAC, IAC}, "01ff02ff|"},
      {"negotiation between data", {0x41, IAC, 253, 44, 0x42, IAC, 251, 0}, "4142|DO 44;WILL 0;"},
      {"com port confirmation with a doubled 0xFF in its value",
       {IAC, SB, 44, 101, 0x00, 0x01, IAC, IAC, 0x00, IAC, SE, 0x7e},
       "7e|SB 44: 65 00 01 ff 00;"},
      {"NOP and other commands carry nothing", {IAC, 241, 0x31, IAC, 249, 0x32}, "3132|"},
      {"a subnegotiation that never closes ends at the next command",
       {IAC, SB, 44, 107, 0x10, IAC, 251, 3, 0x55},
       "55|WILL 3;"},
      {"an empty subnegotiation", {IAC, SB, 44, IAC, SE}, "|SB 44:;"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    for (size_t piece = 1; piece <= c.in.size(); piece++)
      EXPECT_EQ(readInPieces(c.in, piece), c.expected) << "pieces of " << piece;
  }
}

TEST(TelnetReader, KeepsTheStartOfAnOverlongSubnegotiationAndSaysItWasCut) {
  Bytes in = {255, 250, 44, 0};
  for (size_t i = 0; i < ZyTelnetReader::MAX_SUBNEGOTIATION + 50; i++)
    in.push_back('a');
  in.insert(in.end(), {255, 240, 0x33});
  std::string read = readInPieces(in, 7);
  EXPECT_EQ(read.substr(0, 3), "33|");
  EXPECT_NE(read.find(" (cut);"), std::string::npos);
  // The kept part is the option's bytes up to the limit.
  EXPECT_EQ(std::count(read.begin(), read.end(), ' '),
            static_cast<long>(ZyTelnetReader::MAX_SUBNEGOTIATION) + 2);
}

TEST(TelnetEscape, DoublesEveryFFAndStopsBeforeAByteWithoutRoom) {
  const Bytes in = {0x01, 0xFF, 0x02, 0xFF, 0xFF};
  struct Case {
    size_t room;
    std::string out;
    size_t consumed;
  } cases[] = {{16, "01ffff02ffffffff", 5}, {2, "01", 1},           {3, "01ffff", 2},
               {8, "01ffff02ffffffff", 5},  {7, "01ffff02ffff", 4}, {0, "", 0}};
  for (const Case &c : cases) {
    std::vector<uint8_t> out(c.room + 1, 0xAA);
    size_t consumed = 99;
    size_t size = ZyTelnet::escapeData(in.data(), in.size(), out.data(), c.room, &consumed);
    EXPECT_EQ(hex(out.data(), size), c.out) << "room " << c.room;
    EXPECT_EQ(consumed, c.consumed) << "room " << c.room;
    EXPECT_EQ(out[c.room], 0xAA) << "written past the room of " << c.room;
  }
}

TEST(PortUrl, TakesTheSchemesHostsAndOptionsOfNetworkPorts) {
  struct Case {
    const char *text;
    ZyPortUrl::Scheme scheme;
    const char *host;
    int port;
    long timeoutMs;
    int baud;
    const char *caFile;
    bool ignoreSetControl;
    bool debug;
  } cases[] = {
      {"rfc2217://127.0.0.1:4001", ZyPortUrl::RFC2217, "127.0.0.1", 4001, 3000, 115200, "", false,
       false},
      {"RFC2217://robot7.lab:4001/?timeout=0.5&ign_set_control&logging=debug", ZyPortUrl::RFC2217,
       "robot7.lab", 4001, 500, 115200, "", true, true},
      {"rfc2217s://[::1]:4443?cafile=/etc/ca.pem&timeout=10", ZyPortUrl::RFC2217_TLS, "::1", 4443,
       10000, 115200, "/etc/ca.pem", false, false},
      {"socket://10.0.0.5:7000?baud=38400", ZyPortUrl::SOCKET, "10.0.0.5", 7000, 3000, 38400, "",
       false, false},
      {"sockets://h:1?baud=9600&cafile=c.pem&logging=info", ZyPortUrl::SOCKET_TLS, "h", 1, 3000,
       9600, "c.pem", false, false},
  };
  for (const Case &c : cases) {
    ZyPortUrl url;
    std::string error;
    ASSERT_TRUE(ZyPortUrl::parse(c.text, &url, &error)) << c.text << ": " << error;
    EXPECT_TRUE(ZyPortUrl::looksLikeUrl(c.text)) << c.text;
    EXPECT_EQ(url.text, c.text);
    EXPECT_EQ(url.scheme, c.scheme) << c.text;
    EXPECT_EQ(url.host, c.host) << c.text;
    EXPECT_EQ(url.port, c.port) << c.text;
    EXPECT_EQ(url.timeoutMs, c.timeoutMs) << c.text;
    EXPECT_EQ(url.baud, c.baud) << c.text;
    EXPECT_EQ(url.caFile, c.caFile) << c.text;
    EXPECT_EQ(url.ignoreSetControl, c.ignoreSetControl) << c.text;
    EXPECT_EQ(url.debug, c.debug) << c.text;
  }
}

TEST(PortUrl, RefusesWhatIsNoValidPortUrlAndSaysWhy) {
  struct Case {
    const char *text;
    const char *reason;
  } cases[] = {
      {"telnet://h:23", "unknown scheme 'telnet'"},
      {"rfc2217://h", "no port after the host"},
      {"rfc2217://:4001", "no host"},
      {"rfc2217://h:0", "the port '0' is not a number from 1 to 65535"},
      {"rfc2217://h:65536", "the port '65536'"},
      {"rfc2217://h:40x1", "the port '40x1'"},
      {"rfc2217://::1:4001", "an IPv6 address goes in brackets"},
      {"rfc2217://[::1:4001", "closing ']'"},
      {"rfc2217://user@h:4001", "is not a host name or address"},
      {"rfc2217://h:1?timeout=0", "timeout=0 is not a time"},
      {"rfc2217://h:1?timeout=61", "timeout=61 is not a time"},
      {"rfc2217://h:1?timeout=1.", "timeout=1. is not a time"},
      {"rfc2217://h:1?baud=9600", "unknown option 'baud=9600' (known: timeout=S, "
                                  "ign_set_control, logging=debug)"},
      {"rfc2217://h:1?cafile=x", "unknown option 'cafile=x'"},
      {"socket://h:1?baud=fast", "baud=fast is not a speed"},
      {"rfc2217s://h:1?cafile=", "cafile= needs the path"},
      {"rfc2217://h:1?logging=loud", "logging=loud is not debug"},
      {"rfc2217://h:1?ign_set_control=1", "unknown option 'ign_set_control=1'"},
  };
  for (const Case &c : cases) {
    ZyPortUrl url;
    std::string error;
    EXPECT_FALSE(ZyPortUrl::parse(c.text, &url, &error)) << c.text;
    EXPECT_EQ(error.rfind(std::string("Port URL '") + c.text + "': ", 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
  }
  // Device paths are no URLs, whatever their names hold.
  for (const char *path : {"/dev/ttyUSB0", "ttyS0", "/tmp/a://b", "://x", ""})
    EXPECT_FALSE(ZyPortUrl::looksLikeUrl(path)) << path;
  EXPECT_FALSE(ZyPortUrl::looksLikeUrl(nullptr));
}
