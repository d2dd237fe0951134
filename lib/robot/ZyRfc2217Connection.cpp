// SPDX-License-Identifier: MIT
// The RFC 2217 client: option negotiation, the line's settings with their
// confirmations, purges, and data with 0xFF doubled.
#include "ZyRfc2217Connection.h"

#include "ZyLog.h"

#include <cstdio>
#include <cstring>

using namespace ZyTelnet;

namespace {
// Values of the com port commands.
const uint8_t DATASIZE_8 = 8;
const uint8_t PARITY_NONE = 1;
const uint8_t STOPSIZE_1 = 1;
const uint8_t CONTROL_NO_FLOW = 1;
const uint8_t CONTROL_DTR_ON = 8;
const uint8_t CONTROL_RTS_ON = 11;
const uint8_t PURGE_RECEIVED = 1; // the server's buffer of data from the port
const uint8_t PURGE_BOTH = 3;

const char *commandName(int command) {
  switch (command) {
  case ZyRfc2217Connection::SET_BAUDRATE:
    return "speed";
  case ZyRfc2217Connection::SET_DATASIZE:
    return "data size";
  case ZyRfc2217Connection::SET_PARITY:
    return "parity";
  case ZyRfc2217Connection::SET_STOPSIZE:
    return "stop bits";
  case ZyRfc2217Connection::PURGE_DATA:
    return "purge";
  default:
    return "control";
  }
}

uint32_t valueOf(const uint8_t *bytes, size_t size) {
  uint32_t value = 0;
  for (size_t i = 0; i < size; i++)
    value = (value << 8) | bytes[i];
  return value;
}
} // namespace

ZyRfc2217Connection::ZyRfc2217Connection(const ZyPortUrl &url) : ZyNetConnection(url) {
  memset(myUs, 0, sizeof myUs);
  memset(myUsAsked, 0, sizeof myUsAsked);
  memset(myThem, 0, sizeof myThem);
  memset(myThemAsked, 0, sizeof myThemAsked);
  memset(myReplied, 0, sizeof myReplied);
  memset(myReplySize, 0, sizeof myReplySize);
}

void ZyRfc2217Connection::trace(const char *direction, const uint8_t *bytes, size_t size) {
  if (!myUrl.debug)
    return;
  char text[3 * 64 + 1] = "";
  size_t shown = size < 64 ? size : 64;
  for (size_t i = 0; i < shown; i++)
    snprintf(text + 3 * i, sizeof text - 3 * i, " %02x", bytes[i]);
  ZyLog::log(ZyLog::Terse, "ZyRfc2217Connection: %s%s%s", direction, text,
             size > shown ? " ..." : "");
}

template <typename Done> bool ZyRfc2217Connection::waitUntil(Done done) {
  ZyTime deadline;
  deadline.addMsec(myUrl.timeoutMs);
  while (!done()) {
    long left = deadline.msTo();
    if (left < 0)
      return false;
    if (!pump(left))
      return false;
  }
  return true;
}

