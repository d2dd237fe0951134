// SPDX-License-Identifier: MIT
// SimFirmware: the simulated controller's ORVEX firmware as far as the host
// sees it on the serial line: the robot packet protocol at the firmware's
// host speed. Answers the SYNC handshake with the identity from the
// parameter block, opens and closes client connections (sending status
// packets while one is open), answers the CONFIG request, changes its host
// speed when told, and asks to hand the line to the resident monitor on
// command 255.
#ifndef SIMFIRMWARE_H
#define SIMFIRMWARE_H

#include "SimMemory.h"
#include "SimRobotFraming.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// Counters of what the firmware has seen and done.
struct SimRobotStats {
  long packets = 0;      ///< packets with a good checksum
  long badChecksums = 0; ///< packets dropped for their checksum or count
  long strayBytes = 0;   ///< bytes outside packets (the host's "WMS2\r" among them)
  long noiseReceived = 0;
  long syncs = 0; ///< SYNC packets answered
  long opens = 0;
  long closes = 0;
  long configs = 0;     ///< CONFIG packets sent
  long statusSent = 0;  ///< status packets sent
  long baudChanges = 0; ///< host speed changes carried out
  long handOvers = 0;   ///< command 255 obeyed
  long ignored = 0;     ///< good packets not acted on
};

/// Command numbers of packets to the controller and IDs of its packets.
namespace simrobot {
const uint8_t CMD_SYNC0 = 0;
const uint8_t CMD_SYNC1 = 1;
const uint8_t CMD_SYNC2 = 2;
const uint8_t CMD_OPEN = 1;
const uint8_t CMD_CLOSE = 2;
const uint8_t CMD_CONFIG = 18;
const uint8_t CMD_HOST_BAUD = 50;
const uint8_t CMD_TO_MONITOR = 255;
const uint8_t ID_CONFIG = 0x20;
const uint8_t ID_STATUS = 0x32;
/// The host speeds the host baud change selects, by index.
const int HOST_RATES[5] = {9600, 19200, 38400, 57600, 115200};
} // namespace simrobot

class SimFirmware {
public:
  using Output = std::function<void(const uint8_t *bytes, size_t length)>;
  using LogSink = std::function<void(const std::string &line)>;

  /// Status packets go out this often when the parameter block's SipCycle
  /// is 0 or above 1000 ms.
  static constexpr int DEFAULT_STATUS_MS = 100;
  /// A packet whose bytes stop for this long is dropped.
  static constexpr int64_t PACKET_GAP_NS = 100 * 1000000LL;
  /// Packets kept for packetLog().
  static constexpr size_t PACKETS_KEPT = 2000;

  /// The memory is read for the identity and the CONFIG values; it is not
  /// owned. silent: hear everything, answer nothing, do nothing. resetBaud:
  /// the CONFIG packet says that the host may change the speed.
  SimFirmware(const SimMemory *memory, int rate, bool silent, bool resetBaud);

  void setOutput(Output output) { myOutput = std::move(output); }
  void setLogSink(LogSink sink) { myLog = std::move(sink); }

  /// The firmware starts (again) at the given host speed: no handshake yet,
  /// no connection open, nothing half received.
  void restart(int rate);
  /// One byte from the host, arrived at nowNs. noise: it came at another
  /// speed than the firmware's; it is counted and breaks any packet under
  /// way.
  void receive(uint8_t byte, bool noise, int64_t nowNs);
  /// Sends the status packet that is due by nowNs, if any (only when
  /// hostListening; one nobody hears is skipped). Returns when the next one
  /// is due, or INT64_MAX when no connection is open.
  int64_t tick(int64_t nowNs, bool hostListening);

  /// The firmware's current host speed in bit/s.
  int rate() const { return myRate; }
  bool connectionOpen() const { return myOpen; }
  /// True once after command 255 was obeyed: the monitor takes the line.
  bool takeHandOver();
  /// Logs a summary of stray or noise bytes collected so far.
  void flushLog();

  const SimRobotStats &stats() const { return myStats; }
  /// The good packets received, oldest first (the most recent PACKETS_KEPT),
  /// each whole as on the wire.
  std::vector<std::vector<uint8_t>> packetLog() const;

  SimFirmware(const SimFirmware &) = delete;
  SimFirmware &operator=(const SimFirmware &) = delete;

private:
  void handlePacket(int64_t nowNs);
  void recordPacket();
  void send(size_t length);
  void sendSyncReply(uint8_t id);
  void sendConfig();
  void sendStatus();
  void openConnection(int64_t nowNs);
  void closeConnection(const char *why);
  void ignore(const char *why);
  void log(const char *format, ...) __attribute__((format(printf, 2, 3)));
  uint16_t word(int offset) const;
  uint8_t byte(int offset) const;
  /// A text field of the parameter block, cut at its first NUL.
  void field(int offset, size_t size, char *out) const;

  const SimMemory *myMemory;
  bool mySilent;
  bool myResetBaud;
  Output myOutput;
  LogSink myLog;
  RobotPacketDecoder myDecoder;
  RobotPacketEncoder myEncoder;
  SimRobotStats myStats;
  int myRate;
  // SYNC packets answered in order: 3 after SYNC0, SYNC1, SYNC2.
  int mySynced = 0;
  bool myOpen = false;
  bool myHandOver = false;
  int64_t myLastByteNs = 0;
  int64_t myNextStatusNs = 0;
  int64_t myStatusPeriodNs = 0;
  long myStatusThisConnection = 0;
  long myPendingStray = 0;
  long myPendingNoise = 0;
  // Ring of the most recent good packets; fixed, so receiving allocates
  // nothing.
  struct Kept {
    uint16_t length;
    std::array<uint8_t, simrobot::MAX_PACKET> bytes;
  };
  std::vector<Kept> myPackets;
  size_t myPacketNext = 0;
  size_t myPacketCount = 0;
};

#endif
