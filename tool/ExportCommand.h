// SPDX-License-Identifier: MIT
// ExportCommand: --export json|yaml FILE, the parameters the run holds at
// its end (a controller's block as read or written, a block image, a
// parameter file or export read with -r, with the command line's keywords
// applied) written as an export, for version control and other tools.
#ifndef EXPORTCOMMAND_H
#define EXPORTCOMMAND_H

#include "CommandLine.h"
#include "ParamSet.h"
#include "RunOutcome.h"

#include <string>

class Session;

/// The run's parameters (flashImage with the text buffers' edits) as a
/// set. Over a whole block (block of length 4096 or 4095: the controller's,
/// or a block image) the set is that block with the parameters laid over
/// it, so that its export carries every byte; without one (block nullptr)
/// it holds the parameters a parameter file carries and those restored
/// holds (nullptr: none), as a save writes them.
ParamSet runParamSet(const unsigned char *block, size_t length, const ParamSet *restored,
                     const std::string &source);

/// Writes set to file as an export of format, through a file put in place
/// whole (never through a symbolic link; a file there is replaced, keeping
/// its permissions, as a save does). Notes the file written, or the
/// failure (status 9), in the outcome.
bool writeRunExport(const ParamSet &set, ParamSetFormat format, const std::string &file,
                    RunOutcome &outcome);

/// --export, when the plan has it: the parameters the run holds at its
/// end over the block session holds (connected), else over the block
/// image of -restoreBlock, else as a save writes them with what the
/// restore file gave.
void writeRunExport(const RunPlan &plan, const RunFiles &files, Session *session,
                    RunOutcome &outcome);

#endif
