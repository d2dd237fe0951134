// SPDX-License-Identifier: MIT
// A scripted stand-in for the controller's resident monitor on a pty.
#include "MonitorPeer.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char DIGITS[] = "0123456789abcdef";

int digitValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

char hexDigitOf(int value) {
  return DIGITS[value & 0xF];
}

std::string checksumDigits(unsigned int sum) {
  std::string out;
  out.push_back(DIGITS[(sum >> 4) & 0xF]);
  out.push_back(DIGITS[sum & 0xF]);
  return out;
}

} // namespace

std::string frameReply(const std::string &body) {
  unsigned int sum = 0;
  for (unsigned char c : body)
    sum += c;
  return "$" + body + "#" + checksumDigits(sum & 0xFF);
}

std::string frameCommand(const std::string &text) {
  std::string body;
  for (char c : text) {
    if (c == '$' || c == '#' || c == '}') {
      body.push_back('}');
      body.push_back(static_cast<char>(c ^ 0x20));
    } else {
      body.push_back(c);
    }
  }
  return frameReply(body);
}

std::string toHex(const unsigned char *data, size_t length) {
  std::string out;
  out.reserve(2 * length);
  for (size_t i = 0; i < length; i++) {
    out.push_back(DIGITS[data[i] >> 4]);
    out.push_back(DIGITS[data[i] & 0xF]);
  }
  return out;
}

MonitorPeer::MonitorPeer(PtyPair &pty) : myPty(pty) {
  for (int i = 0; i < BLOCK_SIZE; i++)
    block[i] = static_cast<unsigned char>(i * 7 + 3);
}

void MonitorPeer::start() {
  myStop = false;
  myThread = std::thread(&MonitorPeer::run, this);
}

MonitorPeer::~MonitorPeer() {
  stop();
}

void MonitorPeer::stop() {
  myStop = true;
  if (myThread.joinable())
    myThread.join();
}

std::vector<std::string> MonitorPeer::commands() const {
  std::lock_guard<std::mutex> guard(myMutex);
  return myCommands;
}

std::string MonitorPeer::hostAnswers() const {
  std::lock_guard<std::mutex> guard(myMutex);
  return myHostAnswers;
}

void MonitorPeer::run() {
  std::string text;
  while (!myStop) {
    if (readCommand(text))
      answer(text);
  }
  // The host acknowledges the last reply and may stop the peer before this
  // thread is back at the line: take the acknowledgements already sent, so
  // that hostAnswers() holds every one the host sent before stop().
  for (std::string c = myPty.read(1, 20); c == "+" || c == "-"; c = myPty.read(1, 20)) {
    std::lock_guard<std::mutex> guard(myMutex);
    myHostAnswers += c;
  }
}

// Reads one command packet; false on a quiet line or a bad checksum.
bool MonitorPeer::readCommand(std::string &text) {
  std::string c = myPty.read(1, 20);
  if (c.empty())
    return false;
  if (c[0] != '$') {
    std::lock_guard<std::mutex> guard(myMutex);
    myHostAnswers += c;
    return false;
  }
  std::string raw;
  while (true) {
    c = myPty.read(1, 500);
    if (c.empty())
      return false;
    if (c[0] == '#')
      break;
    raw += c;
  }
  std::string sumText = myPty.read(2, 500);
  unsigned int sum = 0;
  for (unsigned char b : raw)
    sum += b;
  if (sumText.size() != 2 || sumText != checksumDigits(sum & 0xFF)) {
    myBadPackets++;
    return false;
  }
  text.clear();
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '}' && i + 1 < raw.size())
      text.push_back(static_cast<char>(raw[++i] ^ 0x20));
    else
      text.push_back(raw[i]);
  }
  std::lock_guard<std::mutex> guard(myMutex);
  myCommands.push_back(text);
  return true;
}

void MonitorPeer::answer(const std::string &text) {
  if (onCommand)
    onCommand(text);
  myPty.write("+");
  if (text == "V") {
    myPty.write(frameReply(identity));
  } else if (text == "m7000,FFF") {
    std::string digits = toHex(block, BLOCK_SIZE);
    int read = myReads++;
    if (read == corruptReadAt || corruptReadAt == EVERY_READ) {
      char &low = digits[2 * static_cast<size_t>(corruptReadOffset) + 1];
      low = hexDigitOf(digitValue(low) ^ 1);
    }
    if (upperCaseBlock)
      for (char &d : digits)
        d = static_cast<char>(toupper(static_cast<unsigned char>(d)));
    digits.resize(static_cast<size_t>(blockDigits), '0');
    std::string reply = frameReply(digits);
    if (upperCaseBlock)
      for (size_t i = reply.size() - 2; i < reply.size(); i++)
        reply[i] = static_cast<char>(toupper(static_cast<unsigned char>(reply[i])));
    if (corruptBlockChecksum)
      reply[1] = reply[1] == '0' ? '1' : '0';
    if (editBlockReply)
      editBlockReply(read, reply);
    myPty.write(reply);
  } else if (text == "FE7") {
    if (refuseErase) {
      myPty.write(frameReply("ER1"));
    } else {
      memset(block, 0xFF, sizeof block);
      myPty.write(frameReply("OK0"));
    }
  } else if (text.compare(0, 2, "FW") == 0) {
    int index = myWrites++;
    size_t comma = text.find(',');
    unsigned long address = strtoul(text.c_str() + 2, nullptr, 16);
    std::string data = comma == std::string::npos ? "" : text.substr(comma + 1);
    bool failed = failWriteAt >= 0 && index >= failWriteAt && index < failWriteAt + failWriteCount;
    bool ok = !failed && address >= BLOCK_ADDRESS && data.size() % 2 == 0 &&
              address - BLOCK_ADDRESS + data.size() / 2 <= BLOCK_SIZE;
    if (ok) {
      for (size_t i = 0; i < data.size() / 2; i++)
        block[address - BLOCK_ADDRESS + i] =
            static_cast<unsigned char>(digitValue(data[2 * i]) * 16 + digitValue(data[2 * i + 1]));
    }
    myPty.write(frameReply(ok ? "OK0" : "ER1"));
  }
  // "FR", "FK" and anything else: the acknowledgement only.
}
