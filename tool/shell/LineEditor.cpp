// SPDX-License-Identifier: MIT
// Operator input: libedit on a terminal, readInputLine elsewhere, history
// kept between runs, and the wake-up of the reader by a terminating signal.
#include "LineEditor.h"

#include "ScreenLine.h"
#include "ShellCompletion.h"
#include "ZyFunctor.h"
#include "ZyLog.h"
#include "ZySafeFile.h"
#include "Zyla.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
const size_t HISTORY_LINES = 1000;
const int POLL_MS = 250; // a wait for input looks at the stop request this often

bool gKeepHistory = true;

// The wake-up pipe of the StopWakeup alive.
std::atomic<int> gWakeWrite{-1};
std::atomic<int> gWakeRead{-1};

void wakeReader() {
  // Called on the signal's thread: a plain write only.
  int fd = gWakeWrite.load();
  if (fd >= 0 && write(fd, "x", 1) < 0) {
    // A full pipe has a wake-up waiting already.
  }
}

bool stopAsked() {
  return Zyla::stopRequest() != 0;
}

/// Waits until fd can be read, or a stop is asked; false on a stop.
bool waitReadable(int fd) {
  int wake = gWakeRead.load();
  for (;;) {
    if (stopAsked())
      return false;
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    int ready = poll(fds, wake >= 0 ? 2 : 1, POLL_MS);
    if (ready < 0 && errno != EINTR)
      return true; // let the read report it
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
      char drain[16];
      if (read(wake, drain, sizeof drain) < 0) {
        // Empty already.
      }
    }
    if (ready > 0 && fds[0].revents != 0)
      return !stopAsked();
  }
}

/// True when the stream has read ahead bytes not yet taken.
bool hasBufferedInput(FILE *stream) {
#ifdef __GLIBC__
  return stream->_IO_read_ptr < stream->_IO_read_end;
#else
  (void)stream;
  return true; // unknown: read at once, as before
#endif
}

/// The line editor on the terminal, made on the first line read there.
struct TerminalEditor {
  EditLine *el = nullptr;
  History *history = nullptr;
  std::string prompt;
  LineUse use = LineUse::command;
  struct termios saved;
  bool haveSaved = false;
  std::atomic<bool> editing{false};
  std::string historyFile;
  std::deque<std::string> kept;
  bool historyFailed = false;
};

TerminalEditor *gEditor = nullptr;

char *editorPrompt(EditLine *el) {
  TerminalEditor *editor = nullptr;
  el_get(el, EL_CLIENTDATA, &editor);
  return const_cast<char *>(editor->prompt.c_str());
}

/// One character from the terminal, or -1 when a stop was asked.
int editorGetc(EditLine * /*el*/, wchar_t *c) {
  for (;;) {
    if (!waitReadable(STDIN_FILENO)) {
      errno = ECANCELED;
      return -1;
    }
    unsigned char byte;
    ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 0)
      return 0;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN)
        continue;
      return -1;
    }
    // The shell's words and values are plain ASCII; other bytes are
    // dropped rather than shown wrongly.
    if (byte >= 0x80)
      continue;
    *c = static_cast<wchar_t>(byte);
    return 1;
  }
}

unsigned char editorComplete(EditLine *el, int /*ch*/) {
  TerminalEditor *editor = nullptr;
  el_get(el, EL_CLIENTDATA, &editor);
  if (editor->use != LineUse::command)
    return CC_REFRESH_BEEP;
  const LineInfo *info = el_line(el);
  Completion completion = completeShellLine(
      std::string(info->buffer, static_cast<size_t>(info->cursor - info->buffer)));
  if (completion.replaceLength > 0)
    el_deletestr(el, static_cast<int>(completion.replaceLength));
  if (!completion.replacement.empty())
    el_insertstr(el, completion.replacement.c_str());
  if (!completion.shown.empty()) {
    fputs("\n", stdout);
    for (const std::string &line : completion.shown)
      printf("%s\n", line.c_str());
    fflush(stdout);
    return CC_REDISPLAY;
  }
  return completion.replacement.empty() ? CC_REFRESH_BEEP : CC_REFRESH;
}

/// Exit callback: a run that ends while the line is edited (a fault, an
/// exit from the signal's thread) leaves the terminal as it found it.
void restoreTerminal() {
  if (gEditor != nullptr && gEditor->haveSaved && gEditor->editing.load())
    tcsetattr(STDIN_FILENO, TCSADRAIN, &gEditor->saved);
}

