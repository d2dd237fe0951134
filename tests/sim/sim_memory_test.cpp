// SPDX-License-Identifier: MIT
// Tests of the simulated controller's FLASH memory: blocks, erase, the
// write-clears-bits rule, the fresh parameter block and the state file.
#include "SimMemory.h"
#include "TempFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <unistd.h>

namespace {

int word(const std::array<uint8_t, SimMemory::PARAM_SIZE> &b, int offset) {
  return (b[offset] << 8) | b[offset + 1];
}
int signedWord(const std::array<uint8_t, SimMemory::PARAM_SIZE> &b, int offset) {
  int v = word(b, offset);
  return v >= 0x8000 ? v - 0x10000 : v;
}
std::string text(const std::array<uint8_t, SimMemory::PARAM_SIZE> &b, int offset, int size) {
  std::string out;
  for (int i = 0; i < size && b[offset + i] != 0; i++)
    out += static_cast<char>(b[offset + i]);
  return out;
}

} // namespace

TEST(SimMemoryTest, BlocksCoverTheMemoryAsTheControllerDoes) {
  for (int n = 0; n <= 7; n++) {
    EXPECT_EQ(static_cast<uint32_t>(n) * 0x1000, SimMemory::block(n).start);
    EXPECT_EQ(0x1000u, SimMemory::block(n).size);
  }
  EXPECT_EQ(0x8000u, SimMemory::block(8).start);
  EXPECT_EQ(0x8000u, SimMemory::block(8).size);
  for (int n = 9; n <= 11; n++) {
    EXPECT_EQ(0x10000u * static_cast<uint32_t>(n - 8), SimMemory::block(n).start);
    EXPECT_EQ(0x10000u, SimMemory::block(n).size);
  }
  EXPECT_EQ(0u, SimMemory::block(12).size);
  EXPECT_EQ(0u, SimMemory::block(-1).size);

  EXPECT_EQ(6, SimMemory::blockOf(0x6fff));
  EXPECT_EQ(7, SimMemory::blockOf(0x7000));
  EXPECT_EQ(7, SimMemory::blockOf(0x7fff));
  EXPECT_EQ(8, SimMemory::blockOf(0x8000));
  EXPECT_EQ(8, SimMemory::blockOf(0xffff));
  EXPECT_EQ(9, SimMemory::blockOf(0x10000));
  EXPECT_EQ(11, SimMemory::blockOf(0x3ffff));
  EXPECT_EQ(-1, SimMemory::blockOf(0x40000));
}

TEST(SimMemoryTest, EraseSetsOnlyThatBlockToFF) {
  SimMemory m;
  uint8_t before6 = m.at(0x6fff), before8 = m.at(0x8000);
  ASSERT_NE(0xff, m.at(0x7000)); // the fresh block holds parameters
  EXPECT_TRUE(m.erase(7));
  for (uint32_t a = 0x7000; a < 0x8000; a++)
    ASSERT_EQ(0xff, m.at(a)) << std::hex << a;
  EXPECT_EQ(before6, m.at(0x6fff));
  EXPECT_EQ(before8, m.at(0x8000));

  EXPECT_TRUE(m.erase(9));
  for (uint32_t a = 0x10000; a < 0x20000; a++)
    ASSERT_EQ(0xff, m.at(a)) << std::hex << a;
  EXPECT_FALSE(m.erase(12));
  EXPECT_FALSE(m.erase(-1));
}

TEST(SimMemoryTest, WriteOnlyClearsBits) {
  SimMemory m;
  ASSERT_TRUE(m.erase(0));
  const uint8_t first[] = {0xf0, 0x3c, 0xff};
  EXPECT_EQ(SimMemory::WRITE_OK, m.write(0x10, first, 3));
  EXPECT_EQ(0xf0, m.at(0x10));
  EXPECT_EQ(0x3c, m.at(0x11));
  EXPECT_EQ(0xff, m.at(0x12));

  // Writing over programmed bytes cannot set bits again.
  const uint8_t second[] = {0x0f, 0x3c, 0x81};
  EXPECT_EQ(SimMemory::WRITE_NOT_ERASED, m.write(0x10, second, 3));
  EXPECT_EQ(0x00, m.at(0x10));
  EXPECT_EQ(0x3c, m.at(0x11));
  EXPECT_EQ(0x81, m.at(0x12));

  // Writing a subset of the bits that are still set verifies.
  const uint8_t third[] = {0x00, 0x0c, 0x01};
  EXPECT_EQ(SimMemory::WRITE_OK, m.write(0x10, third, 3));
}

TEST(SimMemoryTest, WritesAndReadsOutsideTheMemoryChangeNothing) {
  SimMemory m;
  const uint8_t data[] = {0, 0};
  uint8_t last = m.at(0x3ffff);
  EXPECT_EQ(SimMemory::WRITE_OUT_OF_RANGE, m.write(0x3ffff, data, 2));
  EXPECT_EQ(last, m.at(0x3ffff));
  EXPECT_EQ(SimMemory::WRITE_OUT_OF_RANGE, m.write(0xffffffffu, data, 2));
  EXPECT_EQ(SimMemory::WRITE_OK, m.write(0x3ffff, data, 1));
  EXPECT_EQ(0, m.at(0x3ffff));
  uint8_t out[2];
  EXPECT_FALSE(m.read(0x3ffff, out, 2));
  EXPECT_TRUE(m.read(0x3fffe, out, 2));
}

