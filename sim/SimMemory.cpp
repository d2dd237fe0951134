// SPDX-License-Identifier: MIT
// The simulated controller's FLASH memory, its blocks and its state file.
#include "SimMemory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const SimMemory::Block BLOCKS[SimMemory::BLOCK_COUNT] = {
    {0x0000, 0x1000}, {0x1000, 0x1000},   {0x2000, 0x1000},   {0x3000, 0x1000},
    {0x4000, 0x1000}, {0x5000, 0x1000},   {0x6000, 0x1000},   {0x7000, 0x1000},
    {0x8000, 0x8000}, {0x10000, 0x10000}, {0x20000, 0x10000}, {0x30000, 0x10000}};

// Where a fresh controller's firmware ends; the rest of the memory is erased.
const uint32_t FRESH_FIRMWARE_END = 0x1c000;

void putText(uint8_t *block, int offset, const char *text) {
  memcpy(block + offset, text, strlen(text));
}
void putWord(uint8_t *block, int offset, int value) {
  block[offset] = static_cast<uint8_t>((value >> 8) & 0xff);
  block[offset + 1] = static_cast<uint8_t>(value & 0xff);
}

std::string errnoText(const char *what, const std::string &path) {
  return std::string(what) + " '" + path + "': " + strerror(errno);
}

} // namespace

SimMemory::Block SimMemory::block(int n) {
  if (n < 0 || n >= BLOCK_COUNT)
    return {0, 0};
  return BLOCKS[n];
}

int SimMemory::blockOf(uint32_t address) {
  for (int n = 0; n < BLOCK_COUNT; n++)
    if (address >= BLOCKS[n].start && address - BLOCKS[n].start < BLOCKS[n].size)
      return n;
  return -1;
}

SimMemory::SimMemory() : myBytes(SIZE, 0xff) {
  resetToFresh();
}

void SimMemory::resetToFresh() {
  // Firmware-like bytes: a fixed pseudo-random sequence, so that erasing or
  // reprogramming a block visibly changes it.
  uint32_t state = 0x2545f491u;
  for (uint32_t a = 0; a < SIZE; a++) {
    if (a < FRESH_FIRMWARE_END) {
      state = state * 1664525u + 1013904223u;
      myBytes[a] = static_cast<uint8_t>(state >> 24);
    } else {
      myBytes[a] = 0xff;
    }
  }
  std::array<uint8_t, PARAM_SIZE> params = freshParameterBlock();
  memcpy(&myBytes[PARAM_ADDRESS], params.data(), PARAM_SIZE);
}

bool SimMemory::erase(int n) {
  if (n < 0 || n >= BLOCK_COUNT)
    return false;
  memset(&myBytes[BLOCKS[n].start], 0xff, BLOCKS[n].size);
  return true;
}

SimMemory::WriteResult SimMemory::write(uint32_t address, const uint8_t *data, size_t length) {
  if (address > SIZE || length > SIZE - address)
    return WRITE_OUT_OF_RANGE;
  bool verified = true;
  for (size_t i = 0; i < length; i++) {
    uint8_t &cell = myBytes[address + i];
    cell = static_cast<uint8_t>(cell & data[i]);
    if (cell != data[i])
      verified = false;
  }
  return verified ? WRITE_OK : WRITE_NOT_ERASED;
}

bool SimMemory::read(uint32_t address, uint8_t *out, size_t length) const {
  if (address > SIZE || length > SIZE - address)
    return false;
  if (length > 0)
    memcpy(out, &myBytes[address], length);
  return true;
}

std::array<uint8_t, SimMemory::PARAM_SIZE> SimMemory::block7() const {
  std::array<uint8_t, PARAM_SIZE> out;
  memcpy(out.data(), &myBytes[PARAM_ADDRESS], PARAM_SIZE);
  return out;
}

bool SimMemory::loadFile(const std::string &path, std::string *error) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    if (error)
      *error = errnoText("Cannot open state file", path);
    return false;
  }
  std::vector<uint8_t> buffer(SIZE + 1);
  size_t got = fread(buffer.data(), 1, buffer.size(), f);
  bool readError = ferror(f) != 0;
  fclose(f);
  if (readError) {
    if (error)
      *error = errnoText("Cannot read state file", path);
    return false;
  }
  if (got != SIZE) {
    if (error)
      *error = "State file '" + path + "' holds " + std::to_string(got) +
               (got > SIZE ? " or more" : "") + " bytes, not the " + std::to_string(SIZE) +
               " of a controller memory; remove it or name another file";
    return false;
  }
  buffer.resize(SIZE);
  myBytes.swap(buffer);
  return true;
}