bool ZyRfc2217Connection::startSession() {
  myReader.reset();
  memset(myUs, 0, sizeof myUs);
  memset(myUsAsked, 0, sizeof myUsAsked);
  memset(myThem, 0, sizeof myThem);
  memset(myThemAsked, 0, sizeof myThemAsked);
  memset(myReplied, 0, sizeof myReplied);
  myComPortRefused = false;
  myBinaryRefused = false;
  myPurgesConfirmed = true;
  myPurgesPending = 0;
  myQueuedSize = 0;
  for (uint8_t option : {OPTION_COM_PORT, OPTION_BINARY, OPTION_SGA}) {
    queue(WILL, option);
    myUsAsked[option] = true;
  }
  for (uint8_t option : {OPTION_BINARY, OPTION_SGA}) {
    queue(DO, option);
    myThemAsked[option] = true;
  }
  char server[320];
  snprintf(server, sizeof server, "the server at %s port %d", myUrl.host.c_str(), myUrl.port);
  if (!sendQueued())
    return openFailed(myStream.failure(), myStream.failureDetail());
  bool agreed = waitUntil([this] {
    return (myUs[OPTION_COM_PORT] && myUs[OPTION_BINARY] && myThem[OPTION_BINARY]) ||
           myComPortRefused || myBinaryRefused;
  });
  if (!myStream.isOpen())
    return openFailed(ZyNetStream::FAILURE_CLOSED, "while the options were agreed");
  if (myComPortRefused)
    return openFailed(ZyNetStream::FAILURE_PROTOCOL,
                      std::string(server) + " refuses the com port option: it is no RFC 2217 "
                                            "port (for a raw TCP port use socket://)");
  if (myBinaryRefused)
    return openFailed(ZyNetStream::FAILURE_PROTOCOL,
                      std::string(server) + " refuses binary transmission");
  if (!agreed) {
    char text[512];
    snprintf(text, sizeof text,
             "%s did not agree to the com port option within %ld.%03ld s: it is no RFC 2217 "
             "port (for a raw TCP port use socket://)",
             server, myUrl.timeoutMs / 1000, myUrl.timeoutMs % 1000);
    return openFailed(ZyNetStream::FAILURE_PROTOCOL, text);
  }

  // The line: speed, then 8 data bits, no parity, 1 stop bit, in the order
  // the option recommends; each must be confirmed.
  uint8_t baud[4] = {static_cast<uint8_t>(static_cast<uint32_t>(myBaudRate) >> 24),
                     static_cast<uint8_t>(static_cast<uint32_t>(myBaudRate) >> 16),
                     static_cast<uint8_t>(static_cast<uint32_t>(myBaudRate) >> 8),
                     static_cast<uint8_t>(myBaudRate)};
  struct Setting {
    Command command;
    const uint8_t *value;
    size_t size;
  };
  const Setting settings[] = {{SET_BAUDRATE, baud, 4},
                              {SET_DATASIZE, &DATASIZE_8, 1},
                              {SET_PARITY, &PARITY_NONE, 1},
                              {SET_STOPSIZE, &STOPSIZE_1, 1}};
  for (const Setting &setting : settings) {
    bool confirmed = false;
    if (confirmedCommand(setting.command, setting.value, setting.size, &confirmed))
      continue;
    if (!myStream.isOpen())
      return openFailed(myStream.failure(), myStream.failureDetail());
    char text[512];
    if (confirmed)
      snprintf(text, sizeof text, "%s set another %s than asked for (%u instead of %u)", server,
               commandName(setting.command),
               valueOf(myReply[setting.command], myReplySize[setting.command]),
               valueOf(setting.value, setting.size));
    else
      snprintf(text, sizeof text, "%s did not confirm the %s within %ld.%03ld s", server,
               commandName(setting.command), myUrl.timeoutMs / 1000, myUrl.timeoutMs % 1000);
    return openFailed(ZyNetStream::FAILURE_PROTOCOL, text);
  }
  // Flow control and the control lines are asked for, not awaited.
  if (!myUrl.ignoreSetControl)
    for (uint8_t control : {CONTROL_NO_FLOW, CONTROL_DTR_ON, CONTROL_RTS_ON})
      if (!sendCommand(SET_CONTROL, &control, 1))
        return openFailed(myStream.failure(), myStream.failureDetail());
  // A new port starts with empty buffers, as a local one does.
  bool confirmed = false;
  myPurgeKeepFrom = 0;
  if (!confirmedCommand(PURGE_DATA, &PURGE_BOTH, 1, &confirmed) && !myStream.isOpen())
    return openFailed(myStream.failure(), myStream.failureDetail());
  myPurgesConfirmed = confirmed;
  if (confirmed)
    dropHeldFront(myPurgeKeepFrom);
  else
    dropHeld();
  return true;
}

void ZyRfc2217Connection::queue(uint8_t command, uint8_t option) {
  if (myQueuedSize + 3 > sizeof myQueued)
    return; // a server that floods negotiation gets no more answers than fit
  myQueued[myQueuedSize++] = IAC;
  myQueued[myQueuedSize++] = command;
  myQueued[myQueuedSize++] = option;
}

