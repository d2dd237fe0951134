// SPDX-License-Identifier: MIT
// SimMemory: the simulated controller's 256 KB of FLASH, its twelve erase
// blocks, FLASH write rules (a write only clears bits, an erase sets a whole
// block to 0xFF) and the state file that keeps it from one run to the next.
#ifndef SIMMEMORY_H
#define SIMMEMORY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SimMemory {
public:
  static constexpr uint32_t SIZE = 0x40000;
  static constexpr int BLOCK_COUNT = 12;
  static constexpr uint32_t PARAM_BLOCK = 7;
  static constexpr uint32_t PARAM_ADDRESS = 0x7000;
  static constexpr uint32_t PARAM_SIZE = 0x1000;

  struct Block {
    uint32_t start;
    uint32_t size;
  };
  /// Start and size of block n (0 to 11); {0, 0} outside that range.
  static Block block(int n);
  /// Block holding the address, or -1 beyond the memory.
  static int blockOf(uint32_t address);

  enum WriteResult {
    WRITE_OK,           ///< every byte now holds the data
    WRITE_OUT_OF_RANGE, ///< the range leaves the memory; nothing changed
    WRITE_NOT_ERASED    ///< some bit could not be set: the bytes hold old AND data
  };

  /// A fresh controller: firmware blocks with code-like bytes, block 7
  /// with a valid parameter block (see freshParameterBlock).
  SimMemory();

  void resetToFresh();
  /// Sets the block to 0xFF; false for a block number outside 0 to 11.
  bool erase(int block);
  /// Programs bytes as FLASH does: each byte becomes old AND data.
  WriteResult write(uint32_t address, const uint8_t *data, size_t length);
  /// Copies length bytes from address; false when the range leaves memory.
  bool read(uint32_t address, uint8_t *out, size_t length) const;
  uint8_t at(uint32_t address) const { return myBytes[address % SIZE]; }
  const uint8_t *bytes() const { return myBytes.data(); }
  std::array<uint8_t, PARAM_SIZE> block7() const;

  /// Loads a state file of exactly SIZE bytes. On failure the memory is
  /// unchanged and error says what went wrong.
  bool loadFile(const std::string &path, std::string *error);
  /// Writes the memory to a temporary file beside path and renames it over
  /// path, so a crash never leaves a half-written state file.
  bool saveFile(const std::string &path, std::string *error) const;

  /// The parameter block of a fresh controller: a robot of type "Marlock"
  /// with sensible values in every field, 16-bit values most significant
  /// byte first, reserved bytes and the tail after byte 422 filled with
  /// recognisable non-trivial data.
  static std::array<uint8_t, PARAM_SIZE> freshParameterBlock();

private:
  std::vector<uint8_t> myBytes;
};

#endif
