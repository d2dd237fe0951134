// ParamTable: the static parameter tables that describe the controller's
// FLASH parameter block, the 422-byte FLASH image they point into, and the
// operations that move values between the image, the block's byte order and
// the text buffers.
#ifndef PARAMTABLE_H
#define PARAMTABLE_H

/// How a parameter's value is stored in the image.
enum class ParamKind : unsigned char {
  text = 0,
  uint8 = 1,
  int16 = 2,
  uint16 = 3,
  bufferedText = 4
};

/// Number of bytes at the start of the FLASH parameter block that the tables
/// describe and that the utility keeps in memory.
const int FLASH_IMAGE_SIZE = 422;

/// Bytes 0 to 421 of the controller's FLASH parameter block, 16-bit values in
/// host order between transfers. Edited by the parameter commands.
extern unsigned char flashImage[FLASH_IMAGE_SIZE];
/// The image as last read from or written to the controller.
extern unsigned char referenceImage[FLASH_IMAGE_SIZE];

/// One parameter of the FLASH block. A bound of -1 means no bound.
struct ParamEntry {
  const char *name;          ///< keyword; the empty text ends a table
  const char *alias;         ///< second keyword, or ""
  unsigned char *value;      ///< first byte of the value in flashImage
  char *textBuffer;          ///< bufferedText only: size + 1 bytes, null until registered
  ParamKind kind;            ///< storage kind
  unsigned char size;        ///< bytes of a text value; 0 for integers
  short minimum;             ///< smallest accepted value, -1 for none
  short maximum;             ///< largest accepted value, -1 for none
  const char *description;   ///< listing column and parameter-file comment
  const char *valueMessage;  ///< shown before the value when no value text applies
  const char *valueTexts[5]; ///< shown for the values 0 to 4; "" for none
};

/// The robot's own parameters (66 entries), listed by "v".
extern ParamEntry robotTable[];
/// Arm parameters (40 entries), listed by "a".
extern ParamEntry armTable[];
/// Power and port assignments of accessories (24 entries).
extern ParamEntry powerTable[];

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
