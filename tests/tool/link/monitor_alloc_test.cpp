// SPDX-License-Identifier: MIT
// Shows that the monitor wire path allocates nothing per byte or per packet:
// global operator new is replaced by a counting one, and only allocations
// made on the test's own thread (not the peer's) are counted.
#include "CountAllocations.h"
#include "MonitorLink.h"
#include "MonitorPeer.h"
#include "PtyPair.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

TEST(MonitorWirePath, NoAllocationPerByteOrPacket) {
  PtyPair pty;
  ZySerialConnection port;
  ASSERT_EQ(port.open(pty.slavePath().c_str()), 0);
  MonitorLink link(&port);
  MonitorPeer peer(pty);
  peer.start();

  static unsigned char data[4096];
  for (int i = 0; i < 4096; i++)
    data[i] = static_cast<unsigned char>(i * 5);

  // The counter must see allocations at all, or a zero below proves nothing.
  {
    CountAllocations probe;
    std::string text(100, 'x');
    EXPECT_EQ(probe.count(), 1);
  }

  testing::internal::CaptureStdout();
  long writeAllocations, readAllocations;
  bool written, read, acked;
  {
    CountAllocations counter;
    written = link.writeFlash(data, 4096, 0x7000); // 32 packets of 128 bytes
    writeAllocations = counter.count();
  }
  testing::internal::GetCapturedStdout();
  static unsigned char back[4096];
  {
    CountAllocations counter;
    acked = link.sendCommand("m7000,FFF");
    read = link.readBinaryPacket(back, 4096, 2000); // one reply of 8192 digits
    readAllocations = counter.count();
  }
  peer.stop();

  EXPECT_TRUE(written);
  EXPECT_TRUE(acked);
  EXPECT_TRUE(read);
  EXPECT_EQ(peer.commands().size(), 33u);
  EXPECT_EQ(memcmp(back, data, sizeof data), 0);
  EXPECT_EQ(writeAllocations, 0);
  EXPECT_EQ(readAllocations, 0);
}
