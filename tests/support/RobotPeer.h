// SPDX-License-Identifier: MIT
// RobotPeer: the controller's end of a robot packet line for tests. It frames
// packets as the controller does, builds the SYNC2 reply and a CONFIG packet,
// and runs a peer thread on the master side of a pty that splits what the
// robot sends into packets, answers through a responder and can send packets
// unasked, as a running controller sends its status packets.
#ifndef ROBOTPEER_H
#define ROBOTPEER_H

#include "PtyPair.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

/// Milliseconds since start on the steady clock.
long msSince(Clock::time_point start);

/// A robot packet as the controller frames it.
std::string frame(int id, const std::string &data = "");
/// A NUL-terminated text.
std::string text(const std::string &s);
/// A 16-bit value, low byte first.
std::string u16(int v);
std::string u8(int v);
/// The SYNC2 reply carrying name, type and subtype.
std::string sync2Reply(const std::string &name, const std::string &type,
                       const std::string &subtype);
/// A CONFIG packet with recognisable values (SipCycle 10); resetBaud 2 asks
/// for the baud switch.
std::string configPacket(int resetBaud);

struct Packet {
  int id;
  std::string data;
  long atMs;
};

class Peer {
public:
  using Responder = std::function<std::string(const Packet &)>;
  /// Called about every 10 ms with the ms since start; what it returns is
  /// sent unasked.
  using Ticker = std::function<std::string(long)>;

  Peer(PtyPair &pty, Responder responder, Ticker ticker = nullptr);
  ~Peer();

  void stop();
  std::vector<Packet> packets();
  std::vector<int> ids();
  std::string raw();
  size_t rawSize();
  /// Ms since the peer started, on the clock of Packet::atMs.
  long now() const;

  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

private:
  void run();

  PtyPair &myPty;
  Responder myResponder;
  Ticker myTicker;
  Clock::time_point myStart;
  std::atomic<bool> myStop{false};
  std::mutex myMutex;
  std::vector<Packet> myPackets;
  std::string myRaw;
  std::thread myThread;
};

/// A controller that answers each SYNC with the same ID, the SYNC2 reply
/// carrying its identity, and the CONFIG request with config when given.
Peer::Responder syncingController(const std::string &name, const std::string &type,
                                  const std::string &subtype, std::string config = "");

#endif
