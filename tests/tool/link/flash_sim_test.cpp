// The FLASH parameter block transfer and the identity check against the
// controller simulator, which models FLASH itself (a write only clears
// bits, so the block must really have been erased and written whole).
#include "FlashImage.h"
#include "FlashTransfer.h"
#include "LogCapture.h"
#include "MonitorLink.h"
#include "SimPty.h"
#include "ZySerialConnection.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class FlashSimTest : public testing::Test {
protected:
  void start(const SimOptions &options = SimOptions()) {
    session.reset(new SimSession(options));
    ASSERT_TRUE(session->ok()) << session->error();
    port.setBaud(115200);
    ASSERT_EQ(port.open(session->slavePath().c_str()), 0);
  }
  void TearDown() override {
    port.close();
    session.reset();
  }

  std::unique_ptr<SimSession> session;
  ZySerialConnection port;
  MonitorLink link{&port};
  LogCapture log;
};

unsigned short hostWord(int offset) {
  unsigned short value;
  memcpy(&value, flashImage + offset, sizeof value);
  return value;
}

void setHostWord(int offset, unsigned short value) {
  memcpy(flashImage + offset, &value, sizeof value);
}

} // namespace

TEST_F(FlashSimTest, ReadChangeAndWriteBack) {
  SimOptions options;
  options.faults.noiseBytes = 3; // stray bytes before every reply
  start(options);
  auto before = session->controller().block7();

  ASSERT_TRUE(readFlashParameters(&link)) << log.text();
  EXPECT_EQ(hostWord(136), (before[136] << 8) | before[137]); // Ticks/mm
  EXPECT_EQ(memcmp(flashImage + 141, before.data() + 141, 19), 0);
  EXPECT_FALSE(imageChanged());

  setHostWord(136, 0x00c7);
  setHostWord(304, 0xfffe); // DriftFactor, -2
  memset(flashImage + 141, 0, 19);
  memcpy(flashImage + 141, "Tester", 6);

  testing::internal::CaptureStdout();
  bool written = writeFlashParameters(&link);
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(written) << log.text();
  EXPECT_FALSE(imageChanged());

  auto after = session->controller().block7();
  auto expected = before;
  expected[136] = 0x00;
  expected[137] = 0xc7;
  expected[304] = 0xff;
  expected[305] = 0xfe;
  memset(expected.data() + 141, 0, 19);
  memcpy(expected.data() + 141, "Tester", 6);
  for (size_t i = 0; i < expected.size(); i++)
    ASSERT_EQ(after[i], expected[i]) << "byte " << i;
  EXPECT_EQ(session->controller().stats().erases, 1);
  EXPECT_EQ(session->controller().stats().writes, 32);
}

TEST_F(FlashSimTest, CorruptedBlockReplyIsRefused) {
  SimOptions options;
  options.faults.badChecksum.parse("m7000:1");
  start(options);
  memset(flashImage, 0x33, FLASH_IMAGE_SIZE);
  memset(referenceImage, 0x44, FLASH_IMAGE_SIZE);
  EXPECT_FALSE(readFlashParameters(&link));
  EXPECT_TRUE(log.hasLine("Could not read FLASH parameters from controller."));
  for (int i = 0; i < FLASH_IMAGE_SIZE; i++) {
    ASSERT_EQ(flashImage[i], 0x33);
    ASSERT_EQ(referenceImage[i], 0x44);
  }

  // The next, intact reply is taken; by then the simulator has seen the "-".
  EXPECT_TRUE(readFlashParameters(&link));
  EXPECT_EQ(session->controller().stats().replyNaks, 1);
}

TEST_F(FlashSimTest, RefusedPieceLeavesTheImage) {
  SimOptions options;
  options.faults.refuse.parse("FW:5");
  start(options);
  ASSERT_TRUE(readFlashParameters(&link));
  setHostWord(278, 0x4321);
  unsigned char image[FLASH_IMAGE_SIZE], reference[FLASH_IMAGE_SIZE];
  memcpy(image, flashImage, sizeof image);
  memcpy(reference, referenceImage, sizeof reference);

  testing::internal::CaptureStdout();
  EXPECT_FALSE(writeFlashParameters(&link));
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(log.hasLine("Binary packet didn't write 0x80 bytes to 0x7200: ER2")) << log.text();
  EXPECT_TRUE(log.hasLine("Could not write to the controller."));
  EXPECT_EQ(memcmp(flashImage, image, sizeof image), 0);
  EXPECT_EQ(memcmp(referenceImage, reference, sizeof reference), 0);
  EXPECT_TRUE(imageChanged());
}

TEST_F(FlashSimTest, IdentityOfTheSimulatedController) {
  SimOptions options;
  options.identity.firmwareMinor = '9';
  start(options);
  EXPECT_EQ(checkFirmwareIdentity(&link), 1);
}
