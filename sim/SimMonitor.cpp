// SPDX-License-Identifier: MIT
// The simulated resident monitor: command handling, replies, faults, log.
#include "SimMonitor.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace simreply {
const char *const OK = "OK0";
const char *const BAD_COMMAND = "ER1";
const char *const REFUSED = "ER2";
const char *const NOT_ERASED = "ER3";
} // namespace simreply

namespace {

const size_t COMMAND_TEXT_KEPT = 40;
// A binary reply holds at most 4096 bytes: 8192 hexadecimal digits.
const size_t MAX_READ = 4096;

char frameSafe(char c) {
  return (c == '$' || c == '#' || c == '}') ? '?' : c;
}

/// Parses hexadecimal digits up to a terminator character (or the end when
/// terminator is 0); false when there are none, when a non-digit comes
/// first or when the value exceeds 32 bits.
bool parseHex(const char *&p, char terminator, uint32_t &value) {
  value = 0;
  int digits = 0;
  while (*p && *p != terminator) {
    int v = simframe::hexValue(static_cast<unsigned char>(*p));
    if (v < 0 || value > 0x0fffffffu)
      return false;
    value = value * 16 + static_cast<uint32_t>(v);
    digits++;
    p++;
  }
  return digits > 0 && *p == terminator;
}

} // namespace

std::string SimIdentity::replyBody() const {
  std::string body;
  if (!rawReply.empty()) {
    for (char c : rawReply)
      body.push_back(frameSafe(c));
    return body;
  }
  std::string name = firmwareName.substr(0, 5);
  name.resize(5, ' ');
  body = "VMonitor v. ";
  body += frameSafe(monitorMajor);
  body += '.';
  body += frameSafe(monitorMinor);
  body += " fw ";
  for (char c : name)
    body += frameSafe(c);
  body += " v";
  body += frameSafe(firmwareMajor);
  body += '.';
  body += frameSafe(firmwareMinor);
  return body;
}

bool SimFaultTrigger::parse(const std::string &text) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    prefix = text;
    occurrence = 1;
    return true;
  }
  std::string count = text.substr(colon + 1);
  prefix = text.substr(0, colon);
  if (count == "*") {
    occurrence = EVERY;
    return true;
  }
  if (count.empty() || count.size() > 9 ||
      count.find_first_not_of("0123456789") != std::string::npos)
    return false;
  occurrence = atoi(count.c_str());
  return occurrence > 0;
}

bool parseFaultWithNumbers(const std::string &text, SimFaultTrigger &trigger, int count, long low,
                           long high, int *first, int *second) {
  size_t comma = text.find(',');
  if (comma == std::string::npos || !trigger.parse(text.substr(0, comma)))
    return false;
  std::string rest = text.substr(comma + 1);
  int *out[2] = {first, second};
  for (int i = 0; i < count; i++) {
    size_t end = rest.find(',');
    bool last = i == count - 1;
    if (last != (end == std::string::npos))
      return false;
    std::string number = rest.substr(0, end);
    if (number.empty() || number.size() > 9 ||
        number.find_first_not_of("0123456789") != std::string::npos)
      return false;
    long value = atol(number.c_str());
    if (value < low || value > high)
      return false;
    *out[i] = static_cast<int>(value);
    if (!last)
      rest = rest.substr(end + 1);
  }
  return true;
}

std::string SimFaultTrigger::describe() const {
  std::string who = prefix.empty() ? "any command" : "commands starting \"" + prefix + "\"";
  if (occurrence == EVERY)
    return "every one of " + who;
  return "occurrence " + std::to_string(occurrence) + " of " + who;
}

SimMonitor::SimMonitor(SimMemory *memory, const SimIdentity &identity, const SimFaults &faults)
    : myMemory(memory), myIdentity(identity), myFaults(faults) {
  myBody.resize(2 * MAX_READ + 64);
  myFrame.resize(2 * MAX_READ + 64 + 4);
  myData.resize(CommandDecoder::MAX_TEXT / 2 + 1);
  myCommandRing.resize(COMMANDS_KEPT * COMMAND_CHARS);
  myIdentityBody = myIdentity.replyBody();
  if (myFaults.noiseBytes < 0)
    myFaults.noiseBytes = 0;
}

uint8_t SimMonitor::noiseByte(uint32_t &state) {
  for (;;) {
    state = state * 1103515245u + 12345u;
    uint8_t b = static_cast<uint8_t>(state >> 16);
    if (b != '$' && b != '#' && b != '}' && b != '+' && b != '-')
      return b;
  }
}

