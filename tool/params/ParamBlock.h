// SPDX-License-Identifier: MIT
// ParamBlock: the controller's FLASH parameter block as a value, 4096 bytes
// in the block's byte order, and what is read from it or put into it over
// buffers of the caller's: its first 422 bytes as an image (16-bit values
// in host order, as flashImage holds them), the fields the parameter table
// places in it (the robot's name and serial number), whether it is erased,
// and a block image file read whole.
#ifndef PARAMBLOCK_H
#define PARAMBLOCK_H

#include "FlashImage.h"

#include <array>
#include <cstddef>
#include <string>

/// Bytes of the controller's FLASH parameter block; a block image holds
/// them all (or all but the last, which an erased block leaves 0xFF).
const int PARAM_BLOCK_SIZE = 4096;
const int PARAM_BLOCK_SHORTEST = PARAM_BLOCK_SIZE - 1;

/// The whole block, in the block's byte order.
using ParamBlock = std::array<unsigned char, PARAM_BLOCK_SIZE>;

/// The first FLASH_IMAGE_SIZE bytes of block as an image: its 16-bit
/// values turned into host order. block and image may not overlap.
void blockToImage(const unsigned char *block, unsigned char *image);
/// The image written over the first FLASH_IMAGE_SIZE bytes of block, its
/// 16-bit values in the block's order; the rest of block stays.
void imageToBlock(const unsigned char *image, unsigned char *block);

/// True when each of the first length bytes reads 0xFF.
bool blockErased(const unsigned char *block, size_t length);

/// Where a parameter lies in the block (and the image): its first byte and
/// its width; {0, 0} for a keyword no table knows.
struct ParamField {
  int offset = 0;
  int size = 0;
};
/// The field of the parameter named keyword (name or alias, any letter
/// case), as the parameter tables place it.
ParamField paramField(const char *keyword);
/// The robot's name ("Name") and serial number ("SerNum").
ParamField robotNameField();
ParamField serialNumberField();

/// The value of the parameter named keyword in a block, as the change
/// list shows values ("" for a keyword no table knows).
std::string blockValue(const unsigned char *block, const char *keyword);

/// Reads a block image file of 4096 (or 4095) raw bytes into block; false
/// with a message naming the file otherwise. *length gets its size.
bool loadBlockFile(const char *path, unsigned char *block, int *length);

#endif
