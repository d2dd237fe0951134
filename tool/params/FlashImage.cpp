// SPDX-License-Identifier: MIT
// The FLASH image and its reference copy, and the operations that convert
// 16-bit values between host and block order, move bufferedText values
// between the image and their text buffers, detect edits, and move a whole
// parameter block into the image and back.
#include "FlashImage.h"

#include "ParamBlock.h"

#include <cstring>

// Aligned so that the 16-bit values, which all sit at even offsets, can be
// bound to 16-bit variables of the configuration registry.
alignas(4) unsigned char flashImage[FLASH_IMAGE_SIZE];
alignas(4) unsigned char referenceImage[FLASH_IMAGE_SIZE];

namespace {

bool isWord(ParamKind kind) {
  return kind == ParamKind::int16 || kind == ParamKind::uint16;
}

} // namespace

void swapWordOrder(ParamEntry *table) {
  // The block holds the most significant byte first. Building the value from
  // bytes and writing it back in host order works on either host byte order
  // and is its own inverse on a little-endian host; on a big-endian host the
  // two orders coincide and nothing moves.
  for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry) {
    if (!isWord(entry->kind))
      continue;
    unsigned char *bytes = entry->value;
    unsigned short fromBlock = static_cast<unsigned short>((bytes[0] << 8) | bytes[1]);
    std::memcpy(bytes, &fromBlock, sizeof fromBlock);
  }
}

void loadTextBuffers(ParamEntry *table) {
  for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry) {
    if (entry->kind != ParamKind::bufferedText || entry->textBuffer == nullptr)
      continue;
    std::memcpy(entry->textBuffer, entry->value, entry->size);
    entry->textBuffer[entry->size] = '\0';
  }
}

void storeTextBuffers(ParamEntry *table) {
  for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry) {
    if (entry->kind != ParamKind::bufferedText || entry->textBuffer == nullptr)
      continue;
    std::memcpy(entry->value, entry->textBuffer, entry->size);
  }
}

void ensureTextBuffer(ParamEntry *entry) {
  if (entry->kind != ParamKind::bufferedText || entry->textBuffer != nullptr)
    return;
  entry->textBuffer = new char[entry->size + 1];
  std::memcpy(entry->textBuffer, entry->value, entry->size);
  entry->textBuffer[entry->size] = '\0';
}

bool imageChanged() {
  return std::memcmp(flashImage, referenceImage, FLASH_IMAGE_SIZE) != 0;
}

namespace {
void loadAllTextBuffers() {
  for (ParamEntry *table : allTables())
    loadTextBuffers(table);
}
} // namespace

void takeBlockIntoImage(const unsigned char *block) {
  blockToImage(block, flashImage);
  std::memcpy(referenceImage, flashImage, FLASH_IMAGE_SIZE);
  loadAllTextBuffers();
}

void applyBlockToImage(const unsigned char *block) {
  blockToImage(block, flashImage);
  loadAllTextBuffers();
}

void setFlashImage(const unsigned char *image) {
  std::memcpy(flashImage, image, FLASH_IMAGE_SIZE);
  loadAllTextBuffers();
}

void imageIntoBlock(unsigned char *block) {
  alignas(4) unsigned char image[FLASH_IMAGE_SIZE];
  std::memcpy(image, flashImage, FLASH_IMAGE_SIZE);
  // The text buffers hold edits that are not in the image yet.
  for (ParamEntry *table : allTables())
    for (const ParamEntry *entry = table; entry->name[0] != '\0'; ++entry)
      if (entry->kind == ParamKind::bufferedText && entry->textBuffer != nullptr)
        std::memcpy(image + (entry->value - flashImage), entry->textBuffer, entry->size);
  imageToBlock(image, block);
}
