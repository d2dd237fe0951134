// SPDX-License-Identifier: MIT
// Scratch directories for tests.
#include "TempFiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

TempDir::TempDir(const std::string &tag) : myOwner(getpid()) {
  const char *base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/" + tag + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a directory " << pattern << ": " << strerror(errno);
    myPath = "/nonexistent/" + tag; // writes there fail; nothing is removed
    return;
  }
  myPath = name.data();
  myMade = true;
}

TempDir::~TempDir() {
  if (!myMade || getpid() != myOwner)
    return;
  std::error_code error;
  std::filesystem::remove_all(myPath, error);
  if (error)
    fprintf(stderr, "could not remove %s: %s\n", myPath.c_str(), error.message().c_str());
}

std::string TempDir::write(const std::string &name, const std::string &content) const {
  std::string full = file(name);
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out)
    ADD_FAILURE() << "cannot write " << full;
  return full;
}

std::string TempDir::subdir(const std::string &name) const {
  std::string full = file(name);
  if (mkdir(full.c_str(), 0700) != 0)
    ADD_FAILURE() << "cannot make directory " << full << ": " << strerror(errno);
  return full;
}

std::string tempPath(const std::string &name) {
  static TempDir processDir;
  return processDir.file(name);
}
