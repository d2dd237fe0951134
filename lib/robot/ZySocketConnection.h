// SPDX-License-Identifier: MIT
// ZySocketConnection: a serial port behind a raw TCP bridge (socket://),
// which carries the bytes as they are at the one speed the bridge's port
// was set to (the URL's baud). The speed cannot change: setBaud accepts
// that speed alone, so that a caller which needs another finds out before
// it sends a byte.
#ifndef ZYSOCKETCONNECTION_H
#define ZYSOCKETCONNECTION_H

#include "ZyNetConnection.h"

class ZySocketConnection : public ZyNetConnection {
public:
  explicit ZySocketConnection(const ZyPortUrl &url);

  /// Bytes written, all of them, or -1 when the connection is not open or
  /// broke (then it is closed on error).
  int write(const char *buffer, unsigned int size) override;
  /// Stores the rate; true only for the bridge's own speed.
  bool setBaud(int rate) override;
  bool canChangeBaud() const override { return false; }
  /// Drops what has arrived and not been read.
  void discardInput() override;

protected:
  bool startSession() override { return true; }
  bool pump(long msWait) override;
  const char *className() const override { return "ZySocketConnection"; }
};

#endif
