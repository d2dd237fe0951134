// SPDX-License-Identifier: MIT
// MonitorPeer: plays the controller's resident monitor on the master side of
// a PtyPair, for tests of the monitor link and the FLASH transfer. It keeps
// a 4096-byte FLASH block 7, answers "V", "m7000,FFF", "FE7", "FW..." and
// acknowledges everything else, and can be told to misbehave.
#ifndef MONITORPEER_H
#define MONITORPEER_H

#include "PtyPair.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// "$", the body as given, "#" and the two-digit checksum (lower case).
std::string frameReply(const std::string &body);
/// A command packet as the host must send it: escaped body and checksum.
std::string frameCommand(const std::string &text);
/// Lower-case hexadecimal text of bytes, two digits each.
std::string toHex(const unsigned char *data, size_t length);

class MonitorPeer {
public:
  static const int BLOCK_SIZE = 4096;
  static const unsigned int BLOCK_ADDRESS = 0x7000;

  explicit MonitorPeer(PtyPair &pty);
  /// Stops the peer thread.
  ~MonitorPeer();
  /// Starts answering on the pty's master side.
  void start();
  void stop();

  // Everything below is set up before start() and read after stop().
  unsigned char block[BLOCK_SIZE];
  /// Body of the reply to "V".
  std::string identity = "xORVEX Mon  2.1  ORVEX  2.8 ";
  /// The reply to the block read carries a wrong checksum.
  bool corruptBlockChecksum = false;
  /// The reply to the block read has this many digits instead of 8192.
  int blockDigits = 2 * BLOCK_SIZE;
  /// The reply to the block read uses upper-case digits and checksum.
  bool upperCaseBlock = false;
  /// The erase command is acknowledged but answered as failed.
  bool refuseErase = false;
  /// The write packet with this index (from 0) is answered as failed, and
  /// so are the failWriteCount - 1 write packets after it.
  int failWriteAt = -1;
  int failWriteCount = 1;
  /// The reply to the block read ("m7000,FFF") with this index (from 0)
  /// carries byte corruptReadOffset XOR 0x01 (a good checksum over what is
  /// sent): a read back that differs. EVERY_READ
  /// changes every one.
  int corruptReadAt = -1;
  static const int EVERY_READ = -2;
  /// The byte that corruptReadAt changes (byte 0 unless set).
  int corruptReadOffset = 0;
  /// Called with the index (from 0) of each reply to the block read and
  /// the reply as it will go out ("$", digits, "#", checksum), which it may
  /// change: swap digits (a good checksum still), break the checksum...
  std::function<void(int index, std::string &reply)> editBlockReply;

  /// Called on the peer thread with each command before it is answered.
  std::function<void(const std::string &)> onCommand;

  /// Command texts received, unescaped, in order (after stop()).
  std::vector<std::string> commands() const;
  /// Characters the host sent outside packets ("+"/"-" answers to replies).
  std::string hostAnswers() const;
  /// Packets whose checksum did not match (counted, then ignored).
  int badPackets() const { return myBadPackets.load(); }

  MonitorPeer(const MonitorPeer &) = delete;
  MonitorPeer &operator=(const MonitorPeer &) = delete;

private:
  void run();
  bool readCommand(std::string &text);
  void answer(const std::string &text);

  PtyPair &myPty;
  std::atomic<bool> myStop{false};
  std::atomic<int> myBadPackets{0};
  mutable std::mutex myMutex;
  std::vector<std::string> myCommands;
  std::string myHostAnswers;
  int myWrites = 0;
  int myReads = 0;
  std::thread myThread;
};

#endif
