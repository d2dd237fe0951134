// SPDX-License-Identifier: MIT
// The FLASH image: bytes 0 to 421 of the controller's FLASH parameter block
// and its reference copy, and the operations that move values between the
// image, the block's byte order and the text buffers.
#ifndef FLASHIMAGE_H
#define FLASHIMAGE_H

#include "ParamTables.h"

/// Number of bytes at the start of the FLASH parameter block that the tables
/// describe and that the utility keeps in memory.
const int FLASH_IMAGE_SIZE = 422;

/// Bytes 0 to 421 of the controller's FLASH parameter block, 16-bit values in
/// host order between transfers. Edited by the parameter commands.
extern unsigned char flashImage[FLASH_IMAGE_SIZE];
/// The image as last read from or written to the controller.
extern unsigned char referenceImage[FLASH_IMAGE_SIZE];

/// Converts every 16-bit value of the table in place between host order and
/// the block's order (most significant byte first). Applying it twice
/// restores the image.
void swapWordOrder(ParamEntry *table);
/// Copies every bufferedText value from the image into its text buffer and
/// terminates the buffer.
void loadTextBuffers(ParamEntry *table);
/// Copies every bufferedText buffer's size bytes into the image.
void storeTextBuffers(ParamEntry *table);
/// Gives a bufferedText entry its text buffer of size + 1 bytes if it has
/// none yet, filled with the entry's current image bytes and terminated
/// (all zero while the image is still blank). The buffer lives as long as the
/// process, like the tables.
void ensureTextBuffer(ParamEntry *entry);
/// True when flashImage differs from referenceImage in any byte.
bool imageChanged();

#endif