void SimMonitor::log(const char *format, ...) {
  if (!myLog)
    return;
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  myLog(line);
}

void SimMonitor::setDetail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(myDetail, sizeof(myDetail), format, args);
  va_end(args);
}

void SimMonitor::recordCommand(const char *text, size_t length) {
  char *slot = &myCommandRing[myCommandNext * COMMAND_CHARS];
  if (length > COMMAND_TEXT_KEPT) {
    memcpy(slot, text, COMMAND_TEXT_KEPT);
    memcpy(slot + COMMAND_TEXT_KEPT, "...", 4);
  } else {
    memcpy(slot, text, length);
    slot[length] = 0;
  }
  myCommandNext = (myCommandNext + 1) % COMMANDS_KEPT;
  if (myCommandCount < COMMANDS_KEPT)
    myCommandCount++;
}

std::vector<std::string> SimMonitor::commandLog() const {
  std::vector<std::string> out;
  out.reserve(myCommandCount);
  size_t first = (myCommandNext + COMMANDS_KEPT - myCommandCount) % COMMANDS_KEPT;
  for (size_t i = 0; i < myCommandCount; i++)
    out.emplace_back(&myCommandRing[((first + i) % COMMANDS_KEPT) * COMMAND_CHARS]);
  return out;
}

void SimMonitor::flushLog() {
  if (myPendingNoise > 0) {
    log("<- %ld byte(s) of noise (host speed differs from the controller's)", myPendingNoise);
    myPendingNoise = 0;
  }
  if (myPendingStray > 0) {
    log("<- %ld stray byte(s) outside packets, ignored", myPendingStray);
    myPendingStray = 0;
  }
}

void SimMonitor::send(const uint8_t *bytes, size_t length) {
  if (myStats.poweredOff || length == 0)
    return;
  myStats.bytesSent += static_cast<long>(length);
  if (myOutput)
    myOutput(bytes, length);
}

bool SimMonitor::triggered(const SimFaultTrigger &trigger, long &count, const char *text) {
  if (!trigger.enabled() || strncmp(text, trigger.prefix.c_str(), trigger.prefix.size()) != 0)
    return false;
  count++;
  return trigger.occurrence == SimFaultTrigger::EVERY || count == trigger.occurrence;
}

void SimMonitor::receive(uint8_t byte, bool noise) {
  if (myStats.poweredOff)
    return;
  myStats.bytesReceived++;
  if (noise) {
    myStats.noiseReceived++;
    if (myLog && myPendingStray > 0)
      flushLog();
    myPendingNoise++;
  } else if (myPendingNoise > 0) {
    flushLog();
  }

  CommandDecoder::Event event = myDecoder.feed(byte);
  switch (event) {
  case CommandDecoder::NONE:
    break;
  case CommandDecoder::COMMAND:
    flushLog();
    execute();
    break;
  case CommandDecoder::BAD_CHECKSUM:
    flushLog();
    myStats.badChecksums++;
    log("<- packet \"%.40s\" with bad checksum (sum %02x, host sent %s%02x), answered -",
        myDecoder.text(), myDecoder.computedSum(), myDecoder.receivedSum() < 0 ? "non-hex " : "",
        myDecoder.receivedSum() < 0 ? 0 : myDecoder.receivedSum());
    if (!myFaults.silent) {
      static const uint8_t minus = '-';
      send(&minus, 1);
    }
    break;
  case CommandDecoder::OVERFLOW:
    flushLog();
    myStats.overflows++;
    myStats.badChecksums++;
    log("<- packet longer than %zu characters dropped, answered -", CommandDecoder::MAX_TEXT);
    if (!myFaults.silent) {
      static const uint8_t minus = '-';
      send(&minus, 1);
    }
    break;
  case CommandDecoder::RESTARTED:
    flushLog();
    log("<- \"$\" inside a packet: the unfinished packet is dropped");
    break;
  case CommandDecoder::PLUS:
    if (myReplyOutstanding) {
      myReplyOutstanding = false;
      myStats.replyAcks++;
      if (!noise) {
        flushLog();
        log("<- + (host accepted the reply)");
      }
    } else {
      myStats.lonePluses++;
      if (!noise) {
        flushLog();
        log("<- + with no reply outstanding, ignored");
      }
    }
    break;
  case CommandDecoder::MINUS:
    if (myReplyOutstanding) {
      myReplyOutstanding = false;
      myStats.replyNaks++;
      if (!noise) {
        flushLog();
        log("<- - (host rejected the reply; it is not sent again)");
      }
    } else {
      myStats.strayBytes++;
      if (!noise)
        myPendingStray++;
    }
    break;
  case CommandDecoder::STRAY:
    myStats.strayBytes++;
    if (!noise)
      myPendingStray++;
    break;
  }

  checkPower();
}

