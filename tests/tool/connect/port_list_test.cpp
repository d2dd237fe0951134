// SPDX-License-Identifier: MIT
// Tests of the serial-port list over a made-up /dev and /sys tree: USB
// adapters with their by-id names and attributes, a built-in port, the
// placeholders and terminals left out, and an absent tree.
#include "PortList.h"
#include "TempFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace {
/// A /sys and /dev of a machine with one USB adapter, one built-in UART,
/// one UART placeholder and a virtual terminal.
struct FakeMachine {
  TempDir dir;
  std::string dev = dir.subdir("dev");
  std::string sys = dir.subdir("sys");

  /// Makes the directory and those above it, inside the tree.
  void mkdirs(const std::string &name) { std::filesystem::create_directories(dir.file(name)); }

  FakeMachine() {
    mkdirs("sys/class/tty");
    mkdirs("sys/devices/usb1/1-1");
    dir.write("sys/devices/usb1/1-1/idVendor", "0403\n");
    dir.write("sys/devices/usb1/1-1/idProduct", "6001\n");
    dir.write("sys/devices/usb1/1-1/manufacturer", "FTDI\n");
    dir.write("sys/devices/usb1/1-1/product", "FT232R USB UART\n");
    dir.write("sys/devices/usb1/1-1/serial", "A10K1234\n");
    mkdirs("sys/devices/usb1/1-1/1-1:1.0/ttyUSB0");
    mkdirs("sys/devices/pnp0/00:01");
    mkdirs("sys/devices/platform/serial8250");
    for (const char *tty : {"ttyUSB0", "ttyS0", "ttyS1", "tty1"})
      mkdirs(std::string("sys/class/tty/") + tty);
    link("../../../devices/usb1/1-1/1-1:1.0", "sys/class/tty/ttyUSB0/device");
    link("../../../devices/pnp0/00:01", "sys/class/tty/ttyS0/device");
    link("../../../devices/platform/serial8250", "sys/class/tty/ttyS1/device");
    for (const char *node : {"ttyUSB0", "ttyS0", "ttyS1", "tty1"})
      dir.write(std::string("dev/") + node, "");
    mkdirs("dev/serial/by-id");
    link("../../ttyUSB0", "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0");
  }
  void link(const std::string &target, const std::string &name) {
    ASSERT_EQ(symlink(target.c_str(), dir.file(name).c_str()), 0) << name;
  }
};
} // namespace

TEST(PortList, ListsRealPortsWithTheirStableNamesAndUsbAttributes) {
  FakeMachine machine;
  std::vector<SerialPortInfo> ports = listSerialPorts(machine.dev, machine.sys);
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].device, machine.dev + "/ttyS0");
  EXPECT_EQ(ports[0].byId, "");
  EXPECT_EQ(ports[0].vendorId, "");
  EXPECT_EQ(serialPortLine(ports[0]), machine.dev + "/ttyS0");
  const SerialPortInfo &usb = ports[1];
  EXPECT_EQ(usb.device, machine.dev + "/ttyUSB0");
  EXPECT_EQ(usb.byId, machine.dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0");
  EXPECT_EQ(usb.vendorId, "0403");
  EXPECT_EQ(usb.productId, "6001");
  EXPECT_EQ(usb.serial, "A10K1234");
  EXPECT_EQ(serialPortLine(usb), usb.device + "  " + usb.byId +
                                     "  USB 0403:6001  FTDI  FT232R USB UART  serial A10K1234");
}

TEST(PortList, AMissingTreeListsNothing) {
  TempDir dir;
  EXPECT_TRUE(listSerialPorts(dir.file("dev"), dir.file("sys")).empty());
}