void saveHistory(TerminalEditor &editor) {
  if (editor.historyFile.empty() || editor.historyFailed)
    return;
  std::vector<std::string> lines(editor.kept.begin(), editor.kept.end());
  if (!writeHistory(editor.historyFile, lines)) {
    // Said once; the shell goes on without keeping its lines.
    editor.historyFailed = true;
    ZyLog::log(ZyLog::Normal,
               "Could not write the shell history to '%s': %s. Check that directory, or use "
               "--no-history.",
               editor.historyFile.c_str(), strerror(errno));
  }
}

void loadHistory(TerminalEditor &editor) {
  editor.historyFile = historyPath();
  if (editor.historyFile.empty())
    return;
  // Only a regular file of the user's: neither a link is read through nor
  // can anything at its place (a named pipe) make the shell wait.
  int fd = open(editor.historyFile.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;
  struct stat info;
  std::string content;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid()) {
    char buffer[4096];
    ssize_t got;
    // A bound on what is read: far more than 1,000 lines of 255 characters.
    while ((got = read(fd, buffer, sizeof buffer)) > 0 && content.size() < (8u << 20))
      content.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  HistEvent event;
  for (const std::string &line : parseHistory(content, HISTORY_LINES, 255)) {
    editor.kept.push_back(line);
    history(editor.history, &event, H_ENTER, line.c_str());
  }
}

TerminalEditor *terminalEditor() {
  if (gEditor != nullptr)
    return gEditor;
  TerminalEditor *editor = new TerminalEditor;
  editor->haveSaved = tcgetattr(STDIN_FILENO, &editor->saved) == 0;
  editor->el = el_init("orvexconf", stdin, stdout, stderr);
  if (editor->el == nullptr) {
    delete editor;
    return nullptr;
  }
  EditLine *el = editor->el;
  el_set(el, EL_CLIENTDATA, editor);
  el_set(el, EL_EDITOR, "emacs");
  // The run's own signal thread handles signals; libedit keeps out.
  el_set(el, EL_SIGNAL, 0);
  el_set(el, EL_PROMPT, &editorPrompt);
  el_set(el, EL_GETCFN, &editorGetc);
  editor->history = history_init();
  HistEvent event;
  history(editor->history, &event, H_SETSIZE, static_cast<int>(HISTORY_LINES));
  history(editor->history, &event, H_SETUNIQUE, 1);
  el_set(el, EL_HIST, history, editor->history);
  el_set(el, EL_ADDFN, "orvex-complete", "Complete a word of the shell", &editorComplete);
  el_set(el, EL_BIND, "^I", "orvex-complete", nullptr);
  el_set(el, EL_BIND, "^R", "em-inc-search-prev", nullptr);
  el_set(el, EL_BIND, "^W", "ed-delete-prev-word", nullptr);
  el_set(el, EL_BIND, "^U", "vi-kill-line-prev", nullptr);
  gEditor = editor;
  static ZyGlobalFunctor restore(&restoreTerminal);
  restore.setName("restoreTerminal");
  Zyla::addExitCallback(&restore, 90);
  if (gKeepHistory)
    loadHistory(*editor);
  return editor;
}

InputLine readTerminalLine(TerminalEditor &editor, const char *prompt, char *line, int size,
                           LineUse use) {
  editor.prompt = prompt;
  editor.use = use;
  el_resize(editor.el);
  int count = 0;
  setScreenLineOpen(true);
  editor.editing = true;
  const char *text = el_gets(editor.el, &count);
  editor.editing = false;
  setScreenLineOpen(false);
  if (text == nullptr || count <= 0) {
    line[0] = '\0';
    if (stopAsked())
      return InputLine::stopped;
    // End of input (Ctrl-D on an empty line) leaves the cursor after the
    // prompt; what follows starts on a line of its own.
    fputs("\n", stdout);
    return InputLine::end;
  }
  size_t length = strcspn(text, "\r\n");
  if (length > static_cast<size_t>(size - 1)) {
    line[0] = '\0';
    return InputLine::tooLong;
  }
  memcpy(line, text, length);
  line[length] = '\0';
  // Recalled in this run, to be put right; kept in the file only once the
  // shell took it (rememberShellLine).
  if (use == LineUse::command && gKeepHistory && length > 0) {
    HistEvent event;
    history(editor.history, &event, H_ENTER, line);
  }
  return InputLine::line;
}

bool makeDirectories(const std::string &directory) {
  struct stat info;
  if (directory.empty() || stat(directory.c_str(), &info) == 0)
    return true;
  size_t slash = directory.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeDirectories(directory.substr(0, slash)))
    return false;
  return mkdir(directory.c_str(), 0700) == 0 || errno == EEXIST;
}
} // namespace

