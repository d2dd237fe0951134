// ZySerialConnection: a POSIX serial port in raw mode as a device
// connection, with a table of supported rates, optional RTS/CTS flow
// control, the modem lines and, where the serial driver offers it, arrival
// time stamps of received bytes.
#ifndef ZYSERIALCONNECTION_H
#define ZYSERIALCONNECTION_H

#include "ZyDeviceConnection.h"

#include <map>
#include <string>

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

  ZySerialConnection();
  /// Closes an open port.
  ~ZySerialConnection() override;
  ZySerialConnection(const ZySerialConnection &) = delete;
  ZySerialConnection &operator=(const ZySerialConnection &) = delete;

  /// Stores the device file to open; nullptr stores "/dev/ttyS0".
  void setPortName(const char *name);
  const char *portName() const { return myPortName.c_str(); }

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
  /// Bytes written (possibly fewer than size), or -1.
  int write(const char *buffer, unsigned int size) override;

  /// Stores the rate and, on an open port, applies it at once.
  bool setBaud(int rate);
  int baudRate() const { return myBaudRate; }
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

private:
  bool modemLine(int bit);

  bool myTimeStamping = false;
  std::map<int, std::string> myOpenErrorTexts;
  std::string myPortName = "none";
  int myBaudRate = 9600;
  int myStatus = STATUS_NEVER_OPENED;
  bool myHardwareControl = false;
  int myFd = -1;
};

#endif