void SimMonitor::checkPower() {
  if (myFaults.dieAfterBytes >= 0 && myStats.bytesReceived >= myFaults.dieAfterBytes) {
    flushLog();
    myStats.poweredOff = true;
    log("** power lost after %ld received bytes: the controller is silent from now on",
        myStats.bytesReceived);
  }
}

void SimMonitor::countFirmwareByte(bool noise) {
  if (myStats.poweredOff)
    return;
  myStats.bytesReceived++;
  if (noise)
    myStats.noiseReceived++;
  checkPower();
}

void SimMonitor::resetLine() {
  flushLog();
  myDecoder.reset();
  myReplyOutstanding = false;
}

bool SimMonitor::takeLeaveRequest() {
  bool was = myLeaveRequest;
  myLeaveRequest = false;
  return was;
}

void SimMonitor::execute() {
  const char *text = myDecoder.text();
  size_t length = myDecoder.textLength();
  myStats.commands++;
  recordCommand(text, length);

  if (myLog) {
    if (strncmp(text, "FW", 2) == 0 && length > 24) {
      const char *comma = strchr(text, ',');
      int head = comma ? static_cast<int>(comma - text + 1) : 24;
      log("<- command \"%.*s\" + %zu hex digits", head, text, length - static_cast<size_t>(head));
    } else {
      log("<- command \"%.60s\"%s", text, length > 60 ? "..." : "");
    }
  }

  if (myFaults.silent) {
    log("   (silent controller: no answer)");
    return;
  }

  if (triggered(myFaults.stall, myStallCount, text)) {
    // Carried out as far as memory goes, then nothing is said any more.
    size_t ignored = 0;
    if (text[0] == 'm')
      doRead(text + 1, ignored);
    else if (text[0] == 'F' && text[1] == 'E')
      doErase(text + 2);
    else if (text[0] == 'F' && text[1] == 'W')
      doWrite(text + 2);
    myStats.stalled = true;
    myStats.poweredOff = true;
    log("** stalled after carrying out this command (fault): the controller is silent from now "
        "on");
    return;
  }
  if (myFaults.strayBytes > 0 && triggered(myFaults.stray, myStrayCount, text)) {
    myStats.strayBursts++;
    sendNoise(myFaults.strayBytes);
    log("-> %d stray byte(s) before the acknowledgement (fault)", myFaults.strayBytes);
  }
  if (triggered(myFaults.dropAck, myDropAckCount, text)) {
    myStats.acksDropped++;
    log("-> (fault: the \"+\" is lost on the line)");
  } else {
    static const uint8_t plus = '+';
    send(&plus, 1);
    log("-> +");
  }

  // Commands answered by the acknowledgement alone.
  if (strcmp(text, "FR") == 0) {
    log("   FR: acknowledged, nothing else to say");
    return;
  }
  if (strcmp(text, "FK") == 0) {
    log("   FK: acknowledged, the monitor's work is done");
    myLeaveRequest = true;
    return;
  }

  const char *body = "";
  size_t bodyLength = 0;
  myDetail[0] = 0;
  bool flashCommand = text[0] == 'F' && (text[1] == 'E' || text[1] == 'W');
  if (flashCommand && triggered(myFaults.refuse, myRefuseCount, text)) {
    myStats.refused++;
    body = simreply::REFUSED;
    setDetail("fault: the FLASH refuses the command");
  } else if (text[0] == 'V') {
    size_t n = myIdentityBody.size() < myBody.size() ? myIdentityBody.size() : myBody.size();
    memcpy(myBody.data(), myIdentityBody.data(), n);
    body = myBody.data();
    bodyLength = n;
    setDetail("identity");
  } else if (text[0] == 'm') {
    body = doRead(text + 1, bodyLength);
  } else if (text[0] == 'F' && text[1] == 'E') {
    body = doErase(text + 2);
  } else if (text[0] == 'F' && text[1] == 'W') {
    body = doWrite(text + 2);
  } else if (text[0] == 'F' && text[1] == '?') {
    body = simreply::OK;
    setDetail("monitor present");
  } else {
    setDetail("unknown command: empty reply");
  }
  if (bodyLength == 0)
    bodyLength = strlen(body);

  if (triggered(myFaults.swapDigits, mySwapCount, text))
    swapBodyDigits(body, bodyLength);
  bool corrupt = triggered(myFaults.badChecksum, myBadChecksumCount, text);
  if (myFaults.noiseBytes > 0) {
    sendNoise(myFaults.noiseBytes);
    log("-> %d noise byte(s) (fault)", myFaults.noiseBytes);
  }
  sendReply(body, bodyLength, corrupt, text);
}

