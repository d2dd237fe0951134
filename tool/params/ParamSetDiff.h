// SPDX-License-Identifier: MIT
// The difference between two parameter sets, for comparing two files, a
// file and a backup, or either with the controller: the parameters whose
// values differ, in table order, as the change lines of a write show them;
// what either source could not give; and the keywords only one holds.
// Values are compared, not text: how a file spells a keyword (alias,
// letter case), its comments, blank lines and the order of its lines do
// not count.
#ifndef PARAMSETDIFF_H
#define PARAMSETDIFF_H

#include "ChangeList.h"
#include "ParamSet.h"

#include <string>
#include <vector>

struct ParamSetDiff {
  /// Parameters both sets hold whose values differ, in table order; before
  /// is the first set's value, after the second's (describedChangeLine
  /// adds each one's description).
  std::vector<ParamChange> changes;
  /// What the sources could not give (unknown keywords, refused values),
  /// the first set's before the second's; each message names its file.
  std::vector<ParamProblem> problems;
  /// Keywords one set holds and the other does not (a parameter file holds
  /// no power settings, a block holds them all), in table order.
  std::vector<std::string> onlyInFirst;
  std::vector<std::string> onlyInSecond;
  /// When both sets know the bytes no keyword holds (two blocks, or their
  /// exports): the first and last offset in the block where those differ,
  /// or -1 when none do (or either set does not know them).
  int firstOtherByte = -1;
  int lastOtherByte = -1;

  /// Some parameter differs.
  bool differs() const { return !changes.empty(); }
};

/// The change line followed by the keyword's description from its table:
/// "HostBaud: 0 -> 4  ; HostBaud (0=9.6K, 1=19.2K, 2=38.4K 3=57.6K 4=115K)".
std::string describedChangeLine(const ParamChange &change);

/// Compares two readable sets.
ParamSetDiff diffParamSets(const ParamSet &first, const ParamSet &second);

/// "3 parameters differ:" or "1 parameter differs:".
std::string differHeading(size_t count);

#endif
