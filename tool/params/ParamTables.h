// ParamTables: the static parameter tables that describe the controller's
// FLASH parameter block, one entry per parameter pointing into the FLASH
// image (FlashImage.h).
#ifndef PARAMTABLES_H
#define PARAMTABLES_H

/// How a parameter's value is stored in the image.
enum class ParamKind : unsigned char {
  text = 0,
  uint8 = 1,
  int16 = 2,
  uint16 = 3,
  bufferedText = 4
};

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

#endif
