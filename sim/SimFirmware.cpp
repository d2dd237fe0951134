// SPDX-License-Identifier: MIT
// The simulated ORVEX firmware: robot packet protocol, client connection,
// CONFIG and status packets, host speed and the hand-over to the monitor.
#include "SimFirmware.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Where the values the firmware reports lie in the parameter block (16-bit
// values most significant byte first).
namespace at {
const int TYPE = 0, SUBTYPE = 32, SERIAL = 64, NAME = 141;
const size_t TYPE_SIZE = 31, SUBTYPE_SIZE = 31, SERIAL_SIZE = 31, NAME_SIZE = 19;
const int ROT_VEL_TOP = 128, TRANS_VEL_TOP = 130, ROT_ACC_TOP = 132, TRANS_ACC_TOP = 134;
const int TICKS_MM = 136, REV_COUNT = 138, SIP_CYCLE = 174, PWM_MAX = 176;
const int HOST_BAUD = 179, AUX1_BAUD = 180, AUX2_BAUD = 181, AUX3_BAUD = 182;
const int SONAR_CYCLE = 184, SONAR1 = 186, SONAR2 = 202, SONAR3 = 218, SONAR4 = 234;
const int LOW_BATTERY = 250, WATCHDOG = 252, STALL_VAL = 256, STALL_COUNT = 258;
const int HAS_GYRO = 260, CHARGER = 261, GRIPPER = 262, FRONT_BUMPS = 266, REAR_BUMPS = 268;
const int ROT_VEL_MAX = 270, TRANS_VEL_MAX = 272, ROT_ACC = 274, ROT_DECEL = 276;
const int ROT_KP = 278, ROT_KV = 280, ROT_KI = 282, TRANS_ACC = 284, TRANS_DECEL = 286;
const int TRANS_KP = 288, TRANS_KV = 290, TRANS_KI = 292, JOY_VEL = 296, JOY_RVEL = 298;
const int SHUTDOWN_VOLTS = 300, DRIFT_FACTOR = 304;
} // namespace at

uint8_t clampByte(unsigned value) {
  return static_cast<uint8_t>(value > 255 ? 255 : value);
}

} // namespace

SimFirmware::SimFirmware(const SimMemory *memory, int rate, bool silent, bool resetBaud)
    : myMemory(memory), mySilent(silent), myResetBaud(resetBaud), myRate(rate) {
  myPackets.resize(PACKETS_KEPT);
}

void SimFirmware::restart(int rate) {
  myRate = rate;
  mySynced = 0;
  myOpen = false;
  myHandOver = false;
  myDecoder.reset();
}

bool SimFirmware::takeHandOver() {
  bool was = myHandOver;
  myHandOver = false;
  return was;
}

void SimFirmware::log(const char *format, ...) {
  if (!myLog)
    return;
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  myLog(line);
}

void SimFirmware::flushLog() {
  if (myPendingNoise > 0) {
    log("<- %ld byte(s) of noise (host speed differs from the firmware's %d bit/s)", myPendingNoise,
        myRate);
    myPendingNoise = 0;
  }
  if (myPendingStray > 0) {
    log("<- %ld stray byte(s) outside robot packets, ignored", myPendingStray);
    myPendingStray = 0;
  }
}

uint16_t SimFirmware::word(int offset) const {
  uint32_t address = SimMemory::PARAM_ADDRESS + static_cast<uint32_t>(offset);
  return static_cast<uint16_t>((myMemory->at(address) << 8) | myMemory->at(address + 1));
}

uint8_t SimFirmware::byte(int offset) const {
  return myMemory->at(SimMemory::PARAM_ADDRESS + static_cast<uint32_t>(offset));
}

void SimFirmware::field(int offset, size_t size, char *out) const {
  size_t n = 0;
  for (; n < size; n++) {
    char c = static_cast<char>(byte(offset + static_cast<int>(n)));
    if (c == 0)
      break;
    out[n] = c;
  }
  out[n] = 0;
}

void SimFirmware::send(size_t length) {
  if (length > 0 && myOutput)
    myOutput(myEncoder.bytes(), length);
}