void SimMonitor::swapBodyDigits(const char *body, size_t length) {
  // Only a reply built in the monitor's own buffer can be changed; the
  // fixed texts ("OK0", ...) cannot, and are short anyway.
  if (body != myBody.data())
    return;
  size_t from =
      myLastSwap < 0 ? static_cast<size_t>(myFaults.swapFrom) : static_cast<size_t>(myLastSwap) + 1;
  for (size_t i = from; i + 1 < length; i++) {
    if (myBody[i] == myBody[i + 1])
      continue;
    std::swap(myBody[i], myBody[i + 1]);
    myLastSwap = static_cast<long>(i);
    myStats.digitsSwapped++;
    log("-> body characters %zu and %zu swapped (fault: the checksum cannot tell)", i, i + 1);
    return;
  }
}

void SimMonitor::sendNoise(int count) {
  uint8_t noise[256];
  int left = count;
  while (left > 0) {
    int n = left < 256 ? left : 256;
    for (int i = 0; i < n; i++)
      noise[i] = noiseByte(myNoiseState);
    send(noise, static_cast<size_t>(n));
    left -= n;
  }
}

void SimMonitor::sendReply(const char *body, size_t length, bool corrupt, const char *text) {
  size_t n = simframe::encodeReply(body, length, myFrame.data(), myFrame.size());
  if (n == 0)
    return;
  if (triggered(myFaults.cutReply, myCutCount, text)) {
    // "$" and the first characters of the body, then nothing.
    size_t keep = 1 + (static_cast<size_t>(myFaults.cutAfter) < length
                           ? static_cast<size_t>(myFaults.cutAfter)
                           : length);
    send(myFrame.data(), keep);
    myStats.repliesCut++;
    myStats.repliesSent++;
    log("-> reply cut after %zu of %zu characters (fault)", keep - 1, length);
    return;
  }
  if (triggered(myFaults.pauseReply, myPauseCount, text) &&
      static_cast<size_t>(myFaults.pauseAfter) < n - 1) {
    size_t first = 1 + static_cast<size_t>(myFaults.pauseAfter);
    send(myFrame.data(), first);
    if (myPause)
      myPause(myFaults.pauseMs);
    myStats.repliesPaused++;
    log("-> reply pauses %d ms after %d characters (fault)", myFaults.pauseMs, myFaults.pauseAfter);
    memmove(myFrame.data(), myFrame.data() + first, n - first);
    n -= first;
    if (corrupt) {
      unsigned sum = simframe::checksum(reinterpret_cast<const uint8_t *>(body), length);
      sum = (sum + 1) & 0xff;
      myFrame[n - 2] = static_cast<uint8_t>(simframe::hexDigit(sum >> 4));
      myFrame[n - 1] = static_cast<uint8_t>(simframe::hexDigit(sum));
      myStats.checksumsCorrupted++;
      corrupt = false;
    }
    send(myFrame.data(), n);
    myStats.repliesSent++;
    myReplyOutstanding = true;
    return;
  }
  if (corrupt) {
    // The checksum digits of the sum plus one: always wrong.
    unsigned sum = simframe::checksum(reinterpret_cast<const uint8_t *>(body), length);
    sum = (sum + 1) & 0xff;
    myFrame[n - 2] = static_cast<uint8_t>(simframe::hexDigit(sum >> 4));
    myFrame[n - 1] = static_cast<uint8_t>(simframe::hexDigit(sum));
    myStats.checksumsCorrupted++;
  }
  send(myFrame.data(), n);
  myStats.repliesSent++;
  myReplyOutstanding = true;
  if (myLog) {
    const char *sum = reinterpret_cast<const char *>(&myFrame[n - 2]);
    if (length > 40)
      log("-> reply of %zu characters, checksum %.2s%s%s%s", length, sum,
          corrupt ? " (fault: wrong checksum)" : "", (myDetail[0] == 0) ? "" : ": ", myDetail);
    else
      log("-> reply \"%.*s\" checksum %.2s%s%s%s", static_cast<int>(length), body, sum,
          corrupt ? " (fault: wrong checksum)" : "", (myDetail[0] == 0) ? "" : ": ", myDetail);
  }
}

