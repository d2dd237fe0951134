// SPDX-License-Identifier: MIT
// ParamTables: the static parameter tables that describe the controller's
// FLASH parameter block, one entry per parameter pointing into the FLASH
// image (FlashImage.h), and the one list of those tables with the places
// each takes part in (files, command line, shell).
#ifndef PARAMTABLES_H
#define PARAMTABLES_H

#include <cstddef>

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

/// Where a table takes part: flags of ParamTable::uses.
enum ParamTableUse : unsigned char {
  PARAM_IN_FILES = 1,        ///< parameter files carry it (registered in the registry)
  PARAM_ON_COMMAND_LINE = 2, ///< command-line keyword/value pairs set it
};

/// One parameter table and the places it takes part in.
struct ParamTable {
  ParamEntry *entries;
  const char *title;      ///< heading of its section in the keyword reference
  const char *where;      ///< where the operator meets it, for the reference
  unsigned char uses;     ///< ParamTableUse flags
  signed char shellPlace; ///< its place in the shell's keyword search, -1: not edited there
};

/// Every table, in the order of the image; a new table is one more line.
extern const ParamTable paramTables[];
extern const int paramTableCount;
/// paramTables for a range-for.
struct ParamTableDescriptors {
  const ParamTable *begin() const { return paramTables; }
  const ParamTable *end() const { return paramTables + paramTableCount; }
};

/// Some of the tables, in the order they are registered or searched.
struct ParamTableList {
  static const int MAX_TABLES = 8;
  ParamEntry *tables[MAX_TABLES] = {};
  int count = 0;
  ParamEntry *const *begin() const { return tables; }
  ParamEntry *const *end() const { return tables + count; }
};

/// All tables: word order and text buffers of the whole image.
ParamTableList allTables();
/// The tables a parameter file carries (in the file's order).
ParamTableList fileTables();
/// The tables the command line's keyword/value pairs set, in search order.
ParamTableList commandLineTables();
/// The tables the shell's keyword edits reach, in search order.
ParamTableList shellTables();

/// How many bytes of the image the entry's value takes.
size_t paramValueSize(const ParamEntry &entry);

#endif
