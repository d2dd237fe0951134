// SPDX-License-Identifier: MIT
// The run's parameters as a set, and the --export file written from it.
#include "ExportCommand.h"

#include "ParamExport.h"
#include "Session.h"
#include "ShellText.h"
#include "ZyLog.h"

#include <vector>

ParamSet runParamSet(const unsigned char *block, size_t length, const ParamSet *restored,
                     const std::string &source) {
  bool whole = block != nullptr;
  // A restored export of a whole block brings that block's other bytes.
  if (!whole && restored != nullptr && restored->otherBytesKnown && !restored->block.empty()) {
    block = restored->block.data();
    length = restored->block.size();
    whole = true;
  }
  std::vector<unsigned char> bytes(PARAM_BLOCK_SIZE, 0);
  if (whole)
    bytes.assign(block, block + length);
  bytes.resize(PARAM_BLOCK_SIZE, 0xFF);
  imageIntoBlock(bytes.data());
  ParamSet set = paramSetFromBlock(bytes.data(),
                                   whole ? length : static_cast<size_t>(PARAM_BLOCK_SIZE), source);
  if (whole)
    return set;
  // Not a block: the parameters a save writes, and those the restore gave.
  set.format = ParamSetFormat::rop;
  set.block.clear();
  set.otherBytesKnown = false;
  const std::vector<ParamEntryRef> &entries = paramEntries();
  for (size_t i = 0; i < entries.size(); i++)
    set.held[i] = carriedByFiles(entries[i]) || (restored != nullptr && restored->holds(i));
  return set;
}

bool writeRunExport(const ParamSet &set, ParamSetFormat format, const std::string &file,
                    RunOutcome &outcome) {
  ZyLog::log(ZyLog::Normal, "Exporting the parameters to '%s' (%s).", escapedText(file).c_str(),
             paramSetFormatName(format));
  std::string error;
  bool written = writeParamSetExport(set, format, file, true, &error);
  if (!written)
    ZyLog::log(ZyLog::Terse, "%s", escapedText(error).c_str());
  outcome.update([written, &file](RunRecord &record) {
    if (written)
      record.files.exportedTo = file;
    else
      record.files.saveFailed = true;
  });
  return written;
}

void writeRunExport(const RunPlan &plan, const RunFiles &files, Session *session,
                    RunOutcome &outcome) {
  if (!plan.exportGiven)
    return;
  const unsigned char *block = nullptr;
  size_t length = 0;
  std::string source = "controller";
  if (session != nullptr && session->connected()) {
    block = session->block().data();
    length = PARAM_BLOCK_SIZE;
  } else if (plan.blockFile) {
    block = files.block.data();
    length = static_cast<size_t>(files.blockLength);
    source = plan.blockFile.path;
  }
  bool restored = plan.restoreFile && files.restoreRead;
  writeRunExport(runParamSet(block, length, restored ? &files.restored : nullptr, source),
                 plan.exportFormat, plan.exportFile, outcome);
}