void rememberShellLine(const char *line) {
  TerminalEditor *editor = gEditor;
  if (editor == nullptr || !gKeepHistory || line[0] == '\0')
    return;
  if (!editor->kept.empty() && editor->kept.back() == line)
    return;
  editor->kept.push_back(line);
  while (editor->kept.size() > HISTORY_LINES)
    editor->kept.pop_front();
  saveHistory(*editor);
}

void setShellHistory(bool keep) {
  gKeepHistory = keep;
}

InputLine readOperatorLine(const char *prompt, char *line, int size, LineUse use) {
  if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && fileno(stdin) == STDIN_FILENO) {
    TerminalEditor *editor = terminalEditor();
    if (editor != nullptr)
      return readTerminalLine(*editor, prompt, line, size, use);
  }
  if (prompt[0] != '\0') {
    printf("%s", prompt);
    fflush(stdout);
    setScreenLineOpen(true);
  }
  // With a wake-up in place, the wait for the next line can be ended by a
  // signal; what the stream has read ahead is taken at once.
  if (gWakeRead.load() >= 0 && fileno(stdin) >= 0 && !hasBufferedInput(stdin) &&
      !waitReadable(fileno(stdin))) {
    setScreenLineOpen(false);
    line[0] = '\0';
    return InputLine::stopped;
  }
  InputLine read = readInputLine(stdin, line, size);
  setScreenLineOpen(false);
  return read;
}

StopWakeup::StopWakeup() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    gWakeRead = fds[0];
    gWakeWrite = fds[1];
  }
  Zyla::setStopWaker(&wakeReader);
  endScreenLineBeforeSignalNotices();
}

StopWakeup::~StopWakeup() {
  Zyla::setStopWaker(nullptr);
  int writeEnd = gWakeWrite.exchange(-1);
  int readEnd = gWakeRead.exchange(-1);
  if (writeEnd >= 0)
    close(writeEnd);
  if (readEnd >= 0)
    close(readEnd);
}

std::string historyPath() {
  const char *state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/')
    return std::string(state) + "/orvexconf/history";
  const char *home = getenv("HOME");
  if (home != nullptr && home[0] == '/')
    return std::string(home) + "/.local/state/orvexconf/history";
  return "";
}

std::vector<std::string> parseHistory(const std::string &content, size_t limit, size_t maxLength) {
  std::deque<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos)
      end = content.size();
    size_t length = end - start;
    if (length > 0 && content[end - 1] == '\r')
      length--;
    bool usable = length > 0 && length <= maxLength;
    for (size_t i = start; usable && i < start + length; i++) {
      unsigned char c = static_cast<unsigned char>(content[i]);
      usable = c >= 0x20 && c < 0x7f;
    }
    if (usable) {
      lines.emplace_back(content, start, length);
      if (lines.size() > limit)
        lines.pop_front();
    }
    start = end + 1;
  }
  return std::vector<std::string>(lines.begin(), lines.end());
}

bool writeHistory(const std::string &path, const std::vector<std::string> &lines) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || !makeDirectories(path.substr(0, slash)))
    return false;
  // The history's folder must be the user's: under sudo with another
  // user's XDG_STATE_HOME nothing is written there.
  std::string folder = path.substr(0, slash == 0 ? 1 : slash);
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info;
  if (dir < 0)
    return false;
  if (fstat(dir, &info) != 0 || info.st_uid != geteuid()) {
    close(dir);
    errno = EPERM;
    return false;
  }
  std::string content;
  for (const std::string &line : lines)
    content += line + "\n";
  // A link at the history's place is replaced, never written through.
  ZySafeFile file;
  bool ok = file.openExactIn(dir, path.substr(slash + 1), ZySafeFile::Replace, 0600, path) &&
            file.write(content.data(), content.size()) && file.commit();
  int error = errno;
  file.abandon();
  close(dir);
  errno = error;
  return ok;
}
