// SPDX-License-Identifier: MIT
// Saving a parameter set to a file in the format its name stands for: a
// parameter file (.rop, as a run's save writes it), a block image (.blk)
// or an export (.json, .yaml). The file is written whole beside its name
// and put in place; it is never written through a symbolic link, and an
// existing file is replaced only when the caller says so.
#ifndef PARAMSETFILE_H
#define PARAMSETFILE_H

#include "ParamSet.h"

#include <string>

/// The text of the set as a parameter file, as a run's save writes it:
/// the parameters of the tables a parameter file carries, in table order,
/// then the unknown lines its source had outside any section. A keyword
/// the set does not hold is left out rather than written as a zero, which
/// would be a value nobody gave and which a restore may refuse: a set of a
/// whole block, or of a parameter file with every keyword, gives the very
/// file a run saves.
std::string paramSetRopText(const ParamSet &set);

/// Writes the set to fileName in the format its name stands for
/// (paramSetFormatOf): a block image holds paramSetBlock's bytes. False
/// with *error naming the file and the reason when it exists and replace
/// is not set, when it is a symbolic link, or when it cannot be written
/// (nothing is then left under the name that was not there before).
bool writeParamSetFile(const ParamSet &set, const std::string &fileName, bool replace,
                       std::string *error);

#endif