void SimFirmware::receive(uint8_t byte, bool noise, int64_t nowNs) {
  if (noise) {
    // A byte at the wrong speed is garbage to the UART and spoils any
    // packet it lands in.
    myStats.noiseReceived++;
    if (myPendingStray > 0)
      flushLog();
    myPendingNoise++;
    myDecoder.reset();
    myLastByteNs = nowNs;
    return;
  }
  if (myPendingNoise > 0)
    flushLog();
  if (myDecoder.inPacket() && nowNs - myLastByteNs > PACKET_GAP_NS) {
    flushLog();
    log("<- robot packet broken off for more than %lld ms, dropped",
        static_cast<long long>(PACKET_GAP_NS / 1000000));
    myDecoder.reset();
  }
  myLastByteNs = nowNs;

  switch (myDecoder.feed(byte)) {
  case RobotPacketDecoder::NONE:
    break;
  case RobotPacketDecoder::STRAY:
    myStats.strayBytes++;
    myPendingStray++;
    break;
  case RobotPacketDecoder::BAD_COUNT:
    flushLog();
    myStats.badChecksums++;
    log("<- robot packet with count %u, dropped", myDecoder.packet()[2]);
    break;
  case RobotPacketDecoder::BAD_CHECKSUM:
    flushLog();
    myStats.badChecksums++;
    log("<- robot packet %u with bad checksum (computed %04x, host sent %04x), dropped",
        myDecoder.id(), myDecoder.computedSum(), myDecoder.receivedSum());
    break;
  case RobotPacketDecoder::PACKET:
    flushLog();
    myStats.packets++;
    recordPacket();
    handlePacket(nowNs);
    break;
  }
}

void SimFirmware::recordPacket() {
  Kept &slot = myPackets[myPacketNext];
  slot.length = static_cast<uint16_t>(myDecoder.packetLength());
  memcpy(slot.bytes.data(), myDecoder.packet(), slot.length);
  myPacketNext = (myPacketNext + 1) % PACKETS_KEPT;
  if (myPacketCount < PACKETS_KEPT)
    myPacketCount++;
}

std::vector<std::vector<uint8_t>> SimFirmware::packetLog() const {
  std::vector<std::vector<uint8_t>> out;
  out.reserve(myPacketCount);
  size_t first = (myPacketNext + PACKETS_KEPT - myPacketCount) % PACKETS_KEPT;
  for (size_t i = 0; i < myPacketCount; i++) {
    const Kept &k = myPackets[(first + i) % PACKETS_KEPT];
    out.emplace_back(k.bytes.begin(), k.bytes.begin() + k.length);
  }
  return out;
}

void SimFirmware::ignore(const char *why) {
  myStats.ignored++;
  log("<- robot packet %u with %zu data byte(s): %s", myDecoder.id(), myDecoder.dataLength(), why);
}

void SimFirmware::handlePacket(int64_t nowNs) {
  const uint8_t id = myDecoder.id();
  const uint8_t *data = myDecoder.data();
  const size_t length = myDecoder.dataLength();
  int argument = 0;
  const bool hasInt = simrobot::intArgument(data, length, argument);

  if (mySilent) {
    log("<- robot packet %u (silent controller: no answer)", id);
    return;
  }

  // SYNC0, SYNC1 and SYNC2 carry no data; OPEN and CLOSE share their
  // numbers with SYNC1 and SYNC2 but carry an integer argument.
  if (length == 0 && id <= simrobot::CMD_SYNC2) {
    if (myOpen) {
      ignore("SYNC while a client connection is open, not answered (the status packets "
             "tell the host)");
      return;
    }
    if (id == simrobot::CMD_SYNC0)
      mySynced = 1;
    else if (mySynced == id)
      mySynced = id + 1;
    else
      mySynced = 0;
    myStats.syncs++;
    sendSyncReply(id);
    return;
  }
  if (id == simrobot::CMD_OPEN && hasInt) {
    if (mySynced < 3) {
      ignore("OPEN before the SYNC exchange, ignored");
      return;
    }
    if (myOpen) {
      ignore("OPEN on an open connection, ignored");
      return;
    }
    openConnection(nowNs);
    return;
  }
  if (id == simrobot::CMD_CLOSE && hasInt) {
    closeConnection("CLOSE");
    return;
  }
  if (mySynced < 3) {
    ignore("before the SYNC exchange, ignored");
    return;
  }
  if (id == simrobot::CMD_CONFIG && hasInt) {
    sendConfig();
    return;
  }
  if (id == simrobot::CMD_HOST_BAUD && hasInt) {
    if (argument < 0 || argument > 4) {
      ignore("host baud change to an index outside 0 to 4, ignored");
      return;
    }
    int old = myRate;
    myRate = simrobot::HOST_RATES[argument];
    myStats.baudChanges++;
    myDecoder.reset();
    log("<- host baud change to index %d: %d bit/s from now on (was %d)", argument, myRate, old);
    return;
  }
  if (id == simrobot::CMD_TO_MONITOR) {
    if (length != 0) {
      ignore("command 255 with an argument, ignored");
      return;
    }
    if (myOpen)
      closeConnection("command 255");
    myStats.handOvers++;
    myHandOver = true;
    mySynced = 0;
    log("<- command 255: the resident monitor takes the line");
    return;
  }
  ignore("no such command here, ignored");
}

