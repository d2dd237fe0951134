// SPDX-License-Identifier: MIT
// RescueFiles: the pair of files a failed parameter write leaves in the run
// directory, the block as it should be (.blk, raw bytes) and its parameters
// (.rop), named after the robot and the time. Neither ever replaces a file
// that exists or is written through a link, and each is either written
// whole and flushed to the disk or not there at all.
#ifndef RESCUEFILES_H
#define RESCUEFILES_H

#include "ParameterBlockLink.h"

#include <string>

/// Saves block (length bytes) as base.blk and the parameters it holds as
/// base.rop, with "-2", "-3"... added to base until both names are free.
/// A file that could not be written whole is removed.
RescueFiles saveRescueFiles(const std::string &base, const unsigned char *block, int length);

/// Saves the block a failed write was to put there (4096 bytes) as
/// "orvexconf-rescue-<robot name>-<date-time>" in the current directory,
/// and logs what was saved and the command that puts it back.
RescueFiles saveRescueImage(const unsigned char *block);

#endif