bool SimMemory::saveFile(const std::string &path, std::string *error) const {
  std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error)
      *error = errnoText("Cannot create state file", temp);
    return false;
  }
  size_t done = 0;
  while (done < SIZE) {
    ssize_t n = ::write(fd, &myBytes[done], SIZE - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      if (error)
        *error = errnoText("Cannot write state file", temp);
      ::close(fd);
      unlink(temp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    if (error)
      *error = errnoText("Cannot store state file", path);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

std::array<uint8_t, SimMemory::PARAM_SIZE> SimMemory::freshParameterBlock() {
  std::array<uint8_t, PARAM_SIZE> b;
  b.fill(0);
  uint8_t *p = b.data();

  // Identity texts, zero-filled.
  putText(p, 0, "Marlock");
  putText(p, 32, "marlock-sim");
  putText(p, 64, "SIM-2024-0042");
  putText(p, 141, "simbot");

  // Drive limits and encoder.
  putWord(p, 128, 360);        // RotVelTop
  putWord(p, 130, 2200);       // TransVelTop
  putWord(p, 132, 300);        // RotAccTop
  putWord(p, 134, 2000);       // TransAccTop
  putWord(p, 136, 128);        // Ticks/mm
  putWord(p, 138, 16570);      // RevCount
  p[140] = 0;                  // BattConv: 12 V
  putWord(p, 174, 100);        // SipCycle
  putWord(p, 176, 500);        // PwmMax
  p[179] = 0;                  // HostBaud 9600
  p[180] = 0;                  // AuxBaud1
  p[181] = 0;                  // AuxBaud2
  p[182] = 0;                  // AuxBaud3
  putWord(p, 184, 40);         // SonarCycle
  putText(p, 186, "12345678"); // Sonar1
  putText(p, 202, "9ABCDEFG"); // Sonar2
  putWord(p, 250, 115);        // LowBattery, 11.5 V
  putWord(p, 252, 5000);       // WatchDog
  p[254] = 1;                  // SoundTog
  putWord(p, 256, 200);        // StallVal
  putWord(p, 258, 20);         // StallCount
  p[260] = 2;                  // HasGyro: firmware-integrated
  p[261] = 0;                  // Charger
  p[262] = 1;                  // Gripper
  p[263] = 0;                  // Tcm2
  p[264] = 0;                  // BumpStall
  putWord(p, 266, 5);          // FrontBumps
  putWord(p, 268, 5);          // RearBumps
  putWord(p, 270, 240);        // RotVelMax
  putWord(p, 272, 1200);       // transVelMax
  putWord(p, 274, 100);        // RotAcc
  putWord(p, 276, 100);        // RotDecel
  putWord(p, 278, 40);         // RotKp
  putWord(p, 280, 20);         // RotKv
  putWord(p, 282, 0);          // RotKi
  putWord(p, 284, 300);        // TransAcc
  putWord(p, 286, 300);        // TransDecel
  putWord(p, 288, 40);         // TransKp
  putWord(p, 290, 30);         // TransKv
  putWord(p, 292, 0);          // TransKi
  p[294] = 0;                  // Joystick
  putWord(p, 296, 400);        // JoyVelMax
  putWord(p, 298, 40);         // JoyRVelMax
  putWord(p, 300, 105);        // ShutdownVolts
  p[302] = 0;                  // InvertBumps
  p[303] = 0;                  // HasBrakes
  putWord(p, 304, 0xfff6);     // DriftFactor -10

  // Arm.
  p[306] = 0;         // armport
  putWord(p, 308, 6); // numjoints
  for (int j = 0; j < 6; j++) {
    p[311 + j] = static_cast<uint8_t>(120 + j); // Home
    p[318 + j] = 40;                            // Speed
    p[325 + j] = 240;                           // Max
    p[332 + j] = 10;                            // Min
    p[339 + j] = 128;                           // Center
    p[346 + j] = static_cast<uint8_t>(70 + j);  // TicksPer90Deg
  }
  putWord(p, 352, 300); // AutoPark
  putWord(p, 354, 60);  // GripperPark
  p[356] = 0;           // LCD
  putWord(p, 358, 512); // ChargeThreshold

  // Power ports.
  p[362] = 4;             // MotionLampPort
  p[363] = 5;             // FaultLampPort
  p[364] = 1;             // PCPower
  p[365] = 6;             // LRFPort
  p[366] = 1;             // LRFPower
  p[367] = 0;             // Aux5VPort
  p[368] = 0;             // Aux5V
  p[369] = 7;             // Aux12VPort
  p[370] = 4;             // Aux12V
  p[371] = 11;            // Aux24VPort
  p[372] = 0;             // Aux24V
  p[373] = 0;             // JoySafe
  putWord(p, 374, 1055);  // gyroCW
  putWord(p, 376, 1049);  // GyroCCW
  putWord(p, 378, 500);   // FreeSpace
  p[380] = 0;             // PDBPort
  p[382] = 0;             // BattLampPort
  putWord(p, 384, 15);    // GyroRateLimit
  putText(p, 386, "123"); // frontIRs
  putText(p, 394, "45");  // rearIRs
  p[402] = 0;             // InvertIRs
  p[403] = 60;            // TempThreshold
  p[404] = 0;             // GyroRange
  p[405] = 8;             // AuxPCPort
  p[406] = 0;             // AuxPCPower
  p[407] = 9;             // ScreenPort
  p[408] = 1;             // ScreenPower
  p[409] = 10;            // PTZPort
  p[410] = 4;             // PTZPower
  p[411] = 12;            // AudioPort
  p[412] = 4;             // AudioPower
  p[413] = 0;             // LRF2Port
  p[414] = 0;             // LRF2Power
  p[420] = 0;             // IMUCal
  p[421] = 1;             // uiChange

  // Reserved bytes hold factory data that no tool may change.
  static const int reserved[][2] = {
      {31, 31},   {63, 63},   {95, 127},  {160, 173}, {178, 178}, {183, 183}, {255, 255},
      {265, 265}, {295, 295}, {307, 307}, {310, 310}, {317, 317}, {324, 324}, {331, 331},
      {338, 338}, {345, 345}, {357, 357}, {360, 361}, {381, 381}, {383, 383}, {415, 419}};
  for (const auto &range : reserved)
    for (int i = range[0]; i <= range[1]; i++)
      p[i] = static_cast<uint8_t>(0xa0 + (i % 23));

  // The rest of the block: calibration tables of the firmware, every byte
  // value represented.
  for (uint32_t i = 422; i < PARAM_SIZE; i++)
    p[i] = static_cast<uint8_t>((i * 37u + (i >> 8) * 11u + 5u) & 0xff);
  return b;
}
