// SPDX-License-Identifier: MIT
// ParamReference: the operator's keyword reference, made from the parameter
// tables themselves so that it cannot drift from them: keyword, alias,
// description, accepted range and unit of every parameter, as Markdown, as
// man-page text, and as the word list of the shell completion.
#ifndef PARAMREFERENCE_H
#define PARAMREFERENCE_H

#include "ParamTables.h"

#include <cstdio>
#include <string>

/// The values a parameter takes: "0 to 200" (an open bound is the limit of
/// the value's storage, as in parameter files), or for text "text, up to 18
/// characters".
std::string paramRange(const ParamEntry &entry);
/// The unit named by the entry's description ("mm/s", "0.1 V", "ms"...), or
/// "" when it names none.
std::string paramUnit(const ParamEntry &entry);
/// The description without trailing blanks.
std::string paramDescription(const ParamEntry &entry);

/// The whole reference as a Markdown document.
void writeMarkdownReference(FILE *out);
/// The reference as man-page (roff) text for the body of a section.
void writeRoffReference(FILE *out);
/// Every keyword and alias once, separated by blanks, on one line.
void writeKeywordList(FILE *out);

#endif
