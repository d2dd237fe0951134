// SPDX-License-Identifier: MIT
// PortList: the serial ports present on this computer, found in sysfs, each
// with its stable /dev/serial/by-id/ name where one exists and the USB
// vendor, product and serial number of its adapter, for --list-ports and
// for the hint a run that could not connect gives.
#ifndef PORTLIST_H
#define PORTLIST_H

#include <string>
#include <vector>

/// One serial port. The USB fields are "" for a port that is not on USB.
struct SerialPortInfo {
  std::string device;       ///< e.g. /dev/ttyUSB0
  std::string byId;         ///< e.g. /dev/serial/by-id/usb-..., or ""
  std::string vendorId;     ///< idVendor, 4 hexadecimal digits
  std::string productId;    ///< idProduct
  std::string manufacturer; ///< manufacturer text of the adapter
  std::string product;      ///< product text of the adapter
  std::string serial;       ///< serial number of the adapter
};

/// The serial ports with a device behind them, sorted by device name.
/// devRoot and sysRoot stand for /dev and /sys (a test gives a tree of its
/// own). Built-in UART placeholders that no hardware backs are left out.
std::vector<SerialPortInfo> listSerialPorts(const std::string &devRoot = "/dev",
                                            const std::string &sysRoot = "/sys");

/// One line for a port: device, by-id name, "USB vvvv:pppp", manufacturer,
/// product and "serial S", two blanks between the parts present.
std::string serialPortLine(const SerialPortInfo &port);

/// Prints one line a port, or "No serial ports found.", to standard output.
void printSerialPorts(const std::vector<SerialPortInfo> &ports);

#endif
