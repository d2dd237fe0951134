// SPDX-License-Identifier: MIT
// The raw TCP bridge at a fixed speed.
#include "ZySocketConnection.h"

#include "ZyLog.h"

ZySocketConnection::ZySocketConnection(const ZyPortUrl &url) : ZyNetConnection(url) {
  myBaudRate = url.baud;
}

bool ZySocketConnection::setBaud(int rate) {
  myBaudRate = rate;
  return rate == myUrl.baud;
}

bool ZySocketConnection::pump(long msWait) {
  size_t room = heldFree();
  if (room == 0)
    return true; // the caller reads what is held first
  int got = myStream.readSome(heldSpace(), room, msWait);
  if (got < 0)
    return false;
  heldAdded(static_cast<size_t>(got));
  return true;
}

int ZySocketConnection::write(const char *buffer, unsigned int size) {
  if (myStatus != STATUS_OPEN || !myStream.isOpen()) {
    ZyLog::log(ZyLog::Terse, "ZySocketConnection::write: Connection invalid.");
    return -1;
  }
  if (!myStream.writeAll(reinterpret_cast<const uint8_t *>(buffer), size, writeDeadlineMs(size))) {
    lost("write");
    return -1;
  }
  return static_cast<int>(size);
}

void ZySocketConnection::discardInput() {
  dropHeld();
  if (myStatus != STATUS_OPEN)
    return;
  // What is waiting now, without waiting for more; bounded, since a
  // talkative line never runs dry.
  for (int round = 0; round < 16; round++) {
    int got = myStream.readSome(heldSpace(), heldFree(), 0);
    dropHeld();
    if (got < 0) {
      lost("discardInput");
      return;
    }
    if (got == 0)
      return;
  }
}
