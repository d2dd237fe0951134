// SPDX-License-Identifier: MIT
// ChangeList: what differs between two FLASH images, parameter by
// parameter in table order, and the lines that tell the operator (and a
// script reading the run's report) what a write, a restore or a check
// changes.
#ifndef CHANGELIST_H
#define CHANGELIST_H

#include "FlashImage.h"

#include <string>
#include <vector>

/// One parameter whose value differs. Texts are shown quoted, numbers plain.
struct ParamChange {
  std::string keyword; ///< the parameter's name
  std::string table;   ///< "robot", "arm" or "power"
  std::string before;  ///< value before, as shown (no quotes)
  std::string after;   ///< value after, as shown (no quotes)
  bool text = false;   ///< a text value
};

/// A value the run did not store as given.
struct RefusedValue {
  std::string keyword;
  std::string value;
  std::string reason;     ///< "out of range", "unknown keyword", "text cut", ...
  std::string suggestion; ///< nearest known keyword of an unknown one, or ""
};

/// The parameters whose values differ between two images of
/// FLASH_IMAGE_SIZE bytes (16-bit values in host order), in table order;
/// a byte range two entries share is reported once.
std::vector<ParamChange> imageChanges(const unsigned char *before, const unsigned char *after);
/// The changes between referenceImage and flashImage.
std::vector<ParamChange> pendingChanges();

/// The value of the parameter named keyword in flashImage, as shown ("" for
/// a keyword no table knows).
std::string parameterValue(const char *keyword);
/// The same in an image laid out like flashImage.
std::string parameterValue(const unsigned char *image, const char *keyword);

/// "Name: 'R1' -> 'R2'" or "RevCount: 4464 -> 70".
std::string changeLine(const ParamChange &change);
/// "Changing 3 parameters:" (or "1 parameter").
std::string changingHeading(size_t count);
/// Logs the heading, then one line a change.
void logChanges(const std::string &heading, const std::vector<ParamChange> &changes);
/// True for the fields that say which robot this is: SubType, Name, SerNum.
bool isIdentityKeyword(const std::string &keyword);
/// Lists what a restore file (or a block image) changes in the values read
/// from the controller ("'file' changes 2 parameters:" and a line each),
/// and says so plainly ("Caution: ...") when it changes which robot this
/// is.
void logRestoredChanges(const std::string &file, const std::vector<ParamChange> &changes);

#endif
