// SPDX-License-Identifier: MIT
// Connection options of the utility: the port (device path or URL) and
// the first baud rate, and the connection made from them.
#include "ConnectOptions.h"

#include "PortAdvice.h"
#include "ZyLog.h"
#include "ZyNetStream.h"
#include "ZyRobot.h"

namespace {
/// How long the journal's key may wait for a name's lookup.
const long KEY_LOOKUP_MS = 1500;
} // namespace

ConnectOptions::ConnectOptions(const char *port, int baud)
    : myPort(port != nullptr ? port : ""), myPortGiven(port != nullptr), myBaud(baud) {
  if (myPortGiven && ZyPortUrl::looksLikeUrl(port)) {
    std::string error;
    myNet = ZyNetConnection::create(myPort, &error);
  }
}

bool ConnectOptions::portUsable(const char *port) {
  if (!ZyPortUrl::looksLikeUrl(port))
    return true;
  ZyPortUrl url;
  std::string error;
  if (ZyPortUrl::parse(port, &url, &error))
    return true;
  ZyLog::log(ZyLog::Terse, "%s.", error.c_str());
  return false;
}

void ConnectOptions::printOptions() {
  ZyLog::log(ZyLog::Terse, "Options for connecting (see docs for more details):");
  ZyLog::log(ZyLog::Terse, "-robotPort <robotSerialPort>");
  ZyLog::log(ZyLog::Terse, "-rp <robotSerialPort>");
  ZyLog::log(ZyLog::Terse, "-robotBaud <baud>");
  ZyLog::log(ZyLog::Terse, "-rb <baud>");
}

ZyDeviceConnection *ConnectOptions::connection() {
  if (myNet != nullptr)
    return myNet.get();
  return &mySerial;
}

void ConnectOptions::attachTo(ZyRobot *robot) {
  if (myNet == nullptr)
    mySerial.setPortName(portName());
  connection()->setBaud(myBaud);
  if (robot != nullptr)
    robot->setDeviceConnection(connection());
}

std::string ConnectOptions::openAdvice() {
  if (myNet != nullptr)
    return myNet->openFailureIsFinal() ? netPortAdvice(*myNet) : "";
  return mySerial.openFailureIsFinal() ? portAdvice(mySerial) : "";
}

std::string networkPortKey(const std::string &port) {
  if (!ZyPortUrl::looksLikeUrl(port.c_str()))
    return "";
  ZyPortUrl url;
  std::string error;
  if (!ZyPortUrl::parse(port, &url, &error))
    return "";
  std::string address;
  ZyNetStream::Failure failure;
  std::string detail;
  if (!ZyNetStream::resolve(url.host, KEY_LOOKUP_MS, &address, &failure, &detail))
    return "";
  if (address.find(':') != std::string::npos)
    address = "[" + address + "]";
  return std::string(url.schemeName()) + "://" + address + ":" + std::to_string(url.port);
}
