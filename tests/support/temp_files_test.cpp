// SPDX-License-Identifier: MIT
// Tests of the tests' own scratch-file helpers: a TempDir takes everything
// under it along when it goes, a forked child that ends by exit() leaves its
// parent's directory alone, and tempPath keeps to one directory per process;
// and waitFor returns once its condition holds, or false at its bound.
#include "TempFiles.h"
#include "WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string contentOf(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
} // namespace

TEST(TempDir, WritesFilesAndTakesEverythingUnderItAlong) {
  std::string path;
  {
    TempDir dir("temp_files_test");
    path = dir.path();
    ASSERT_TRUE(exists(path));
    EXPECT_NE(path.find("/temp_files_test."), std::string::npos) << path;
    std::string file = dir.write("a.txt", std::string("one\0two", 7));
    EXPECT_EQ(file, path + "/a.txt");
    EXPECT_EQ(contentOf(file), std::string("one\0two", 7));
    dir.subdir("sub");
    dir.write("sub/b.txt", "deep");
    // A file made behind the helper's back goes as well.
    std::ofstream(dir.file("sub/c.txt")) << "unregistered";
    EXPECT_EQ(contentOf(dir.file("sub/b.txt")), "deep");
  }
  EXPECT_FALSE(exists(path));
}

TEST(TempDir, TwoDirectoriesNeverShareAPath) {
  TempDir a, b;
  EXPECT_NE(a.path(), b.path());
}

TEST(TempDir, AForkedChildEndingByExitLeavesItAlone) {
  TempDir dir;
  dir.write("kept", "x");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child's copy of the object goes, as when a child returns through
    // the scopes of its parent's code.
    dir.~TempDir();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(exists(dir.file("kept")));
}

TEST(TempPath, OneDirectoryPerProcessThatAForkedChildLeavesAlone) {
  std::string first = tempPath("first");
  std::string second = tempPath("second");
  std::string folder = first.substr(0, first.rfind('/'));
  EXPECT_EQ(second.substr(0, second.rfind('/')), folder);
  EXPECT_TRUE(exists(folder));
  EXPECT_EQ(first.substr(first.rfind('/') + 1), "first");

  // A child that ends by exit() runs the destructors of statics, the
  // directory's among them: the parent's directory stays.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0)
    exit(exists(folder) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(exists(folder));
}

TEST(WaitFor, ReturnsOnceTheConditionHoldsAndFalseAtTheBound) {
  std::atomic<bool> flag{false};
  std::thread setter([&] {
    usleep(20 * 1000);
    flag = true;
  });
  EXPECT_TRUE(waitFor([&] { return flag.load(); }, 5000));
  setter.join();

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waitFor([] { return false; }, 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}
