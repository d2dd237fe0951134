// SPDX-License-Identifier: MIT
// libFuzzer target for what the network ports read from outside: a port
// server's bytes through the telnet reader, and the port URL as an
// operator types it.
//
// Input: byte 0 picks the reader (even: telnet, odd: URL) and, for the
// telnet reader, the size of the pieces the rest is cut into. The telnet
// reader must give the same data and the same commands however the input
// is cut, never more data bytes than it read, never a subnegotiation
// longer than its limit. The URL parser must either refuse with a reason
// that names the URL or give a port from 1 to 65535 and a host.
#include "ZyPortUrl.h"
#include "ZyTelnet.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
void check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "fuzz_net_readers: %s\n", what);
    abort();
  }
}

struct Recorder : ZyTelnetHandler {
  std::string events;
  void telnetOption(uint8_t command, uint8_t option) override {
    check(command >= ZyTelnet::WILL, "an option command that is none");
    events += static_cast<char>(command);
    events += static_cast<char>(option);
  }
  void telnetSubnegotiation(uint8_t option, const uint8_t *data, size_t size, bool cut) override {
    check(size <= ZyTelnetReader::MAX_SUBNEGOTIATION, "subnegotiation past its limit");
    events += "SB";
    events += static_cast<char>(option);
    events.append(reinterpret_cast<const char *>(data), size);
    events += cut ? 'c' : 'w';
  }
};

std::string readCut(const uint8_t *data, size_t size, size_t piece, std::string *events) {
  ZyTelnetReader reader;
  Recorder recorder;
  std::string out;
  uint8_t buffer[64];
  for (size_t at = 0; at < size; at += piece) {
    size_t n = size - at < piece ? size - at : piece;
    size_t got = reader.read(data + at, n, buffer, recorder);
    check(got <= n, "more data than input");
    out.append(reinterpret_cast<const char *>(buffer), got);
  }
  *events = recorder.events;
  return out;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  uint8_t control = data[0];
  data++;
  size--;
  if ((control & 1) == 0) {
    size_t piece = 1 + (control >> 1) % 64;
    std::string wholeEvents, cutEvents;
    std::string whole = readCut(data, size, 64, &wholeEvents);
    std::string cut = readCut(data, size, piece, &cutEvents);
    check(whole == cut, "data depends on where the input is cut");
    check(wholeEvents == cutEvents, "commands depend on where the input is cut");
    // Escaped data reads back as itself.
    uint8_t escaped[2 * 64];
    size_t take = size < 64 ? size : 64;
    size_t consumed = 0;
    size_t length = ZyTelnet::escapeData(data, take, escaped, sizeof escaped, &consumed);
    check(consumed == take, "escaping stopped with room left");
    std::string events;
    std::string back = readCut(escaped, length, 64, &events);
    check(back == std::string(reinterpret_cast<const char *>(data), take), "escape round trip");
    check(events.empty(), "escaped data read as commands");
    return 0;
  }
  std::string text(reinterpret_cast<const char *>(data), size);
  ZyPortUrl url;
  std::string error;
  if (ZyPortUrl::parse(text, &url, &error)) {
    check(url.port >= 1 && url.port <= 65535, "port out of range");
    check(!url.host.empty(), "no host");
    check(url.timeoutMs >= 100 && url.timeoutMs <= 60000, "timeout out of range");
    check(ZyPortUrl::looksLikeUrl(text.c_str()), "parsed what does not look like a URL");
  } else {
    check(error.compare(0, 10, "Port URL '") == 0, "refusal without the URL");
  }
  return 0;
}