bool ZyRfc2217Connection::sendQueued() {
  if (myQueuedSize == 0)
    return true;
  trace("sent", myQueued, myQueuedSize);
  bool sent = myStream.writeAll(myQueued, myQueuedSize, myUrl.timeoutMs);
  myQueuedSize = 0;
  return sent;
}

bool ZyRfc2217Connection::sendCommand(Command command, const uint8_t *value, size_t size) {
  uint8_t message[16] = {IAC, SB, OPTION_COM_PORT, static_cast<uint8_t>(command)};
  size_t length = 4;
  for (size_t i = 0; i < size && i < 4; i++) {
    message[length++] = value[i];
    if (value[i] == IAC)
      message[length++] = IAC;
  }
  message[length++] = IAC;
  message[length++] = SE;
  trace("sent", message, length);
  return myStream.writeAll(message, length, myUrl.timeoutMs);
}

bool ZyRfc2217Connection::confirmedCommand(Command command, const uint8_t *value, size_t size,
                                           bool *confirmed) {
  myReplied[command] = false;
  *confirmed = false;
  if (!sendCommand(command, value, size))
    return false;
  if (!waitUntil([this, command] { return myReplied[command]; }))
    return false;
  *confirmed = true;
  return myReplySize[command] == size && memcmp(myReply[command], value, size) == 0;
}

bool ZyRfc2217Connection::pump(long msWait) {
  size_t room = heldFree();
  if (room == 0) {
    // Only a wait for a confirmation reads on with the held buffer full:
    // the port sends faster than anyone reads it, and the oldest goes.
    ZyLog::log(ZyLog::Normal, "ZyRfc2217Connection: %zu unread bytes dropped.", heldSize());
    dropHeld();
    room = heldFree();
  }
  int got = myStream.readSome(myRaw, room < RAW_SIZE ? room : RAW_SIZE, msWait);
  if (got < 0)
    return false;
  if (got == 0)
    return true;
  bool purging = myPurgesPending > 0;
  myDecodeBase = heldSize();
  size_t data = myReader.read(myRaw, static_cast<size_t>(got), heldSpace(), *this);
  heldAdded(data);
  if (purging) {
    // Until the server confirms the purge, what it sends is old input.
    if (myPurgesPending == 0) {
      dropHeldFront(myPurgeKeepFrom);
    } else if (myPurgeSent.msSince() > myUrl.timeoutMs) {
      ZyLog::log(ZyLog::Normal,
                 "ZyRfc2217Connection: The server at %s port %d stopped confirming purges.",
                 myUrl.host.c_str(), myUrl.port);
      myPurgesPending = 0;
      myPurgesConfirmed = false;
    } else {
      dropHeld();
    }
  }
  return sendQueued();
}

void ZyRfc2217Connection::telnetOption(uint8_t command, uint8_t option) {
  const uint8_t bytes[3] = {IAC, command, option};
  trace("received", bytes, 3);
  bool ours = option == OPTION_BINARY || option == OPTION_SGA || option == OPTION_COM_PORT;
  bool theirs = option == OPTION_BINARY || option == OPTION_SGA;
  switch (command) {
  case DO:
    if (!ours) {
      queue(WONT, option);
    } else if (!myUs[option]) {
      myUs[option] = true;
      if (!myUsAsked[option])
        queue(WILL, option);
    }
    myUsAsked[option] = false;
    break;
  case DONT:
    if (myUs[option])
      queue(WONT, option);
    if (myUs[option] || myUsAsked[option]) {
      myComPortRefused = myComPortRefused || option == OPTION_COM_PORT;
      myBinaryRefused = myBinaryRefused || option == OPTION_BINARY;
    }
    myUs[option] = false;
    myUsAsked[option] = false;
    break;
  case WILL:
    if (!theirs) {
      queue(DONT, option);
    } else if (!myThem[option]) {
      myThem[option] = true;
      if (!myThemAsked[option])
        queue(DO, option);
    }
    myThemAsked[option] = false;
    break;
  case WONT:
    if (myThem[option])
      queue(DONT, option);
    if ((myThem[option] || myThemAsked[option]) && option == OPTION_BINARY)
      myBinaryRefused = true;
    myThem[option] = false;
    myThemAsked[option] = false;
    break;
  default:
    break;
  }
}

