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

// The run's image and a whole parameter block (4096 bytes, the block's byte
// order; see ParamBlock.h), for the shell's and the command line's
// parameter commands, which edit flashImage.

/// The block as read from (or written to) the controller becomes the image
/// and the reference image, and fills the text buffers.
void takeBlockIntoImage(const unsigned char *block);
/// The block's parameters become flashImage and fill the text buffers;
/// referenceImage keeps what was read, so that the differences are what
/// writing the block would change.
void applyBlockToImage(const unsigned char *block);
/// An image of FLASH_IMAGE_SIZE bytes (16-bit values in host order)
/// becomes flashImage and fills the text buffers; referenceImage stays.
void setFlashImage(const unsigned char *image);
/// The block to write: the first FLASH_IMAGE_SIZE bytes of block become
/// flashImage with the text buffers' edits, in the block's byte order; the
/// rest of block stays. flashImage itself does not change.
void imageIntoBlock(unsigned char *block);

#endif