const char *SimMonitor::doRead(const char *args, size_t &length) {
  // "m" ADDRESS "," LAST: the bytes from ADDRESS to ADDRESS + LAST inclusive.
  uint32_t address = 0, last = 0;
  const char *p = args;
  if (!parseHex(p, ',', address) || !parseHex(++p, '\0', last) || last >= MAX_READ ||
      address >= SimMemory::SIZE || last >= SimMemory::SIZE - address) {
    setDetail("malformed read, or beyond the memory or 4096 bytes");
    return simreply::BAD_COMMAND;
  }
  uint32_t count = last + 1;
  if (myFaults.shortRead.enabled() && triggered(myFaults.shortRead, myShortReadCount, args - 1)) {
    uint32_t most = static_cast<uint32_t>(myFaults.shortReadBytes);
    if (most > SimMemory::SIZE - address)
      most = SimMemory::SIZE - address;
    if (most > MAX_READ)
      most = MAX_READ;
    count = most;
    myStats.shortReads++;
  }
  const uint8_t *bytes = myMemory->bytes() + address;
  char *out = myBody.data();
  for (uint32_t i = 0; i < count; i++) {
    out[2 * i] = simframe::hexDigit(bytes[i] >> 4);
    out[2 * i + 1] = simframe::hexDigit(bytes[i]);
  }
  length = 2 * count;
  myStats.reads++;
  setDetail("%u bytes from 0x%x", count, address);
  return out;
}

const char *SimMonitor::doErase(const char *args) {
  uint32_t block = 0;
  const char *p = args;
  if (!parseHex(p, '\0', block) || block >= static_cast<uint32_t>(SimMemory::BLOCK_COUNT)) {
    setDetail("no such block");
    return simreply::BAD_COMMAND;
  }
  myMemory->erase(static_cast<int>(block));
  myDirty = true;
  myStats.erases++;
  SimMemory::Block b = SimMemory::block(static_cast<int>(block));
  setDetail("erased block %u (0x%x to 0x%x)", block, b.start, b.start + b.size - 1);
  return simreply::OK;
}

const char *SimMonitor::doWrite(const char *args) {
  // "FW" ADDRESS "," followed by two hexadecimal digits per byte.
  uint32_t address = 0;
  const char *p = args;
  if (!parseHex(p, ',', address)) {
    setDetail("malformed write");
    return simreply::BAD_COMMAND;
  }
  p++;
  size_t digits = strlen(p);
  if (digits % 2 != 0 || digits / 2 > myData.size()) {
    setDetail("odd number of data digits");
    return simreply::BAD_COMMAND;
  }
  size_t count = digits / 2;
  for (size_t i = 0; i < count; i++) {
    int high = simframe::hexValue(static_cast<unsigned char>(p[2 * i]));
    int low = simframe::hexValue(static_cast<unsigned char>(p[2 * i + 1]));
    if (high < 0 || low < 0) {
      setDetail("data digit that is not hexadecimal");
      return simreply::BAD_COMMAND;
    }
    myData[i] = static_cast<uint8_t>(high * 16 + low);
  }
  const char *text = args - 2; // the whole command, "FW..."
  if (triggered(myFaults.loseWrite, myLoseWriteCount, text)) {
    myStats.writesLost++;
    setDetail("fault: %zu bytes at 0x%x acknowledged but not stored", count, address);
    return simreply::OK;
  }
  if (count > 0 && triggered(myFaults.flipByte, myFlipByteCount, text)) {
    myData[count / 2] ^= 0x01;
    myStats.bytesChanged++;
  }
  SimMemory::WriteResult result = myMemory->write(address, myData.data(), count);
  if (result == SimMemory::WRITE_OUT_OF_RANGE) {
    setDetail("%zu bytes at 0x%x lie beyond the memory", count, address);
    return simreply::BAD_COMMAND;
  }
  myDirty = true;
  myStats.writes++;
  myStats.bytesWritten += static_cast<long>(count);
  if (result == SimMemory::WRITE_NOT_ERASED) {
    setDetail("wrote %zu bytes at 0x%x but some bits were 0 already (not erased)", count, address);
    return simreply::NOT_ERASED;
  }
  if (count == 0)
    setDetail("wrote nothing at 0x%x", address);
  else
    setDetail("wrote %zu bytes at 0x%x to 0x%x", count, address,
              static_cast<unsigned>(address + count - 1));
  return simreply::OK;
}
