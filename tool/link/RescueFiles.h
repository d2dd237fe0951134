// SPDX-License-Identifier: MIT
// RescueFiles: the pair of files a failed parameter write leaves in the run
// directory, the block as it should be (.blk, raw bytes) and its parameters
// (.rop). Neither ever replaces a file that exists, and each is either
// written whole and flushed to the disk or not there at all.
#ifndef RESCUEFILES_H
#define RESCUEFILES_H

#include <string>

class ZyConfig;

struct RescueFiles {
  std::string image;      ///< the .blk saved, or "" when none
  std::string parameters; ///< the .rop saved, or "" when none
  std::string error;      ///< why a file is missing, or ""
};

/// Saves block (length bytes) as base.blk and the parameters of config as
/// base.rop, with "-2", "-3"... added to base until both names are free.
/// A file that could not be written whole is removed.
RescueFiles saveRescueFiles(const std::string &base, const unsigned char *block, int length,
                            ZyConfig *config);

#endif
