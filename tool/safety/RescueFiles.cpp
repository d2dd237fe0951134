// SPDX-License-Identifier: MIT
// Rescue files of a failed parameter write: names free for both files,
// durable writes through ZySafeFile's exact form in its no-replace mode.
#include "RescueFiles.h"

#include "ParamFile.h"
#include "ZyLog.h"
#include "ZySafeFile.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace {
const int MAX_NUMBER = 100;

bool exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

/// The robot's name in a block, reduced to letters, digits, "-" and "_".
std::string fileNamePart(const unsigned char *block) {
  ParamField field = robotNameField();
  std::string name;
  for (int i = 0; i < field.size && block[field.offset + i] != 0; i++) {
    unsigned char c = block[field.offset + i];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_')
      name.push_back(static_cast<char>(c));
  }
  return name.empty() ? "unnamed" : name;
}
} // namespace

RescueFiles saveRescueFiles(const std::string &base, const unsigned char *block, int length) {
  RescueFiles saved;
  for (int n = 1; n <= MAX_NUMBER; n++) {
    std::string name = base + (n == 1 ? std::string() : "-" + std::to_string(n));
    std::string image = name + ".blk";
    std::string parameters = name + ".rop";
    // Both names must be free: the pair belongs together.
    if (exists(image) || exists(parameters))
      continue;
    ZySafeFile file;
    if (!file.openExact(image, ZySafeFile::CreateNew, -1) ||
        !file.write(block, static_cast<size_t>(length)) || !file.commit()) {
      int error = errno;
      file.abandon();
      if (error == EEXIST)
        continue; // taken since it was looked at
      saved.error = strerror(error);
      return saved;
    }
    saved.image = image;
    // The parameter file's messages would repeat what is said here.
    if (length == PARAM_BLOCK_SIZE && writeNewParameterFile(block, parameters.c_str()))
      saved.parameters = parameters;
    else
      saved.error = "the parameter file could not be written";
    return saved;
  }
  saved.error = "no free name";
  return saved;
}

RescueFiles saveRescueImage(const unsigned char *block) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string base = "orvexconf-rescue-" + fileNamePart(block) + "-" + stamp;
  RescueFiles saved = saveRescueFiles(base, block, PARAM_BLOCK_SIZE);
  if (saved.image.empty()) {
    ZyLog::log(ZyLog::Terse, "Could not save a rescue image '%s.blk' (%s).", base.c_str(),
               saved.error.c_str());
    return saved;
  }
  if (!saved.parameters.empty())
    ZyLog::log(ZyLog::Terse, "The block as it should be is saved in '%s' (its parameters in '%s').",
               saved.image.c_str(), saved.parameters.c_str());
  else
    ZyLog::log(ZyLog::Terse,
               "The block as it should be is saved in '%s' (its parameters could "
               "not be saved: %s).",
               saved.image.c_str(), saved.error.c_str());
  ZyLog::log(ZyLog::Terse, "To put it back, run: orvexconf -rp <port> -b -restoreBlock %s",
             saved.image.c_str());
  return saved;
}
