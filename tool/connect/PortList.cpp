// SPDX-License-Identifier: MIT
// The serial ports present, read from sysfs and /dev/serial/by-id.
#include "PortList.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

/// The first line of a sysfs attribute file, "" when it cannot be read.
std::string attribute(const fs::path &file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line))
    return "";
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r'))
    line.pop_back();
  return line;
}

/// The USB device above a tty's device directory: the nearest ancestor
/// with an idVendor file (a handful of levels at most).
void readUsbAttributes(const fs::path &device, SerialPortInfo &port) {
  fs::path at = device;
  for (int level = 0; level < 8 && !at.empty() && at != at.root_path(); level++) {
    std::error_code error;
    if (fs::exists(at / "idVendor", error)) {
      port.vendorId = attribute(at / "idVendor");
      port.productId = attribute(at / "idProduct");
      port.manufacturer = attribute(at / "manufacturer");
      port.product = attribute(at / "product");
      port.serial = attribute(at / "serial");
      return;
    }
    at = at.parent_path();
  }
}

/// The by-id link that leads to the device, "" when none does.
std::string byIdName(const fs::path &byIdDir, const fs::path &device) {
  std::error_code error;
  fs::path target = fs::canonical(device, error);
  if (error)
    return "";
  fs::directory_iterator links(byIdDir, error);
  if (error)
    return "";
  std::vector<std::string> found;
  for (const fs::directory_entry &link : links) {
    std::error_code linkError;
    if (fs::canonical(link.path(), linkError) == target && !linkError)
      found.push_back(link.path().string());
  }
  std::sort(found.begin(), found.end());
  return found.empty() ? "" : found.front();
}

} // namespace

namespace {
void addSerialPorts(const std::string &devRoot, const std::string &sysRoot,
                    std::vector<SerialPortInfo> &ports) {
  std::error_code error;
  fs::directory_iterator ttys(fs::path(sysRoot) / "class" / "tty", error);
  if (error)
    return;
  for (const fs::directory_entry &tty : ttys) {
    std::error_code entryError;
    fs::path deviceLink = tty.path() / "device";
    if (!fs::exists(deviceLink, entryError))
      continue; // a virtual terminal, pty or console
    fs::path device = fs::canonical(deviceLink, entryError);
    if (entryError)
      continue;
    // The built-in UART driver registers placeholders for ports that may
    // not exist; only the ones bound to a platform device of their own
    // are real.
    if (device.filename() == "serial8250")
      continue;
    std::string name = tty.path().filename().string();
    fs::path node = fs::path(devRoot) / name;
    if (!fs::exists(node, entryError))
      continue;
    SerialPortInfo port;
    port.device = node.string();
    port.byId = byIdName(fs::path(devRoot) / "serial" / "by-id", node);
    readUsbAttributes(device, port);
    ports.push_back(port);
  }
}
} // namespace

std::vector<SerialPortInfo> listSerialPorts(const std::string &devRoot,
                                            const std::string &sysRoot) {
  std::vector<SerialPortInfo> ports;
  try {
    addSerialPorts(devRoot, sysRoot, ports);
  } catch (const fs::filesystem_error &) {
    // A directory that changed while it was read: the ports found so far.
  }
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortInfo &a, const SerialPortInfo &b) { return a.device < b.device; });
  return ports;
}

std::string serialPortLine(const SerialPortInfo &port) {
  std::string line = port.device;
  auto add = [&line](const std::string &part) {
    if (!part.empty())
      line += "  " + part;
  };
  add(port.byId);
  if (!port.vendorId.empty())
    add("USB " + port.vendorId + ":" + port.productId);
  add(port.manufacturer);
  add(port.product);
  if (!port.serial.empty())
    add("serial " + port.serial);
  return line;
}

void printSerialPorts(const std::vector<SerialPortInfo> &ports) {
  if (ports.empty())
    printf("No serial ports found.\n");
  for (const SerialPortInfo &port : ports)
    printf("%s\n", serialPortLine(port).c_str());
  fflush(stdout);
}
