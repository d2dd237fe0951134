// SPDX-License-Identifier: MIT
// ZyNetConnection: a serial port reached through a network, as a device
// connection: what the RFC 2217 client (ZyRfc2217Connection) and the raw
// TCP bridge (ZySocketConnection) share. It opens by its URL (ZyPortUrl),
// keeps what the server sent until it is read (in a fixed buffer), reads
// with the deadlines of a local port, and treats a connection that drops
// like a port that vanished: status "closed on error", reads and writes
// refused until it is opened again. create() makes the connection a URL
// names.
#ifndef ZYNETCONNECTION_H
#define ZYNETCONNECTION_H

#include "ZyDeviceConnection.h"
#include "ZyNetStream.h"
#include "ZyPortUrl.h"

#include <memory>
#include <string>

class ZyNetConnection : public ZyDeviceConnection {
public:
  /// Bytes received and not yet read that the connection keeps.
  static const size_t HELD_SIZE = 8192;

  /// The connection the URL names (not yet open), or nullptr with the
  /// reason in *error.
  static std::unique_ptr<ZyNetConnection> create(const std::string &url, std::string *error);

  explicit ZyNetConnection(const ZyPortUrl &url);
  ~ZyNetConnection() override;
  ZyNetConnection(const ZyNetConnection &) = delete;
  ZyNetConnection &operator=(const ZyNetConnection &) = delete;

  const ZyPortUrl &url() const { return myUrl; }

  /// Connects (and for RFC 2217 agrees the options and sets the line up)
  /// within the URL's timeout; false with openFailure() set.
  bool openDefault() override;
  bool close() override;
  int status() override { return myStatus; }
  /// Bytes read before msWait ms passed (never more than size), 0 when none
  /// came, -1 when the connection is not open.
  int read(char *buffer, unsigned int size, unsigned int msWait = 0) override;
  const char *openErrorText(int code) override;
  ZyTime readTimeStamp(int) override { return ZyTime(); }
  bool timeStampingOn() override { return false; }
  const char *portName() const override { return myUrl.text.c_str(); }
  bool hasLineSpeed() const override { return true; }
  int baudRate() const override { return myBaudRate; }
  bool openFailureIsFinal() const override { return myOpenFailure != ZyNetStream::FAILURE_NONE; }

  /// Why the last open failed (FAILURE_NONE after a good one), and the
  /// words of the system, the TLS library or the protocol for it.
  ZyNetStream::Failure openFailure() const { return myOpenFailure; }
  const std::string &openFailureDetail() const { return myOpenFailureDetail; }
  /// The address the last open connected to ("" before one did).
  const std::string &address() const { return myStream.address(); }

protected:
  /// After the connect: what the protocol needs before data may flow.
  /// False with the failure recorded by openFailed.
  virtual bool startSession() = 0;
  /// Reads once from the stream, waiting at most msWait, and adds the data
  /// to what is held; false when the connection broke.
  virtual bool pump(long msWait) = 0;
  /// Records why open failed and logs it; returns false.
  bool openFailed(ZyNetStream::Failure failure, const std::string &detail);
  /// The connection broke in the middle of where: logged, status "closed
  /// on error".
  void lost(const char *where);
  /// How long a write of size bytes may take at the line's speed, at least
  /// the URL's timeout.
  long writeDeadlineMs(unsigned int size) const;
  /// The class name for log lines.
  virtual const char *className() const = 0;

  // Room at the end of the held bytes, and the bytes added there.
  uint8_t *heldSpace() { return myHeld + myHeldEnd; }
  size_t heldFree();
  void heldAdded(size_t size) { myHeldEnd += size; }
  /// Drops every byte held.
  void dropHeld() { myHeldStart = myHeldEnd = 0; }
  /// Drops the first size bytes held (at most all).
  void dropHeldFront(size_t size) { myHeldStart += size < heldSize() ? size : heldSize(); }
  size_t heldSize() const { return myHeldEnd - myHeldStart; }

  ZyPortUrl myUrl;
  ZyNetStream myStream;
  int myStatus = STATUS_NEVER_OPENED;
  int myBaudRate = 9600;

private:
  uint8_t myHeld[HELD_SIZE];
  size_t myHeldStart = 0;
  size_t myHeldEnd = 0;
  ZyNetStream::Failure myOpenFailure = ZyNetStream::FAILURE_NONE;
  std::string myOpenFailureDetail;
};

#endif
