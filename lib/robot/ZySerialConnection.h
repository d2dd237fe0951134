// SPDX-License-Identifier: MIT
// ZySerialConnection: a POSIX serial port in raw mode as a device
// connection, with a table of supported rates, optional RTS/CTS flow
// control, the modem lines and, where the serial driver offers it, arrival
// time stamps of received bytes. The port is owned exclusively: an advisory
// lock on it is held from the first successful open until the object is
// destroyed (or opens another port), so closing and reopening the port
// within one run never lets another program in between.
#ifndef ZYSERIALCONNECTION_H
#define ZYSERIALCONNECTION_H

#include "ZyDeviceConnection.h"

#include <map>
#include <string>
#include <sys/types.h>
#include <termios.h>

class ZySerialConnection : public ZyDeviceConnection {
public:
  /// Results of open; each but OPEN_OK has a text in openErrorText.
  enum OpenResult {
    OPEN_OK = 0,
    OPEN_COULD_NOT_OPEN_PORT = 1,
    OPEN_COULD_NOT_SET_UP_PORT = 2,
    OPEN_INVALID_BAUD_RATE = 3,
    OPEN_COULD_NOT_SET_BAUD = 4,
    OPEN_ALREADY_OPEN = 5
  };

  /// Why the last open failed, in more detail than its OpenResult. The
  /// library says no more; explaining a failure to an operator (which
  /// ports exist, which group to join, who holds the port) is the
  /// program's business, from openFailure and openFailureErrno.
  enum OpenFailure {
    FAILURE_NONE = 0,
    FAILURE_NO_SUCH_PORT,
    FAILURE_PERMISSION_DENIED,
    FAILURE_NOT_A_PORT,
    FAILURE_BUSY, ///< errno EBUSY: opened exclusively; EWOULDBLOCK: locked
    FAILURE_OTHER
  };

  ZySerialConnection();
  /// Closes an open port.
  ~ZySerialConnection() override;
  ZySerialConnection(const ZySerialConnection &) = delete;
  ZySerialConnection &operator=(const ZySerialConnection &) = delete;

  /// Stores the device file to open; nullptr stores "/dev/ttyS0".
  void setPortName(const char *name);
  const char *portName() const override { return myPortName.c_str(); }

  /// Opens the stored port with the stored rate and flow control; an
  /// OpenResult code.
  int open();
  /// setPortName(name), then open().
  int open(const char *name);
  bool openDefault() override;
  /// True when closed or already closed.
  bool close() override;

  /// Bytes read before msWait ms passed (never more than size), 0 when none
  /// came, -1 when the port is not open.
  int read(char *buffer, unsigned int size, unsigned int msWait = 0) override;
  /// size when every byte went out before a deadline derived from the
  /// line speed; -1 otherwise (not open, error, or the line did not take
  /// them all in time). A partial write is a failure.
  int write(const char *buffer, unsigned int size) override;

  /// Why the last open failed; FAILURE_NONE after a successful one.
  OpenFailure openFailure() const { return myOpenFailure; }
  /// True when retrying the same port at other rates cannot help: the
  /// port does not exist, may not be opened, is no serial port or is busy.
  bool openFailureIsFinal() const override;
  /// The errno value behind the last failed open (EWOULDBLOCK when another
  /// descriptor holds the port's advisory lock); 0 after a successful one.
  int openFailureErrno() const { return myOpenFailureErrno; }

  /// Stores the rate and, on an open port, applies it at once.
  bool setBaud(int rate) override;
  int baudRate() const override { return myBaudRate; }
  bool hasLineSpeed() const override { return true; }
  bool canChangeBaud() const override { return true; }
  /// The termios speed of a rate in bits per second, or -1.
  int rateToBaud(int rate);
  /// The rate in bits per second of a termios speed, or -1.
  int baudToRate(int baud);

  /// Stores the RTS/CTS flag and, on an open port, applies it at once.
  bool setHardwareControl(bool hardwareControl);
  bool hardwareControl() const { return myHardwareControl; }

  int status() override { return myStatus; }
  /// Text of an open result; "" for a code without text.
  const char *openErrorText(int code) override;

  /// Arrival time of a received byte when the driver stamps them, otherwise
  /// the current time.
  ZyTime readTimeStamp(int index) override;
  bool timeStampingOn() override { return myTimeStamping; }
  /// Flushes the port's pending input (tcflush), when open.
  void discardInput() override;

  bool ctsLine();
  bool dsrLine();
  bool dcdLine();
  bool ringLine();

protected:
  /// One write call on the port; a hook so that tests can make the driver
  /// refuse or cut writes the way a full output queue does.
  virtual ssize_t systemWrite(int fd, const char *buffer, size_t size);

private:
  bool modemLine(int bit);
  /// Takes the advisory lock on the port unless already held; false (with
  /// the failure recorded) when the port cannot be opened or is busy.
  bool lockPort();
  void releasePort();
  /// Records why opening the port failed with errno value error.
  void recordOpenFailure(int error);
  /// Asks the driver for low-latency mode when it offers one.
  void requestLowLatency();

  bool myTimeStamping = false;
  std::map<int, std::string> myOpenErrorTexts;
  std::string myPortName = "none";
  int myBaudRate = 9600;
  int myStatus = STATUS_NEVER_OPENED;
  bool myHardwareControl = false;
  int myFd = -1;
  // A descriptor of the port that holds the advisory lock, and the port it
  // was opened for.
  int myLockFd = -1;
  std::string myLockedPort;
  // The port's settings before open, put back on close.
  struct termios mySavedSettings;
  bool mySettingsSaved = false;
  OpenFailure myOpenFailure = FAILURE_NONE;
  int myOpenFailureErrno = 0;
};

#endif
