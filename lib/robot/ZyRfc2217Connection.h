// SPDX-License-Identifier: MIT
// ZyRfc2217Connection: a serial port behind a telnet server with the com
// port option (rfc2217://, rfc2217s:// inside TLS). On open it agrees
// BINARY both ways and the com port option (SGA asked for, not needed),
// then sets speed, data size, parity and stop bits (8N1) and waits for the
// server to confirm each, and asks for no flow control with DTR and RTS on
// (unless ign_set_control), which it does not wait for: servers in front
// of some ports never confirm control lines. Each speed change is
// confirmed the same way, and is followed by a purge of the server's
// receive buffer, as a local port drops its input when its speed changes.
// Data goes through with 0xFF doubled both ways; what arrives while a
// confirmation is awaited is kept for the next read.
#ifndef ZYRFC2217CONNECTION_H
#define ZYRFC2217CONNECTION_H

#include "ZyNetConnection.h"
#include "ZyTelnet.h"

class ZyRfc2217Connection : public ZyNetConnection, private ZyTelnetHandler {
public:
  /// Commands of the com port option, client to server; the server's
  /// confirmation carries the code plus REPLY_OFFSET.
  enum Command {
    SET_BAUDRATE = 1,
    SET_DATASIZE = 2,
    SET_PARITY = 3,
    SET_STOPSIZE = 4,
    SET_CONTROL = 5,
    PURGE_DATA = 12,
    COMMAND_COUNT = 13
  };
  static const uint8_t REPLY_OFFSET = 100;

  explicit ZyRfc2217Connection(const ZyPortUrl &url);

  /// Bytes written, all of them, or -1 when the connection is not open or
  /// broke (then it is closed on error).
  int write(const char *buffer, unsigned int size) override;
  /// Stores the rate; on an open connection sends it and waits for the
  /// server's confirmation (false when none came in time or it confirmed
  /// another speed), then drops the input, as a local port does.
  bool setBaud(int rate) override;
  bool canChangeBaud() const override { return true; }
  /// Drops what was received and not read, and what the server holds for
  /// the client (a purge of its receive buffer; where the server confirms
  /// purges, what it sends before the confirmation is dropped as it comes).
  void discardInput() override;

protected:
  bool startSession() override;
  bool pump(long msWait) override;
  const char *className() const override { return "ZyRfc2217Connection"; }

private:
  void telnetOption(uint8_t command, uint8_t option) override;
  void telnetSubnegotiation(uint8_t option, const uint8_t *data, size_t size, bool cut) override;

  /// Queues a negotiation command (sent after the read that caused it).
  void queue(uint8_t command, uint8_t option);
  /// Sends what is queued; false when the connection broke.
  bool sendQueued();
  /// Sends a com port command with its value (size bytes, 0xFF doubled).
  bool sendCommand(Command command, const uint8_t *value, size_t size);
  /// Sends the command and waits for its confirmation; true when it came
  /// with the value sent. *confirmed tells whether any came in time.
  bool confirmedCommand(Command command, const uint8_t *value, size_t size, bool *confirmed);
  /// Reads until done() or the timeout; false when the time ran out or the
  /// connection broke.
  template <typename Done> bool waitUntil(Done done);
  void trace(const char *direction, const uint8_t *bytes, size_t size);

  ZyTelnetReader myReader;
  static const size_t RAW_SIZE = 4096;
  uint8_t myRaw[RAW_SIZE];
  uint8_t myOut[2 * RAW_SIZE];
  uint8_t myQueued[96];
  size_t myQueuedSize = 0;
  // Option states: enabled on our side (we WILL) and theirs, and whether
  // we asked and are waiting for the answer.
  bool myUs[256];
  bool myUsAsked[256];
  bool myThem[256];
  bool myThemAsked[256];
  bool myComPortRefused = false;
  bool myBinaryRefused = false;
  // The server's confirmations of the com port commands.
  bool myReplied[COMMAND_COUNT];
  uint8_t myReply[COMMAND_COUNT][4];
  size_t myReplySize[COMMAND_COUNT];
  // Held bytes read before the read under way, and the held bytes that
  // came before the server's purge confirmation.
  size_t myDecodeBase = 0;
  size_t myPurgeKeepFrom = 0;
  bool myPurgesConfirmed = true;
  // Purges sent and not yet confirmed, and when the last was sent.
  int myPurgesPending = 0;
  ZyTime myPurgeSent;
};

#endif
