// SPDX-License-Identifier: MIT
// Saving a parameter set: its parameter-file text through a registry of
// its own bound to the set's image (the writer a run's save uses), its
// block, or its export; and the one careful write of any of them.
#include "ParamSetFile.h"

#include "ParamExport.h"
#include "ParamFile.h"
#include "ZyConfig.h"
#include "ZySafeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

std::string inQuotes(const std::string &fileName) {
  return "'" + fileName + "'";
}

/// Closes a stream of open_memstream and frees its buffer.
struct MemoryStream {
  char *data = nullptr;
  size_t size = 0;
  FILE *file = open_memstream(&data, &size);
  ~MemoryStream() {
    if (file != nullptr)
      fclose(file);
    free(data);
  }
  /// Ends the stream; its text, or "" when it failed.
  std::string take(bool ok) {
    bool closed = file != nullptr && fclose(file) == 0;
    file = nullptr;
    return ok && closed && data != nullptr ? std::string(data, size) : std::string();
  }
};

} // namespace

std::string paramSetRopText(const ParamSet &set) {
  // The registry of a run's save: no blank lines between parameters, the
  // tables a file carries, each bound to the set's own bytes.
  ZyConfig config(nullptr, true, false, false, false);
  ParamSet copy = set;
  const std::vector<ParamEntryRef> &entries = paramEntries();
  std::vector<std::vector<char>> texts(entries.size());
  for (size_t i = 0; i < entries.size(); i++) {
    const ParamEntryRef &ref = entries[i];
    if (!carriedByFiles(ref) || !copy.holds(i))
      continue;
    if (ref.entry->kind == ParamKind::bufferedText) {
      texts[i].assign(ref.entry->size + 1u, '\0');
      std::memcpy(texts[i].data(), copy.image + ref.offset, ref.width);
    }
    config.addParam(paramConfigArg(*ref.entry, copy.image + ref.offset,
                                   texts[i].empty() ? nullptr : texts[i].data()),
                    "", ZyConfigArg::NORMAL);
  }
  for (const ParamProblem &problem : set.problems)
    if (!problem.lineText.empty())
      config.addParam(ZyConfigArg(problem.lineText.c_str(), ZyConfigArg::SAVED_LINE), "",
                      ZyConfigArg::NORMAL);
  MemoryStream stream;
  bool ok = stream.file != nullptr && config.writeTo(stream.file);
  return stream.take(ok);
}

bool writeParamSetFile(const ParamSet &set, const std::string &fileName, bool replace,
                       std::string *error) {
  std::string ignored;
  if (error == nullptr)
    error = &ignored;
  ParamSetFormat format = paramSetFormatOf(fileName);
  if (format == ParamSetFormat::json || format == ParamSetFormat::yaml)
    return writeParamSetExport(set, format, fileName, replace, error);

  std::string bytes;
  if (format == ParamSetFormat::block) {
    std::vector<unsigned char> block = paramSetBlock(set);
    bytes.assign(block.begin(), block.end());
  } else {
    bytes = paramSetRopText(set);
    if (bytes.empty()) {
      *error =
          "Cannot save to " + inQuotes(fileName) + ": the parameter file text could not be made.";
      return false;
    }
  }
  struct stat status;
  if (lstat(fileName.c_str(), &status) == 0) {
    if (S_ISLNK(status.st_mode)) {
      *error =
          "Cannot save to " + inQuotes(fileName) + ": it is a symbolic link; name the file itself.";
      return false;
    }
    if (!replace) {
      *error = "Cannot save to " + inQuotes(fileName) + ": it exists already.";
      return false;
    }
  }
  ZySafeFile file;
  if (!file.openExact(fileName, replace ? ZySafeFile::Replace : ZySafeFile::CreateNew, -1) ||
      !file.write(bytes.data(), bytes.size()) || !file.commit()) {
    *error = "Cannot save to " + inQuotes(fileName) + " (" + strerror(errno) + ").";
    return false;
  }
  return true;
}
