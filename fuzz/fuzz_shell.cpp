// SPDX-License-Identifier: MIT
// libFuzzer target for the shell's line handling without a controller: the
// input is what the operator types (keywords and values, paging answers,
// command words, over-long lines, files saved and restored by name). It
// runs in a private directory, and "/" in the input is read as "_", so
// the files it names stay there. The same bytes are read as a history
// file, and each line is completed as Tab would complete it.
#include "ConnectOptions.h"
#include "FlashImage.h"
#include "LineEditor.h"
#include "ParamFile.h"
#include "ParamTables.h"
#include "RunOutcome.h"
#include "Session.h"
#include "Shell.h"
#include "ShellCompletion.h"
#include "ZyConfig.h"
#include "ZyLog.h"
#include "Zyla.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>

namespace {
void check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "fuzz_shell: %s\n", what);
    abort();
  }
}

// The private directory the shell runs in, and the directory to go back
// to (libFuzzer names its corpus relative to it).
std::string theDirectory;
std::string theHome;

bool setUp() {
  Zyla::init(Zyla::SIGHANDLE_NONE, false, false);
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  // In memory where the system has such a file system, as the files the
  // shell saves are made and removed again on every run.
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  pattern += "/fuzz_shell_XXXXXX";
  check(mkdtemp(&pattern[0]) != nullptr, "no private directory");
  theDirectory = pattern;
  atexit([] { rmdir(theDirectory.c_str()); });
  char *home = getcwd(nullptr, 0);
  check(home != nullptr, "no working directory");
  theHome = home;
  free(home);
  ZyConfig *config = Zyla::getConfig();
  config->setBaseDirectory("./");
  config->setNoBlanksBetweenParams(true);
  registerTable(robotTable, config);
  registerTable(armTable, config);
  // What the shell prints is not looked at.
  return freopen("/dev/null", "w", stdout) != nullptr;
}

// Saving and restoring a parameter file take far longer than any other
// line (the file target covers them in depth), so an input is cut to
// LINE_LIMIT lines of at most INPUT_LIMIT bytes in all, and only its first two
// lines that name a file for "save", "r", "u" or "d" (or their long
// forms) keep the name (enough to save a file and restore it): later ones
// are cut after the command word.
const size_t LINE_LIMIT = 12;
const size_t INPUT_LIMIT = 1024;

bool isFileCommand(std::string word) {
  for (char &c : word)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return word == "save" || word == "r" || word == "restore" || word == "u" || word == "upload" ||
         word == "d" || word == "download";
}

std::string shellInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size < INPUT_LIMIT ? size : INPUT_LIMIT);
  std::string out;
  size_t lines = 0;
  int filesNamed = 0;
  size_t at = 0;
  while (at < text.size() && lines < LINE_LIMIT) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(at, end - at);
    at = end;
    ++lines;
    size_t begin = 0;
    while (begin < line.size() && isspace(static_cast<unsigned char>(line[begin])))
      ++begin;
    size_t stop = begin;
    while (stop < line.size() && !isspace(static_cast<unsigned char>(line[stop])))
      ++stop;
    if (isFileCommand(line.substr(begin, stop - begin))) {
      if (filesNamed == 2)
        line = line.substr(0, stop) + "\n";
      else
        ++filesNamed;
    }
    for (char &c : line)
      if (c == '/')
        c = '_';
    out += line;
  }
  return out;
}

void removeFiles() {
  DIR *dir = opendir(".");
  if (dir == nullptr)
    return;
  while (dirent *entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      unlink(entry->d_name);
  }
  closedir(dir);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  (void)ready;
  // No controller: the upload words read and check their file only.
  static ConnectOptions options;
  static RunOutcome outcome;
  static Session session(options, outcome, Session::Settings{theDirectory + "/.store"});
  outcome.update([](RunRecord &record) { record = RunRecord(); });
  std::string input = shellInput(data, size);
  // Every run starts from the same image, as a fresh start of the tool.
  memset(flashImage, 0, FLASH_IMAGE_SIZE);
  memset(referenceImage, 0, FLASH_IMAGE_SIZE);
  loadTextBuffers(robotTable);
  loadTextBuffers(armTable);

  FILE *in = input.empty() ? fopen("/dev/null", "r") : fmemopen(&input[0], input.size(), "r");
  check(in != nullptr, "cannot open the input as a stream");
  FILE *saved = stdin;
  stdin = in;
  check(chdir(theDirectory.c_str()) == 0, "cannot enter the private directory");
  runShell(&session);
  for (size_t at = 0; at < input.size();) {
    size_t end = input.find('\n', at);
    end = end == std::string::npos ? input.size() : end;
    Completion completion = completeShellLine(input.substr(at, end - at));
    check(completion.replaceLength <= end - at, "completion replaces more than was typed");
    at = end + 1;
  }
  removeFiles();
  check(chdir(theHome.c_str()) == 0, "cannot leave the private directory");
  stdin = saved;
  std::string history(reinterpret_cast<const char *>(data), size);
  for (const std::string &line : parseHistory(history, 1000, 255)) {
    check(!line.empty() && line.size() <= 255, "history line of a wrong length");
    for (char c : line)
      check(c >= 0x20 && c < 0x7f, "history line with a control or non-ASCII byte");
  }
  fclose(in);
  check(Zyla::getRunning(), "the shell stopped the library");
  return 0;
}
