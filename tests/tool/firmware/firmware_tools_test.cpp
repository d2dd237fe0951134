// SPDX-License-Identifier: MIT
// S-record files written by other tools (objcopy from binutils, srec_cat
// from srecord) load to exactly the bytes of the binary they were made from.
#include "FirmwareFiles.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "LogCapture.h"
#include "ProcessRunner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> randomBytes(size_t size, unsigned int seed) {
  std::mt19937 generator(seed);
  std::vector<unsigned char> out(size);
  for (auto &b : out)
    b = static_cast<unsigned char>(generator());
  return out;
}

struct ToolCase {
  const char *name;
  const char *tool;
  const char *package;
  unsigned long offset;
  size_t size;
  /// Command making out from in, the binary placed at offset.
  std::vector<std::string> (*command)(const std::string &in, const std::string &out,
                                      unsigned long offset);
};

std::string hex(unsigned long value) {
  char text[32];
  snprintf(text, sizeof(text), "0x%lx", value);
  return text;
}

std::vector<std::string> objcopy(const std::string &in, const std::string &out,
                                 unsigned long offset) {
  return {"objcopy", "-I", "binary", "-O", "srec", "--change-addresses", hex(offset), in, out};
}
std::vector<std::string> objcopyS3Long(const std::string &in, const std::string &out,
                                       unsigned long offset) {
  return {"objcopy",
          "-I",
          "binary",
          "-O",
          "srec",
          "--srec-forceS3",
          "--srec-len=100",
          "--change-addresses",
          hex(offset),
          in,
          out};
}
std::vector<std::string> srecCat(const std::string &in, const std::string &out,
                                 unsigned long offset) {
  return {"srec_cat", in, "-binary", "-offset", hex(offset), "-o", out, "-motorola"};
}
std::vector<std::string> srecCatS1(const std::string &in, const std::string &out,
                                   unsigned long offset) {
  return {"srec_cat", in,  "-binary",   "-offset",          hex(offset),
          "-o",       out, "-motorola", "-address-length=2"};
}
std::vector<std::string> srecCatS3Wide(const std::string &in, const std::string &out,
                                       unsigned long offset) {
  return {"srec_cat", in,  "-binary",   "-offset",           hex(offset),
          "-o",       out, "-motorola", "-address-length=4", "-Output_Block_Size=120"};
}
std::vector<std::string> srecCatCrlfNarrow(const std::string &in, const std::string &out,
                                           unsigned long offset) {
  return {"srec_cat", in,  "-binary",   "-offset", hex(offset),
          "-o",       out, "-motorola", "-crlf",   "-Output_Block_Size=7"};
}

void PrintTo(const ToolCase &c, std::ostream *out) {
  *out << c.name;
}

class ToolFiles : public testing::TestWithParam<ToolCase> {};

TEST_P(ToolFiles, LoadToTheBytesOfTheirBinary) {
  const ToolCase &c = GetParam();
  REQUIRE_TOOL(c.tool, c.package);
  records::TempDir dir;
  auto data = randomBytes(c.size, static_cast<unsigned int>(c.offset + c.size));
  std::string binary = dir.write("in.bin", std::string(data.begin(), data.end()));
  std::string mot = dir.file("out.mot");
  ASSERT_EQ(runOnPath(c.command(binary, mot, c.offset)), 0) << c.tool << " failed";

  LogCapture log(ZyLog::Verbose);
  FirmwareImage image;
  ASSERT_TRUE(loadFirmwareFile(mot.c_str(), NO_BASE_ADDRESS, image)) << log.text();
  EXPECT_FALSE(log.contains("goes beyond")) << log.text();

  const unsigned char *memory = image.memory();
  unsigned long end = c.offset + c.size;
  size_t differences = 0;
  for (unsigned long a = 0; a < FirmwareImage::MEMORY_SIZE; a++) {
    unsigned char expected = a >= c.offset && a < end ? data[a - c.offset] : 0xFF;
    if (memory[a] != expected && differences++ < 5)
      ADD_FAILURE() << "byte at " << hex(a) << " is " << int(memory[a]) << ", expected "
                    << int(expected);
  }
  EXPECT_EQ(differences, 0u);

  for (int i = 0; i < FirmwareImage::NUM_BLOCKS; i++) {
    const FlashBlock &block = image.block(i);
    unsigned long blockEnd = block.start + block.size;
    bool overlaps = c.offset < blockEnd && end > block.start;
    EXPECT_EQ(block.touched, overlaps) << "block " << i;
    EXPECT_EQ(block.highest, overlaps ? std::min(end, blockEnd) : block.start) << "block " << i;
  }
}

const ToolCase kCases[] = {
    {"ObjcopyS1", "objcopy", "binutils", 0x8000, 0x6000, objcopy},
    {"ObjcopyS2UpToTopOfMemory", "objcopy", "binutils", 0x20000, 0x20000, objcopy},
    {"ObjcopyS3LongRecordsOverParameterBlock", "objcopy", "binutils", 0x100, 0x9f00, objcopyS3Long},
    {"SrecCatDefault", "srec_cat", "srecord", 0x10000, 0x9000, srecCat},
    {"SrecCatS1", "srec_cat", "srecord", 0x1000, 0x3000, srecCatS1},
    {"SrecCatS3WideUpToTop", "srec_cat", "srecord", 0x30000, 0x10000, srecCatS3Wide},
    {"SrecCatCrlfOddRecordSizes", "srec_cat", "srecord", 0x1234, 0x4321, srecCatCrlfNarrow},
    {"SrecCatAlmostAllMemory", "srec_cat", "srecord", 0x10, 0x40000 - 0x10, srecCat},
};

INSTANTIATE_TEST_SUITE_P(Tools, ToolFiles, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ToolCase> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
