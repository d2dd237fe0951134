// SPDX-License-Identifier: MIT
// ParamSet: one set of the controller's parameters as a value, read from a
// parameter file (.rop), a block image (.blk), or an export (.json, .yaml),
// without touching the run's flashImage, referenceImage, text buffers or
// registry. It says which keywords its source gave and what in the source
// could not be taken, each with its file and line.
#ifndef PARAMSET_H
#define PARAMSET_H

#include "FlashImage.h"
#include "ParamBlock.h"
#include "ParamCommands.h"

#include <cstddef>
#include <string>
#include <vector>

/// Largest parameter file or export read (far above any real one: a saved
/// file is about 8 KB, an export of a whole block about 20 KB).
const size_t PARAM_FILE_MAX_BYTES = 1024 * 1024;

enum class ParamSetFormat {
  rop,   ///< a parameter file of keyword lines
  block, ///< a raw block image of 4096 (or 4095) bytes
  json,  ///< an export in JSON
  yaml   ///< an export in YAML
};

/// The format a file name stands for: ".blk" a block image, ".json" JSON,
/// ".yaml" or ".yml" YAML (letter case ignored); any other name a parameter
/// file, as ever.
ParamSetFormat paramSetFormatOf(const std::string &fileName);
/// "rop", "block", "json" or "yaml".
const char *paramSetFormatName(ParamSetFormat format);

/// Something in a source that the set did not take.
struct ParamProblem {
  int line = 0;           ///< line of the file, counted from 1; 0 when it has none
  std::string keyword;    ///< the keyword as written (the entry's name for a known one)
  std::string value;      ///< the value as written
  std::string reason;     ///< "unknown keyword", "out of range", "not an integer", ...
  std::string suggestion; ///< nearest known keyword of an unknown one, or ""
  std::string message;    ///< one sentence naming the file and the line
  /// An unknown line of a parameter file outside any section, as written:
  /// a save of the set writes it back, as a run's save keeps such lines.
  std::string lineText;
};

/// Every entry of every table, in table order (robot, arm, power): the
/// index a ParamSet keeps its flags by.
struct ParamEntryRef {
  ParamEntry *entry;
  const char *table; ///< "robot", "arm" or "power"
  size_t offset;     ///< first byte in the image
  size_t width;      ///< bytes in the image
};
const std::vector<ParamEntryRef> &paramEntries();
/// True when parameter files carry the entry (its table is one of
/// fileTables()).
bool carriedByFiles(const ParamEntryRef &ref);
/// The entry named keyword (name or alias, letter case ignored) among
/// every table's; nullptr when none.
const ParamEntryRef *findParamEntry(const std::string &keyword);

struct ParamSet {
  std::string source; ///< the file read, or what the caller named
  ParamSetFormat format = ParamSetFormat::rop;
  /// Empty when the source was read; else why not (it names the file).
  /// Problems of single lines do not make a source unreadable.
  std::string error;
  /// The 422 parameter bytes, 16-bit values in host order (as flashImage
  /// holds them between transfers). Bytes the source did not give are 0.
  alignas(4) unsigned char image[FLASH_IMAGE_SIZE] = {};
  /// Per entry of paramEntries(): the source gave its value.
  std::vector<bool> held;
  /// The whole block in the block's byte order, when the source was one
  /// (or an export of one): 4096 or 4095 bytes; else empty.
  std::vector<unsigned char> block;
  /// The bytes no keyword holds (reserved bytes, bytes after a text's
  /// terminator) are the source's own, not zeros put in their place.
  bool otherBytesKnown = false;
  std::vector<ParamProblem> problems;

  ParamSet();
  bool readable() const { return error.empty(); }
  bool holds(size_t index) const { return index < held.size() && held[index]; }
  /// The value of the entry as shown (texts without quotes), "" when the set
  /// does not hold it.
  std::string valueText(size_t index) const;
  /// True when a problem is one of a value refused (an unknown keyword is
  /// none: it is kept in the file and applies to nothing).
  bool refusedAny() const;
};

/// Reads a file into a set, in the format its name stands for.
ParamSet loadParamSet(const std::string &fileName);
/// Reads a parameter file of keyword lines with the rules of a restore:
/// the tables a parameter file carries, the same value checks; an alias
/// counts as its keyword.
ParamSet paramSetFromRopFile(const std::string &fileName);
/// The same with the file's text; source names it in the messages.
ParamSet paramSetFromRopText(const std::string &text, const std::string &source);
/// Reads a block image file: 4096 bytes, or 4095 (the last left erased).
ParamSet paramSetFromBlockFile(const std::string &fileName);
/// The set of a whole block in the block's byte order (length 4096 or
/// 4095), e.g. the controller's block as read; source names it.
ParamSet paramSetFromBlock(const unsigned char *block, size_t length, const std::string &source);

/// The set's parameters as a block: its block when it has one, with the
/// image in the block's byte order over the first 422 bytes; else the
/// image followed by zeros to 4096 bytes.
std::vector<unsigned char> paramSetBlock(const ParamSet &set);

/// For each of the first length bytes of the set's block (block order):
/// true when a keyword the set holds expresses it. A text expresses its
/// characters and its terminator, not the bytes after it.
std::vector<bool> keywordBytes(const ParamSet &set, size_t length);

/// Sets one parameter of the set by keyword (name or alias, letter case
/// ignored, in any table) with the checks and messages of the keyword
/// command (setParameter); the set then holds it. False when no table
/// knows the keyword (*suggestion: the nearest known one, or ""). A value
/// refused leaves the set as it was, *refusal saying why; a text cut to
/// its field is stored cut (textCut). value nullptr only shows the value.
bool setParamSetValue(ParamSet &set, const std::string &keyword, const char *value,
                      ParamRefusal *refusal, std::string *suggestion);

/// Copies the values the set holds into flashImage and the text buffers of
/// the tables (as a restore does); nothing else of the image changes.
void applyParamSet(const ParamSet &set);

/// Converts the 16-bit values of an image laid out like flashImage between
/// host order and the block's order (most significant byte first); applied
/// twice it restores the image.
void swapParamWords(unsigned char *image);

/// Shown value of an entry in an image laid out like flashImage.
std::string entryValueText(const ParamEntryRef &ref, const unsigned char *image);

#endif
