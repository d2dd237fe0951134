// SPDX-License-Identifier: MIT
// TempFiles: scratch files for tests. A TempDir is a fresh empty directory
// removed with everything in it when it goes out of scope; tempPath names a
// file in one directory per test process, removed when that process ends.
// Only the process that made a directory removes it, so a forked child that
// ends by exit() leaves its parent's files alone.
#ifndef TEMPFILES_H
#define TEMPFILES_H

#include <string>
#include <sys/types.h>

class TempDir {
public:
  /// Makes the directory under $TMPDIR (or /tmp), its name starting with
  /// tag; the test fails (gtest ADD_FAILURE) if it cannot.
  explicit TempDir(const std::string &tag = "orvextest");
  ~TempDir();
  const std::string &path() const { return myPath; }
  /// Path of an entry of the directory (name may contain sub-directories).
  std::string file(const std::string &name) const { return myPath + "/" + name; }
  /// Writes content to the file name of the directory (replacing it) and
  /// returns its path; the test fails if it cannot.
  std::string write(const std::string &name, const std::string &content) const;
  /// Makes the sub-directory name and returns its path; the test fails if
  /// it cannot.
  std::string subdir(const std::string &name) const;

  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

private:
  std::string myPath;
  pid_t myOwner;
  bool myMade = false;
};

/// Path of a file called name in this test process's own scratch directory.
std::string tempPath(const std::string &name);

#endif