void SimFirmware::sendSyncReply(uint8_t id) {
  myEncoder.begin(id);
  if (id == simrobot::CMD_SYNC2) {
    char name[at::NAME_SIZE + 1], type[at::TYPE_SIZE + 1], subtype[at::SUBTYPE_SIZE + 1];
    field(at::NAME, at::NAME_SIZE, name);
    field(at::TYPE, at::TYPE_SIZE, type);
    field(at::SUBTYPE, at::SUBTYPE_SIZE, subtype);
    myEncoder.text(name, at::NAME_SIZE);
    myEncoder.text(type, at::TYPE_SIZE);
    myEncoder.text(subtype, at::SUBTYPE_SIZE);
    send(myEncoder.finish());
    log("<- SYNC2, answered with name \"%s\", type \"%s\", subtype \"%s\"%s", name, type, subtype,
        mySynced == 3 ? ": handshake complete" : " (out of order)");
    return;
  }
  send(myEncoder.finish());
  log("<- SYNC%u, answered%s", id, mySynced == id + 1 ? "" : " (out of order)");
}

void SimFirmware::openConnection(int64_t nowNs) {
  unsigned sip = word(at::SIP_CYCLE);
  int periodMs = (sip == 0 || sip > 1000) ? DEFAULT_STATUS_MS : static_cast<int>(sip);
  myOpen = true;
  myStats.opens++;
  myStatusThisConnection = 0;
  myStatusPeriodNs = static_cast<int64_t>(periodMs) * 1000000;
  myNextStatusNs = nowNs + myStatusPeriodNs;
  log("<- OPEN: client connection open, status packets every %d ms", periodMs);
}

void SimFirmware::closeConnection(const char *why) {
  myStats.closes++;
  if (myOpen)
    log("<- %s: client connection closed after %ld status packet(s)", why, myStatusThisConnection);
  else
    log("<- %s: no connection open; back to waiting for SYNC0", why);
  myOpen = false;
  mySynced = 0;
}