TEST(SimMemoryTest, FreshParameterBlockIsValid) {
  std::array<uint8_t, SimMemory::PARAM_SIZE> b = SimMemory::freshParameterBlock();
  SimMemory m;
  EXPECT_EQ(b, m.block7());

  EXPECT_EQ("Marlock", text(b, 0, 31));
  EXPECT_FALSE(text(b, 32, 31).empty());
  EXPECT_FALSE(text(b, 64, 31).empty());
  EXPECT_FALSE(text(b, 141, 19).empty());
  EXPECT_LT(text(b, 141, 19).size(), 19u);

  // 16-bit values stand most significant byte first.
  EXPECT_EQ(0, b[174]);
  EXPECT_EQ(100, b[175]); // SipCycle 100 ms
  EXPECT_EQ(-10, signedWord(b, 304));

  // Values within the ranges the tool enforces.
  struct Range {
    int offset;
    bool wide;
    int low, high;
  } ranges[] = {
      {136, true, 0, 200},  {140, false, 0, 1},   {300, true, 0, 360},  {179, false, 0, 4},
      {180, false, 0, 4},   {181, false, 0, 4},   {182, false, 0, 4},   {174, true, 1, 1000},
      {254, false, 0, 1},   {184, true, 1, 255},  {260, false, 0, 4},   {374, true, 1, 2000},
      {376, true, 1, 2000}, {384, true, 0, 1000}, {404, false, 0, 3},   {420, false, 0, 1},
      {303, false, 0, 1},   {261, false, 0, 4},   {358, true, 0, 1023}, {262, false, 0, 2},
      {263, false, 0, 3},   {356, false, 0, 3},   {421, false, 0, 1},   {302, false, 0, 3},
      {264, false, 0, 3},   {402, false, 0, 3},   {284, true, 0, 4000}, {286, true, 0, 4000},
      {294, false, 0, 1},   {373, false, 0, 1},   {296, true, 0, 2200}, {298, true, 0, 360},
      {306, false, 0, 3},   {403, false, 0, 127}, {380, false, 0, 3},   {362, false, 0, 14},
      {363, false, 0, 14},  {382, false, 0, 14},  {364, false, 0, 1},   {405, false, 0, 14},
      {406, false, 0, 1},   {365, false, 0, 14},  {366, false, 0, 4},   {407, false, 0, 14},
      {408, false, 0, 1},   {409, false, 0, 14},  {410, false, 0, 4},   {413, false, 0, 14},
      {414, false, 0, 4},   {411, false, 0, 14},  {412, false, 0, 4},   {367, false, 0, 6},
      {368, false, 0, 4},   {369, false, 0, 10},  {370, false, 0, 4},   {371, false, 0, 14},
      {372, false, 0, 4}};
  for (const Range &r : ranges) {
    int v = r.wide ? word(b, r.offset) : b[r.offset];
    EXPECT_GE(v, r.low) << "offset " << r.offset;
    EXPECT_LE(v, r.high) << "offset " << r.offset;
  }
  // Sonar ping orders are texts of digits.
  EXPECT_EQ("12345678", text(b, 186, 16));

  // The bytes after the parameters carry varied data, so a tool that does
  // not write them back exactly is caught.
  std::set<uint8_t> tail(b.begin() + 422, b.end());
  EXPECT_EQ(256u, tail.size());
  EXPECT_NE(0, b[95]); // a reserved byte, not zero either
}

TEST(SimMemoryTest, FreshFirmwareAreaIsNotErased) {
  SimMemory m;
  int erased = 0;
  for (uint32_t a = 0; a < 0x1000; a++)
    erased += m.at(a) == 0xff;
  EXPECT_LT(erased, 64);
  EXPECT_EQ(0xff, m.at(0x3ffff));
}

TEST(SimMemoryTest, StateFileKeepsTheMemory) {
  std::string path = tempPath("sim_state");
  SimMemory a;
  ASSERT_TRUE(a.erase(7));
  const uint8_t data[] = {1, 2, 3};
  ASSERT_EQ(SimMemory::WRITE_OK, a.write(0x7000, data, 3));
  std::string error;
  ASSERT_TRUE(a.saveFile(path, &error)) << error;

  SimMemory b;
  ASSERT_TRUE(b.loadFile(path, &error)) << error;
  EXPECT_EQ(0, memcmp(a.bytes(), b.bytes(), SimMemory::SIZE));
  EXPECT_FALSE(access((path + ".tmp").c_str(), F_OK) == 0);
  unlink(path.c_str());
}

TEST(SimMemoryTest, StateFileOfTheWrongSizeIsRefused) {
  std::string path = tempPath("sim_state_short");
  {
    std::ofstream f(path);
    f << "not a memory";
  }
  SimMemory m;
  std::array<uint8_t, SimMemory::PARAM_SIZE> before = m.block7();
  std::string error;
  EXPECT_FALSE(m.loadFile(path, &error));
  EXPECT_NE(std::string::npos, error.find("holds 12 bytes")) << error;
  EXPECT_NE(std::string::npos, error.find(path)) << error;
  EXPECT_EQ(before, m.block7());
  unlink(path.c_str());

  EXPECT_FALSE(m.loadFile(path, &error));
  EXPECT_NE(std::string::npos, error.find("Cannot open state file")) << error;
  EXPECT_FALSE(m.saveFile("/nonexistent-dir/state", &error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent-dir/state")) << error;
}
