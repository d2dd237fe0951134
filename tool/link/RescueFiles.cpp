// SPDX-License-Identifier: MIT
// Rescue files of a failed parameter write: names free for both files,
// durable writes through ZySafeFile in its no-replace mode.
#include "RescueFiles.h"

#include "ZyConfig.h"
#include "ZyLog.h"
#include "ZySafeFile.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {
const int MAX_NUMBER = 100;

bool exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}
} // namespace

RescueFiles saveRescueFiles(const std::string &base, const unsigned char *block, int length,
                            ZyConfig *config) {
  RescueFiles saved;
  for (int n = 1; n <= MAX_NUMBER; n++) {
    std::string name = base + (n == 1 ? std::string() : "-" + std::to_string(n));
    std::string image = name + ".blk";
    std::string parameters = name + ".rop";
    // Both names must be free: the pair belongs together.
    if (exists(image) || exists(parameters))
      continue;
    ZySafeFile file;
    if (!file.open(image, ZySafeFile::CreateNew) ||
        !file.write(block, static_cast<size_t>(length)) || !file.commit()) {
      int error = errno;
      file.abandon();
      if (error == EEXIST)
        continue; // taken since it was looked at
      saved.error = strerror(error);
      return saved;
    }
    saved.image = image;
    if (config == nullptr)
      return saved;
    // The parameter file's messages would repeat what is said here.
    if (config->writeNewFile(parameters.c_str()))
      saved.parameters = parameters;
    else
      saved.error = "the parameter file could not be written";
    return saved;
  }
  saved.error = "no free name";
  return saved;
}
