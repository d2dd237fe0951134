// SPDX-License-Identifier: MIT
// ZyDeviceConnection: the abstract byte-stream device (open, read with a
// time-out, write, close, status, and the speed of the serial line behind
// it) that the robot packet layer, the robot connection and the monitor
// link are written against.
#ifndef ZYDEVICECONNECTION_H
#define ZYDEVICECONNECTION_H

#include "ZyTime.h"

class ZyBasePacket;

class ZyDeviceConnection {
public:
  enum Status {
    STATUS_NEVER_OPENED = 1,
    STATUS_OPEN = 2,
    STATUS_OPEN_FAILED = 3,
    STATUS_CLOSED_NORMALLY = 4,
    STATUS_CLOSED_ERROR = 5
  };

  ZyDeviceConnection();
  /// Calls the base close, which does nothing.
  virtual ~ZyDeviceConnection();
  /// Bytes read: 0 on time-out, -1 when the device is not open.
  virtual int read(char *buffer, unsigned int size, unsigned int msWait = 0) = 0;
  /// Writes a whole packet; 0 for no packet or an empty one.
  virtual int sendPacket(ZyBasePacket *packet);
  /// Bytes written, or -1.
  virtual int write(const char *buffer, unsigned int size) = 0;
  virtual int status() = 0;
  virtual bool openDefault() = 0;
  virtual bool close() { return false; }
  virtual const char *openErrorText(int code) = 0;
  virtual ZyTime readTimeStamp(int index) = 0;
  virtual bool timeStampingOn() = 0;
  /// Drops input already received and not yet read, without waiting. A
  /// device that keeps no input of its own has nothing to drop.
  virtual void discardInput() {}

  /// The serial line behind the device: a local port, or one reached
  /// through a network. Only such a device has a speed, and only to it
  /// does the robot connection send what is meant for a serial line.
  virtual bool hasLineSpeed() const { return false; }
  /// True when setBaud can move the line to another speed; a bridge that
  /// carries the bytes at one fixed speed cannot.
  virtual bool canChangeBaud() const { return false; }
  /// Stores the line speed in bit/s and, on an open device, applies it;
  /// false when the device cannot run at that speed (a device without a
  /// line speed refuses every rate).
  virtual bool setBaud(int rate) {
    (void)rate;
    return false;
  }
  /// The speed last given to setBaud, 0 for a device without a line speed.
  virtual int baudRate() const { return 0; }
  /// The port as its user named it (a device path or a URL).
  virtual const char *portName() const { return ""; }
  /// True when the last open failed in a way that trying again at another
  /// speed cannot mend.
  virtual bool openFailureIsFinal() const { return false; }

  /// Text of a status value, or nullptr outside 1 to 5.
  static const char *statusText(int status);
};

#endif
