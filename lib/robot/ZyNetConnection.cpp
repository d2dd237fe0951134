// SPDX-License-Identifier: MIT
// What the network connections share: open by URL, the held input, reads
// with a deadline, the loss of the connection.
#include "ZyNetConnection.h"

#include "ZyLog.h"
#include "ZyRfc2217Connection.h"
#include "ZySocketConnection.h"

#include <cstring>

std::unique_ptr<ZyNetConnection> ZyNetConnection::create(const std::string &text,
                                                         std::string *error) {
  ZyPortUrl url;
  if (!ZyPortUrl::parse(text, &url, error))
    return nullptr;
  if (url.rfc2217())
    return std::unique_ptr<ZyNetConnection>(new ZyRfc2217Connection(url));
  return std::unique_ptr<ZyNetConnection>(new ZySocketConnection(url));
}

ZyNetConnection::ZyNetConnection(const ZyPortUrl &url) : myUrl(url) {}

ZyNetConnection::~ZyNetConnection() = default;

bool ZyNetConnection::openDefault() {
  if (myStatus == STATUS_OPEN) {
    ZyLog::log(ZyLog::Terse, "%s::open: Already open", className());
    return false;
  }
  myOpenFailure = ZyNetStream::FAILURE_NONE;
  myOpenFailureDetail.clear();
  dropHeld();
  if (!myStream.open(myUrl.host, myUrl.port, myUrl.tls(), myUrl.caFile, myUrl.timeoutMs))
    return openFailed(myStream.failure(), myStream.failureDetail());
  myStatus = STATUS_OPEN;
  if (!startSession()) {
    myStream.close();
    myStatus = STATUS_OPEN_FAILED;
    return false;
  }
  ZyLog::log(ZyLog::Verbose, "%s::open: Connected to %s port %d (%s).", className(),
             myUrl.host.c_str(), myUrl.port, myStream.address().c_str());
  return true;
}

bool ZyNetConnection::openFailed(ZyNetStream::Failure failure, const std::string &detail) {
  myOpenFailure = failure == ZyNetStream::FAILURE_NONE ? ZyNetStream::FAILURE_OTHER : failure;
  myOpenFailureDetail = detail;
  ZyLog::log(ZyLog::Terse, "%s::open: Could not connect to %s port %d: %s.", className(),
             myUrl.host.c_str(), myUrl.port, detail.c_str());
  return false;
}

bool ZyNetConnection::close() {
  bool wasOpen = myStream.isOpen();
  myStream.close();
  myStatus = STATUS_CLOSED_NORMALLY;
  dropHeld();
  if (wasOpen)
    ZyLog::log(ZyLog::Verbose, "%s::close: Closed the connection to %s port %d.", className(),
               myUrl.host.c_str(), myUrl.port);
  return true;
}

void ZyNetConnection::lost(const char *where) {
  ZyLog::log(ZyLog::Terse, "%s::%s: The connection to %s port %d was lost: %s.", className(), where,
             myUrl.host.c_str(), myUrl.port, myStream.failureDetail().c_str());
  myStream.close();
  myStatus = STATUS_CLOSED_ERROR;
}

size_t ZyNetConnection::heldFree() {
  if (myHeldStart == myHeldEnd)
    myHeldStart = myHeldEnd = 0;
  else if (myHeldEnd == HELD_SIZE && myHeldStart > 0) {
    memmove(myHeld, myHeld + myHeldStart, myHeldEnd - myHeldStart);
    myHeldEnd -= myHeldStart;
    myHeldStart = 0;
  }
  return HELD_SIZE - myHeldEnd;
}

int ZyNetConnection::read(char *buffer, unsigned int size, unsigned int msWait) {
  if (myStatus != STATUS_OPEN || !myStream.isOpen()) {
    ZyLog::log(ZyLog::Terse, "%s::read: Connection invalid.", className());
    return -1;
  }
  ZyTime deadline;
  deadline.addMsec(static_cast<long>(msWait));
  unsigned int count = 0;
  while (true) {
    size_t take = heldSize() < size - count ? heldSize() : size - count;
    memcpy(buffer + count, myHeld + myHeldStart, take);
    myHeldStart += take;
    count += static_cast<unsigned int>(take);
    long left = deadline.msTo();
    if (count >= size || left < 0)
      return static_cast<int>(count);
    size_t before = heldSize();
    if (!pump(left)) {
      lost("read");
      return static_cast<int>(count);
    }
    // Nothing came in time (what did come was telnet's alone, and the
    // deadline is near): the bytes so far.
    if (heldSize() == before && deadline.msTo() <= 0)
      return static_cast<int>(count);
  }
}

long ZyNetConnection::writeDeadlineMs(unsigned int size) const {
  int rate = myBaudRate > 0 ? myBaudRate : 300;
  long line = 1000 + 2L * 10L * 1000L * static_cast<long>(size) / rate;
  return line > myUrl.timeoutMs ? line : myUrl.timeoutMs;
}

const char *ZyNetConnection::openErrorText(int code) {
  return code == 0 ? "" : "Could not connect to the port server.";
}
