// SPDX-License-Identifier: MIT
// Parameter commands: show or set one parameter of a table by keyword, and
// list a table, or one page of it, with descriptions and current values.
#ifndef PARAMCOMMANDS_H
#define PARAMCOMMANDS_H

#include "ParamTables.h"

/// Finds the keyword (name or alias, letter case ignored) in the table and
/// shows its value, or checks, stores and shows the new value when one is
/// given (value nullptr: only show). True when the table knows the keyword,
/// also when the value was refused; false when it does not. A text that a
/// parameter file could not carry back (ZyConfig::TEXT_RULE) is refused; a
/// text longer than its field is cut to it, and the cut is reported.
bool setParameter(ParamEntry *table, const char *keyword, const char *value);

/// Why setParameter did not store a value as given.
enum class ParamRefusal {
  none,        ///< stored as given
  notInteger,  ///< not a whole number in the 32-bit range
  outOfRange,  ///< below the minimum or above the maximum
  notStorable, ///< a text a parameter file could not carry back
  textCut      ///< a text longer than its field: stored cut to it
};
/// The text that names a refusal in the run's record ("" for none).
const char *paramRefusalName(ParamRefusal refusal);

/// setParameter that also says, in *refusal, why a value was refused or cut.
bool setParameter(ParamEntry *table, const char *keyword, const char *value, ParamRefusal *refusal);

/// What setParameter does for one entry, with the value kept at field (the
/// entry's first byte in an image laid out like flashImage, e.g. a
/// parameter set's, 16-bit words in host order) instead of in flashImage:
/// the same checks, messages and refusals. textBuffer is the entry's text
/// buffer of a bufferedText entry (size + 1 bytes, kept in step), or
/// nullptr to edit the field alone; value nullptr only shows it.
void setEntryValue(const ParamEntry &entry, unsigned char *field, char *textBuffer,
                   const char *value, ParamRefusal *refusal);

/// True when the table knows the keyword (name or alias, letter case
/// ignored); nothing is shown or changed.
bool knowsKeyword(ParamEntry *table, const char *keyword);

/// setParameter with each table of the list in turn, up to the first that
/// knows the keyword; false when none does.
bool setParameter(const ParamTableList &tables, const char *keyword, const char *value,
                  ParamRefusal *refusal = nullptr);
/// True when a table of the list knows the keyword.
bool knowsKeyword(const ParamTableList &tables, const char *keyword);

/// Prints the table to standard output from row first, at most limit + 1
/// rows (limit 0: no limit). Returns the index of the next row to list, or 0
/// once the table's last entry has been listed.
int listParameters(ParamEntry *table, int first, int limit);

/// The value of an integer entry as the image holds it now (its 16-bit
/// words in host order, as between a read and a write).
int readInteger(const ParamEntry &entry);

#endif