void SimFirmware::sendConfig() {
  char type[at::TYPE_SIZE + 1], subtype[at::SUBTYPE_SIZE + 1], serial[at::SERIAL_SIZE + 1];
  char name[at::NAME_SIZE + 1], sonar[17];
  field(at::TYPE, at::TYPE_SIZE, type);
  field(at::SUBTYPE, at::SUBTYPE_SIZE, subtype);
  field(at::SERIAL, at::SERIAL_SIZE, serial);
  field(at::NAME, at::NAME_SIZE, name);
  auto sonarListed = [&](int offset) {
    field(offset, 16, sonar);
    return sonar[0] != 0;
  };
  bool front = sonarListed(at::SONAR1) || sonarListed(at::SONAR2);
  bool rear = sonarListed(at::SONAR3) || sonarListed(at::SONAR4);

  RobotPacketEncoder &e = myEncoder;
  e.begin(simrobot::ID_CONFIG);
  e.text(type, at::TYPE_SIZE);
  e.text(subtype, at::SUBTYPE_SIZE);
  e.text(serial, at::SERIAL_SIZE);
  e.u8(0); // reserved
  e.u16(word(at::ROT_VEL_TOP));
  e.u16(word(at::TRANS_VEL_TOP));
  e.u16(word(at::ROT_ACC_TOP));
  e.u16(word(at::TRANS_ACC_TOP));
  e.u16(word(at::PWM_MAX));
  e.text(name, at::NAME_SIZE);
  e.u8(clampByte(word(at::SIP_CYCLE)));
  e.u8(byte(at::HOST_BAUD));
  e.u8(byte(at::AUX1_BAUD));
  e.u16(byte(at::GRIPPER));
  e.u16(front ? 1 : 0);
  e.u8(rear ? 1 : 0);
  e.u16(word(at::LOW_BATTERY));
  e.u16(word(at::REV_COUNT));
  e.u16(word(at::WATCHDOG));
  e.u8(0); // NormalMotorPackets: the firmware sends status packets only
  e.u16(word(at::STALL_VAL));
  e.u16(word(at::STALL_COUNT));
  e.u16(word(at::JOY_VEL));
  e.u16(word(at::JOY_RVEL));
  e.u16(word(at::ROT_VEL_MAX));
  e.u16(word(at::TRANS_VEL_MAX));
  e.u16(word(at::ROT_ACC));
  e.u16(word(at::ROT_DECEL));
  e.u16(word(at::ROT_KP));
  e.u16(word(at::ROT_KV));
  e.u16(word(at::ROT_KI));
  e.u16(word(at::TRANS_ACC));
  e.u16(word(at::TRANS_DECEL));
  e.u16(word(at::TRANS_KP));
  e.u16(word(at::TRANS_KV));
  e.u16(word(at::TRANS_KI));
  e.u8(clampByte(word(at::FRONT_BUMPS)));
  e.u8(clampByte(word(at::REAR_BUMPS)));
  e.u8(byte(at::CHARGER));
  e.u8(clampByte(word(at::SONAR_CYCLE)));
  e.u8(myResetBaud ? 2 : 0);
  e.u8(byte(at::HAS_GYRO));
  e.u16(word(at::DRIFT_FACTOR));
  e.u8(byte(at::AUX2_BAUD));
  e.u8(byte(at::AUX3_BAUD));
  e.u16(word(at::TICKS_MM));
  e.u16(word(at::SHUTDOWN_VOLTS));
  size_t length = e.finish();
  send(length);
  myStats.configs++;
  log("<- CONFIG request, answered with a CONFIG packet of %zu bytes (ResetBaud %d)", length,
      myResetBaud ? 2 : 0);
}

void SimFirmware::sendStatus() {
  // A robot standing still: position and heading 0, wheels at rest, the
  // battery at 13.0 V, no stall or bumper bits, motors off, no sonar.
  RobotPacketEncoder &e = myEncoder;
  e.begin(simrobot::ID_STATUS);
  e.u16(0);  // x
  e.u16(0);  // y
  e.u16(0);  // heading
  e.u16(0);  // left wheel velocity
  e.u16(0);  // right wheel velocity
  e.u8(130); // battery, tenths of a volt
  e.u16(0);  // stall and bumper bits
  e.u16(0);  // control (heading setpoint)
  e.u16(0);  // flags: motors off
  e.u8(0);   // compass
  e.u8(0);   // sonar readings that follow
  send(e.finish());
  myStats.statusSent++;
  myStatusThisConnection++;
  if (myStatusThisConnection == 1)
    log("-> first status packet of this connection (more follow silently)");
}

int64_t SimFirmware::tick(int64_t nowNs, bool hostListening) {
  if (!myOpen || mySilent)
    return INT64_MAX;
  if (nowNs >= myNextStatusNs) {
    if (hostListening)
      sendStatus();
    // Cycles missed while the thread slept are not made up.
    myNextStatusNs += myStatusPeriodNs;
    if (myNextStatusNs <= nowNs)
      myNextStatusNs = nowNs + myStatusPeriodNs;
  }
  return myNextStatusNs;
}
