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

ConnectOptions::ConnectOptions(int *argc, char **argv) : myParser(argc, argv) {
  myParser.loadDefaultSources(1);
}

bool ConnectOptions::readOptions() {
  bool ok = true;
  ok = myParser.takeParameterArgumentString("-robotPort", &myPortName, nullptr, false) && ok;
  ok = myParser.takeParameterArgumentString("-rp", &myPortName, nullptr, false) && ok;
  ok = myParser.takeParameterArgumentInteger("-robotBaud", &myBaud, nullptr, false) && ok;
  ok = myParser.takeParameterArgumentInteger("-rb", &myBaud, nullptr, false) && ok;
  myNet.reset();
  if (ok && ZyPortUrl::looksLikeUrl(myPortName)) {
    std::string error;
    myNet = ZyNetConnection::create(myPortName, &error);
    if (myNet == nullptr) {
      ZyLog::log(ZyLog::Terse, "%s.", error.c_str());
      ok = false;
    }
  }
  return ok;
}

void ConnectOptions::printOptions() const {
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
    mySerial.setPortName(myPortName);
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