void ZyRfc2217Connection::telnetSubnegotiation(uint8_t option, const uint8_t *data, size_t size,
                                               bool cut) {
  if (myUrl.debug) {
    uint8_t head[2] = {SB, option};
    trace("received", head, 2);
    trace("  data", data, size);
  }
  if (option != OPTION_COM_PORT || size < 1 || cut || data[0] < REPLY_OFFSET)
    return;
  int command = data[0] - REPLY_OFFSET;
  if (command >= COMMAND_COUNT)
    return; // line and modem state notices, flow control suspend and resume
  size_t valueSize = size - 1 < 4 ? size - 1 : 4;
  memcpy(myReply[command], data + 1, valueSize);
  myReplySize[command] = valueSize;
  myReplied[command] = true;
  if (command == PURGE_DATA) {
    myPurgeKeepFrom = myDecodeBase + myReader.outputSoFar();
    if (myPurgesPending > 0)
      myPurgesPending--;
  }
}

int ZyRfc2217Connection::write(const char *buffer, unsigned int size) {
  if (myStatus != STATUS_OPEN || !myStream.isOpen()) {
    ZyLog::log(ZyLog::Terse, "ZyRfc2217Connection::write: Connection invalid.");
    return -1;
  }
  ZyTime deadline;
  deadline.addMsec(writeDeadlineMs(size));
  size_t done = 0;
  while (done < size) {
    size_t consumed = 0;
    size_t length = escapeData(reinterpret_cast<const uint8_t *>(buffer) + done, size - done, myOut,
                               sizeof myOut, &consumed);
    long left = deadline.msTo();
    if (left < 0 || !myStream.writeAll(myOut, length, left)) {
      lost("write");
      return -1;
    }
    done += consumed;
  }
  return static_cast<int>(size);
}

bool ZyRfc2217Connection::setBaud(int rate) {
  myBaudRate = rate;
  if (myStatus != STATUS_OPEN || !myStream.isOpen())
    return true;
  if (rate <= 0)
    return false;
  uint32_t value = static_cast<uint32_t>(rate);
  uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  bool confirmed = false;
  if (!confirmedCommand(SET_BAUDRATE, bytes, 4, &confirmed)) {
    if (!myStream.isOpen()) {
      lost("setBaud");
      return false;
    }
    if (confirmed)
      ZyLog::log(ZyLog::Terse,
                 "ZyRfc2217Connection::setBaud: The server at %s port %d set %u bit/s instead "
                 "of %d.",
                 myUrl.host.c_str(), myUrl.port, valueOf(myReply[SET_BAUDRATE], 4), rate);
    else
      ZyLog::log(ZyLog::Terse,
                 "ZyRfc2217Connection::setBaud: The server at %s port %d did not confirm %d "
                 "bit/s within %ld ms.",
                 myUrl.host.c_str(), myUrl.port, rate, myUrl.timeoutMs);
    return false;
  }
  discardInput();
  return myStatus == STATUS_OPEN;
}

void ZyRfc2217Connection::discardInput() {
  dropHeld();
  if (myStatus != STATUS_OPEN || !myStream.isOpen())
    return;
  if (!sendCommand(PURGE_DATA, &PURGE_RECEIVED, 1)) {
    lost("discardInput");
    return;
  }
  // The confirmation is not waited for: the commands that follow reach the
  // server after the purge, so their answers come after its confirmation,
  // and reads drop what comes before it. A server that never confirmed a
  // purge cannot be followed so: what it still sends of the old input
  // cannot be told apart.
  if (myPurgesConfirmed) {
    myPurgesPending++;
    myPurgeSent.setToNow();
  }
}
