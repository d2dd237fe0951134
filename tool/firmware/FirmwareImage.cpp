// SPDX-License-Identifier: MIT
// FirmwareImage: the memory image, its block table and its identity.
#include "FirmwareImage.h"

#include "ZyLog.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

namespace {

/// Start and size of each FLASH block of the controller.
const unsigned long kBlockStart[FirmwareImage::NUM_BLOCKS] = {0x0000, 0x1000,  0x2000,  0x3000,
                                                              0x4000, 0x5000,  0x6000,  0x7000,
                                                              0x8000, 0x10000, 0x20000, 0x30000};
const unsigned long kBlockSize[FirmwareImage::NUM_BLOCKS] = {0x1000, 0x1000,  0x1000,  0x1000,
                                                             0x1000, 0x1000,  0x1000,  0x1000,
                                                             0x8000, 0x10000, 0x10000, 0x10000};

const size_t kGivenWords = FirmwareImage::MEMORY_SIZE / 64;

/// Ranges listed in the summary before the rest are only counted.
const size_t kRangesShown = 8;

struct DigestContext {
  EVP_MD_CTX *context = EVP_MD_CTX_new();
  ~DigestContext() { EVP_MD_CTX_free(context); }
};

} // namespace

const char *firmwareFormatName(FirmwareFormat format) {
  switch (format) {
  case FirmwareFormat::IntelHex:
    return "Intel HEX";
  case FirmwareFormat::Binary:
    return "raw binary";
  case FirmwareFormat::SRecord:
    break;
  }
  return "Motorola S-records";
}

FirmwareImage::FirmwareImage()
    : myMemory(new unsigned char[MEMORY_SIZE]), myGiven(new unsigned long long[kGivenWords]) {
  reset();
}

FirmwareImage::~FirmwareImage() = default;

void FirmwareImage::reset() {
  memset(myMemory.get(), 0xFF, MEMORY_SIZE);
  memset(myGiven.get(), 0, kGivenWords * sizeof(unsigned long long));
  for (int i = 0; i < NUM_BLOCKS; i++) {
    myBlocks[i].start = kBlockStart[i];
    myBlocks[i].size = kBlockSize[i];
    myBlocks[i].highest = kBlockStart[i];
    myBlocks[i].touched = false;
  }
}

void FirmwareImage::setSource(const std::string &path, FirmwareFormat format) {
  mySource = path;
  myFormat = format;
}

void FirmwareImage::store(unsigned long address, const unsigned char *bytes, size_t count) {
  if (count == 0 || address >= MEMORY_SIZE || count > MEMORY_SIZE - address)
    return;
  memcpy(myMemory.get() + address, bytes, count);
  unsigned long end = address + count;
  for (unsigned long a = address; a < end;) {
    if (a % 64 == 0 && end - a >= 64) {
      myGiven[a / 64] = ~0ULL;
      a += 64;
    } else {
      myGiven[a / 64] |= 1ULL << (a % 64);
      a++;
    }
  }
  for (FlashBlock &block : myBlocks) {
    unsigned long blockEnd = block.start + block.size;
    if (address >= blockEnd || end <= block.start)
      continue;
    block.touched = true;
    unsigned long top = end < blockEnd ? end : blockEnd;
    if (top > block.highest)
      block.highest = top;
  }
}

bool FirmwareImage::given(unsigned long address) const {
  return address < MEMORY_SIZE && ((myGiven[address / 64] >> (address % 64)) & 1) != 0;
}

bool FirmwareImage::hasData() const {
  return !blocksToWrite().empty();
}

std::vector<int> FirmwareImage::blocksToWrite() const {
  std::vector<int> out;
  for (int i = 0; i < NUM_BLOCKS; i++)
    if (myBlocks[i].touched && i != PARAMETER_BLOCK)
      out.push_back(i);
  return out;
}

std::vector<std::pair<unsigned long, unsigned long>> FirmwareImage::ranges() const {
  std::vector<std::pair<unsigned long, unsigned long>> out;
  unsigned long a = 0;
  while (a < MEMORY_SIZE) {
    // Whole words of 64 addresses at a time where nothing or everything
    // was given.
    if (a % 64 == 0 && myGiven[a / 64] == 0) {
      a += 64;
      continue;
    }
    if (!given(a)) {
      a++;
      continue;
    }
    unsigned long first = a;
    while (a < MEMORY_SIZE) {
      if (a % 64 == 0 && myGiven[a / 64] == ~0ULL)
        a += 64;
      else if (given(a))
        a++;
      else
        break;
    }
    out.emplace_back(first, a);
  }
  return out;
}

std::string FirmwareImage::digest() const {
  DigestContext digest;
  if (digest.context == nullptr || EVP_DigestInit_ex(digest.context, EVP_sha256(), nullptr) != 1)
    return "";
  for (int i : blocksToWrite()) {
    const FlashBlock &b = myBlocks[i];
    if (EVP_DigestUpdate(digest.context, myMemory.get() + b.start, b.highest - b.start) != 1)
      return "";
  }
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(digest.context, value, &length) != 1)
    return "";
  std::string text;
  char hex[3];
  for (unsigned int i = 0; i < length; i++) {
    snprintf(hex, sizeof hex, "%02x", value[i]);
    text += hex;
  }
  return text;
}

void FirmwareImage::logSummary() const {
  auto spans = ranges();
  unsigned long bytes = 0;
  for (const auto &span : spans)
    bytes += span.second - span.first;
  ZyLog::log(ZyLog::Normal, "Image '%s': %s, %lu bytes.", mySource.c_str(),
             firmwareFormatName(myFormat), bytes);
  std::string text;
  char piece[48];
  for (size_t i = 0; i < spans.size() && i < kRangesShown; i++) {
    snprintf(piece, sizeof piece, "%s0x%lx-0x%lx", i == 0 ? "" : ", ", spans[i].first,
             spans[i].second - 1);
    text += piece;
  }
  if (spans.size() > kRangesShown) {
    snprintf(piece, sizeof piece, " and %zu more", spans.size() - kRangesShown);
    text += piece;
  }
  ZyLog::log(ZyLog::Normal, "Addresses: %s.", text.empty() ? "none" : text.c_str());
  text.clear();
  for (int i : blocksToWrite()) {
    snprintf(piece, sizeof piece, " 0x%x", i);
    text += piece;
  }
  ZyLog::log(ZyLog::Normal, "Blocks to erase and write:%s.", text.empty() ? " none" : text.c_str());
  if (myBlocks[PARAMETER_BLOCK].touched)
    ZyLog::log(ZyLog::Normal,
               "The image's data for the parameter block (0x7000 to 0x7fff) is not written.");
  std::string sum = digest();
  ZyLog::log(ZyLog::Normal, "SHA-256 of the bytes to write: %s",
             sum.empty() ? "(could not be computed)" : sum.c_str());
}
