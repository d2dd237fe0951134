// SPDX-License-Identifier: MIT
// ZySafeFile: a file written in full beside its final name and then put in
// place, so that a write that fails half way (a full disk, a file-size
// limit, a crash) never leaves a truncated file under that name. Every save
// of a parameter file, every backup of the FLASH block and every rescue
// file goes through it. Its exact form (openExact, openExactIn) works on
// the name itself, never on what a symbolic link there points to, and
// gives the file the mode it is told: for files that must stay their
// owner's (the backup store, the shell's history, the run report).
#ifndef ZYSAFEFILE_H
#define ZYSAFEFILE_H

#include <cstdio>
#include <string>

class ZySafeFile {
public:
  enum Mode {
    /// Replace the target (or create it); a device or a pipe is written in
    /// place, since it cannot be replaced.
    Replace,
    /// As Replace, but the new file starts with the target's content.
    Append,
    /// Create the target; never replace a file that exists (commit fails
    /// with EEXIST then).
    CreateNew
  };

  ZySafeFile() = default;
  ZySafeFile(const ZySafeFile &) = delete;
  ZySafeFile &operator=(const ZySafeFile &) = delete;
  /// Abandons a file that was opened and not committed.
  ~ZySafeFile();

  /// Creates the temporary file in the target's directory; a symbolic link
  /// is followed, so the file it points to is the one replaced. The new
  /// file gets the old one's permissions, else permissions (default: those
  /// a new file gets under the umask). False with errno set when it fails.
  bool open(const std::string &target, Mode mode = Replace, int permissions = -1);
  /// The exact form: target names the file itself. A symbolic link there is
  /// never followed: it is replaced like a file (Replace, Append: nothing
  /// is copied through it), or counts as a file that exists (CreateNew).
  /// The temporary file is a fresh name opened exclusively, and the file
  /// put in place gets exactly permissions (-1: those a new file gets
  /// under the umask), whatever the old one had. A named pipe or a
  /// character device there is written in place, opened without waiting
  /// (ENXIO: a pipe nobody reads); a folder is refused with EISDIR, any
  /// other kind of file with EINVAL. The folders above target are the
  /// caller's choice and are followed. False with errno set when it fails.
  bool openExact(const std::string &target, Mode mode, int permissions);
  /// openExact for name (a plain name, without '/') in the folder open as
  /// directory, which stays the caller's (a duplicate is kept until commit
  /// or abandon); shownAs is the path target() gives.
  bool openExactIn(int directory, const std::string &name, Mode mode, int permissions,
                   const std::string &shownAs);
  FILE *file() const { return myFile; }
  /// Writes bytes; false (errno set) when not all of them were written.
  bool write(const void *data, size_t length);
  /// Flushes the data to the disk, puts the file in place and flushes the
  /// directory, so the name survives a power cut too; false (the temporary
  /// file removed, errno set) when any of it fails.
  bool commit();
  /// Closes and removes the temporary file; the target stays untouched.
  void abandon();
  /// The path the file is (or was to be) put in place under.
  const std::string &target() const { return myTarget; }

  /// What stands in the way of putting a file at target in the exact form,
  /// "" when nothing does: a folder there, a file there that is neither
  /// regular, a link, a named pipe nor a character device, a pipe or a
  /// device (or a link to one) that cannot be written, or a folder that
  /// takes no new file (one is made there and removed at once to find out).
  static std::string placeProblem(const std::string &target);
  /// True when target is a symbolic link to a named pipe or a character
  /// device (/dev/stdout, /dev/fd/3): a file the caller writes in place,
  /// through the link, rather than putting a new file at the link's place.
  static bool linkToStream(const std::string &target);

  /// Flushes the directory that holds path to the disk; false with errno
  /// set when it fails.
  static bool syncDirectoryOf(const std::string &path);
  /// Flushes the directory open as fd to the disk; a file system that
  /// cannot is no failure. False with errno set when it fails.
  static bool syncDirectory(int fd);

private:
  bool copyOld();
  bool copyOldIn();
  bool openDirectIn(int flags);

  std::string myTarget;
  std::string myTemp;
  FILE *myFile = nullptr;
  bool myDirect = false;
  Mode myMode = Replace;
  /// The exact form: the folder, the target's name in it, and the
  /// temporary file's name there (myTemp is unused).
  int myDirectory = -1;
  std::string myName;
  std::string myTempName;
};

#endif
