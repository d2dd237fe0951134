// SPDX-License-Identifier: MIT
// The backup store: its location, its folders (opened from the store's
// folder, never through a link, and kept its user's alone), the choice of
// a controller's folder, durable backups of the FLASH parameter block and
// the folder's index through ZySafeFile's exact form, and the check of a
// backup before it is offered.
#include "BackupStore.h"

#include "JsonLines.h"
#include "ParamBlock.h"
#include "ZySafeFile.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

const char *const UNKNOWN_SERIAL_FOLDER = "unknown-serial";

namespace {
const int MAX_SAME_NAME = 20;
const int BACKUP_SIZE = 4096;
const char *const INDEX_NAME = "index.jsonl";
/// Largest index read: some hundred thousand backups.
const off_t INDEX_MAX_BYTES = 64 * 1024 * 1024;
/// Folders that may take a SerNum whose own name another controller holds.
const int MAX_FOLDER_SUFFIX = 20;
/// How long a save waits for another run's index update (in 10 ms steps).
const int INDEX_LOCK_TRIES = 500;

std::string modeText(mode_t mode) {
  char text[8];
  snprintf(text, sizeof text, "0%o", static_cast<unsigned>(mode & 07777));
  return text;
}

/// Checks a folder of the store, open as fd: it must be the user's, and
/// nobody else may write it; it is tightened to 0700 unless access is Look.
bool ownFolder(int fd, const std::string &path, BackupStore::Access access, std::string *error,
               bool *unsafe) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *error = "cannot look at '" + path + "': " + strerror(errno);
    return false;
  }
  if (info.st_uid != geteuid()) {
    *error = "'" + path + "' belongs to another user (uid " + std::to_string(info.st_uid) +
             "), not to the user running orvexconf (uid " + std::to_string(geteuid()) + ")";
    *unsafe = true;
    return false;
  }
  if ((info.st_mode & 07777) == 0700)
    return true;
  if (access != BackupStore::Access::Look && fchmod(fd, 0700) == 0)
    return true;
  int failure = errno;
  // Readable by others only: nothing can have been planted in it.
  if ((info.st_mode & 022) == 0)
    return true;
  *error = "'" + path + "' can be written by others (mode " + modeText(info.st_mode) + ")" +
           (access == BackupStore::Access::Look
                ? std::string()
                : std::string(" and cannot be made 0700: ") + strerror(failure));
  *unsafe = true;
  return false;
}

std::string safePart(const std::string &text) {
  std::string out;
  for (char c : text)
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || (c == '.' && !out.empty()))
      out.push_back(c);
  return out;
}

/// True when the file name in folder is a regular file of the user's that
/// holds exactly block.
bool sameContent(int folder, const std::string &name, const unsigned char *block, int length) {
  int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat info;
  unsigned char buffer[8192];
  bool same = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
              info.st_size == length && read(fd, buffer, sizeof buffer) == length &&
              memcmp(buffer, block, static_cast<size_t>(length)) == 0;
  close(fd);
  return same;
}

std::string absolute(const std::string &path) {
  if (path.empty() || path[0] == '/')
    return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr)
    return path;
  std::string base = cwd;
  std::string rest = path;
  while (rest.compare(0, 2, "./") == 0)
    rest.erase(0, 2);
  return (base == "/" ? "" : base) + "/" + rest;
}

bool isBlockName(const std::string &name) {
  return name.size() > 4 && name[0] != '.' && name.compare(name.size() - 4, 4, ".blk") == 0;
}

/// The names in the folder open as fd (which stays the caller's), sorted;
/// hidden ones left out.
std::vector<std::string> namesIn(int fd) {
  std::vector<std::string> names;
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  DIR *dir = copy >= 0 ? fdopendir(copy) : nullptr;
  if (dir == nullptr) {
    if (copy >= 0)
      close(copy);
    return names;
  }
  while (struct dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.')
      names.push_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

/// A regular file of the user's named name in folder, opened without
/// following a link or waiting; -1 (errno set) otherwise.
int openOwnFile(int folder, const char *name, struct stat *info) {
  int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return -1;
  if (fstat(fd, info) != 0 || !S_ISREG(info->st_mode) || info->st_uid != geteuid()) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

/// The SerNum of the backup name in folder, from its bytes; "" when it is
/// not a backup of the user's or holds no SerNum.
std::string serialOfBackup(int folder, const std::string &name) {
  struct stat info;
  int fd = openOwnFile(folder, name.c_str(), &info);
  if (fd < 0)
    return "";
  unsigned char block[BACKUP_SIZE] = {};
  bool whole = info.st_size == BACKUP_SIZE && pread(fd, block, BACKUP_SIZE, 0) == BACKUP_SIZE;
  close(fd);
  return whole && serialKnown(block) ? blockSerial(block) : "";
}

/// Reads the index of the folder open as fd into *folder.
void readIndex(int fd, BackupFolder *folder) {
  struct stat info;
  int index = openOwnFile(fd, INDEX_NAME, &info);
  if (index < 0) {
    if (errno != ENOENT)
      folder->problem = "'" + folder->path + "/" + INDEX_NAME +
                        "' is not a regular file of the user's; it is not read";
    return;
  }
  if (info.st_size > INDEX_MAX_BYTES) {
    folder->problem = "'" + folder->path + "/" + INDEX_NAME + "' is too large to be an index";
    close(index);
    return;
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(index, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0 || content.size() + static_cast<size_t>(got) > INDEX_MAX_BYTES)
      break;
    content.append(buffer, static_cast<size_t>(got));
  }
  close(index);
  std::istringstream in(content);
  folder->index = parseBackupIndex(in, &folder->skippedLines);
  folder->hasIndex = true;
}
} // namespace

BackupStore::BackupStore(const std::string &directory)
    : myDirectory(absolute(directory.empty() ? defaultDirectory() : directory)),
      myDefault(directory.empty()) {
  while (myDirectory.size() > 1 && myDirectory.back() == '/')
    myDirectory.pop_back();
}

BackupStore::~BackupStore() {
  if (myBackupsFd >= 0)
    close(myBackupsFd);
  if (myFd >= 0)
    close(myFd);
}

std::string BackupStore::defaultDirectory() {
  // Relative values are not to be used, by the base directory rules.
  const char *state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/')
    return std::string(state) + "/orvexconf";
  const char *home = getenv("HOME");
  std::string base = home != nullptr && home[0] != '\0' ? home : "";
  if (base.empty()) {
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
      base = found->pw_dir;
  }
  if (base.empty())
    base = "/";
  if (base.back() == '/')
    base.pop_back();
  return base + "/.local/state/orvexconf";
}

bool BackupStore::openFolder(int parent, const std::string &name, const std::string &path,
                             Access access, int *fd, std::string *error, bool *unsafe) const {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  *fd = openat(parent, name.c_str(), flags);
  if (*fd < 0 && errno == ENOENT && access == Access::Make) {
    if (mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot make the folder '" + path + "': " + strerror(errno);
      return false;
    }
    // A new folder is flushed into its parent so that it survives a power
    // cut.
    if (!ZySafeFile::syncDirectory(parent)) {
      *error = "cannot make the folder '" + path + "': " + strerror(errno);
      return false;
    }
    *fd = openat(parent, name.c_str(), flags);
  }
  if (*fd < 0) {
    int failure = errno;
    if (failure == ENOENT && access != Access::Make)
      return true;
    struct stat info;
    if (fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
      *error = "'" + path + "' is a symbolic link; the store's folders must be its own";
      *unsafe = true;
    } else {
      *error = "cannot make the folder '" + path + "': " + strerror(failure);
    }
    return false;
  }
  if (!ownFolder(*fd, path, access, error, unsafe)) {
    close(*fd);
    *fd = -1;
    return false;
  }
  return true;
}

bool BackupStore::open(Access access, std::string *error, bool *unsafe) {
  bool ignored = false;
  if (unsafe == nullptr)
    unsafe = &ignored;
  *unsafe = false;
  if (myFd >= 0 && access <= myAccess)
    return true;
  if (myFd < 0) {
    if (myDefault && access == Access::Make) {
      // The default store's parents (~/.local/state) are made as needed.
      for (size_t slash = myDirectory.find('/', 1); slash != std::string::npos;
           slash = myDirectory.find('/', slash + 1)) {
        std::string parent = myDirectory.substr(0, slash);
        struct stat info;
        if (stat(parent.c_str(), &info) != 0 && mkdir(parent.c_str(), 0700) != 0 &&
            errno != EEXIST) {
          *error = "cannot make the folder '" + parent + "': " + strerror(errno);
          return false;
        }
      }
    }
    // The folders above the store are the user's choice and are followed;
    // the store's own folder is not.
    size_t slash = myDirectory.rfind('/');
    std::string parentPath = slash == 0 ? "/" : myDirectory.substr(0, slash);
    std::string name = myDirectory.substr(slash + 1);
    int parent = ::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) {
      if (errno == ENOENT && access != Access::Make)
        return true;
      *error = "cannot make the folder '" + myDirectory + "': " + strerror(errno);
      return false;
    }
    bool opened = name.empty()
                      ? (myFd = fcntl(parent, F_DUPFD_CLOEXEC, 0)) >= 0 &&
                            ownFolder(myFd, myDirectory, access, error, unsafe)
                      : openFolder(parent, name, myDirectory, access, &myFd, error, unsafe);
    close(parent);
    if (!opened || myFd < 0)
      return opened;
  } else if (!ownFolder(myFd, myDirectory, access, error, unsafe)) {
    return false;
  }
  myAccess = access;
  if (access == Access::Make && myBackupsFd < 0)
    return openFolder(myFd, "backups", myDirectory + "/backups", access, &myBackupsFd, error,
                      unsafe);
  return true;
}

bool BackupStore::save(const unsigned char *block, int length, const std::string &sha256,
                       std::string *path, std::string *error) {
  BackupIndexEntry about;
  about.time = utcTimeText();
  return save(block, length, sha256, about, path, error);
}

bool BackupStore::save(const unsigned char *block, int length, const std::string &sha256,
                       const BackupIndexEntry &about, std::string *path, std::string *error) {
  bool unsafe = false;
  if (!open(Access::Make, error, &unsafe))
    return false;
  BackupIndexEntry entry = about;
  ParamField name = robotNameField();
  ParamField serial = serialNumberField();
  bool nameFits = length >= name.offset + name.size;
  bool serialFits = length >= serial.offset + serial.size;
  entry.name = nameFits ? blockName(block) : "";
  entry.serial = serialFits ? blockSerial(block) : "";
  bool known = serialFits && serialKnown(block);
  if (!known)
    entry.serial.clear();
  entry.sha256 = sha256;
  if (entry.time.empty())
    entry.time = utcTimeText();
  std::string robot = controllerFolder(entry.serial, known);
  std::string shownFolder = myDirectory + "/backups/" + robot;
  int folder = -1;
  if (!openFolder(myBackupsFd, robot, shownFolder, Access::Make, &folder, error, &unsafe))
    return false;
  char stamp[32];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string base = std::string(stamp) + "-" + sha256.substr(0, 12);
  bool saved = false;
  std::string failed;
  for (int n = 1; n <= MAX_SAME_NAME && !saved && failed.empty(); n++) {
    std::string name = base + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".blk";
    ZySafeFile file;
    bool written =
        file.openExactIn(folder, name, ZySafeFile::CreateNew, 0600, shownFolder + "/" + name) &&
        file.write(block, static_cast<size_t>(length)) && file.commit();
    int failure = errno;
    file.abandon();
    if (written || (failure == EEXIST && sameContent(folder, name, block, length))) {
      *path = shownFolder + "/" + name;
      entry.file = name;
      saved = true;
    } else if (failure != EEXIST) {
      failed = "cannot write '" + shownFolder + "/" + name + "': " + strerror(failure);
    }
  }
  if (!saved)
    *error = !failed.empty() ? failed : "too many backups named '" + shownFolder + "/" + base + "'";
  else if (!appendIndex(folder, shownFolder, entry, error))
    saved = false;
  close(folder);
  return saved;
}

bool BackupStore::appendIndex(int folder, const std::string &shownFolder,
                              const BackupIndexEntry &entry, std::string *error) const {
  std::string shown = shownFolder + "/" + INDEX_NAME;
  std::string line;
  try {
    nlohmann::json object = {
        {"file", entry.file},          {"time", entry.time},           {"name", entry.name},
        {"serial", entry.serial},      {"sha256", entry.sha256},       {"port", entry.port},
        {"port_path", entry.portPath}, {"port_by_id", entry.portById}, {"id", entry.id},
        {"version", entry.version}};
    line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  } catch (const std::exception &e) {
    *error = std::string("cannot make the index line: ") + e.what();
    return false;
  }
  // Two runs that save into one folder at once (the shared one) take
  // turns: each puts the whole index in place with its own line added.
  // A lock that stays taken is waited for a few seconds only; a line may
  // then be lost, never a backup.
  for (int i = 0; i < INDEX_LOCK_TRIES && flock(folder, LOCK_EX | LOCK_NB) != 0; i++)
    usleep(10000);
  // Only an index the store made is added to: a link or anything but a
  // regular file of the user's at its place is refused.
  struct stat info;
  bool exists = fstatat(folder, INDEX_NAME, &info, AT_SYMLINK_NOFOLLOW) == 0;
  std::string wrong;
  if (!exists && errno != ENOENT)
    wrong = std::string("cannot look at it: ") + strerror(errno);
  else if (exists && S_ISLNK(info.st_mode))
    wrong = "it is a symbolic link; the store's files must be its own";
  else if (exists && !S_ISREG(info.st_mode))
    wrong = "it is not a regular file";
  else if (exists && info.st_uid != geteuid())
    wrong = "it belongs to another user (uid " + std::to_string(info.st_uid) + ")";
  else if (exists && info.st_size > INDEX_MAX_BYTES)
    wrong = "it is too large to be an index";
  bool ok = wrong.empty();
  if (ok) {
    ZySafeFile file;
    ok = file.openExactIn(folder, INDEX_NAME, exists ? ZySafeFile::Append : ZySafeFile::CreateNew,
                          0600, shown) &&
         file.write(line.data(), line.size()) && file.commit();
    if (!ok)
      wrong = strerror(errno);
    file.abandon();
  }
  flock(folder, LOCK_UN);
  if (!ok)
    *error = "cannot write '" + shown + "': " + wrong;
  return ok;
}

std::string BackupStore::controllerFolder(const std::string &serial, bool known) const {
  if (!known || !serialKnown(serial))
    return UNKNOWN_SERIAL_FOLDER;
  std::string own = serialFolderName(serial);
  std::vector<BackupFolder> found = folders();
  const BackupFolder *best = nullptr;
  auto newest = [](const BackupFolder &f) { return f.blocks.empty() ? "" : f.blocks.back(); };
  for (const BackupFolder &folder : found) {
    if (folder.serial != serial || !folder.problem.empty() || folder.name == UNKNOWN_SERIAL_FOLDER)
      continue;
    if (best == nullptr) {
      best = &folder;
      continue;
    }
    // An index first (the folder chosen before), then the SerNum's own
    // name, then the newest backup; the first name for the rest.
    auto rank = [&](const BackupFolder &f) {
      return std::make_tuple(f.hasIndex && !f.index.empty(), f.name == own, newest(f));
    };
    if (rank(folder) > rank(*best))
      best = &folder;
  }
  if (best != nullptr)
    return best->name;
  // A new folder; a name whose folder holds another controller's backups
  // is passed over. Anything else there (a link, a file) is the store's
  // fault, and making the folder refuses it.
  for (int n = 1; n <= MAX_FOLDER_SUFFIX; n++) {
    std::string name = n == 1 ? own : own + "~" + std::to_string(n);
    auto taken = std::find_if(found.begin(), found.end(), [&name](const BackupFolder &f) {
      return f.name == name && (!f.blocks.empty() || !f.index.empty());
    });
    if (taken == found.end())
      return name;
  }
  return own;
}

std::vector<BackupFolder> BackupStore::folders() const {
  std::vector<BackupFolder> found;
  if (myFd < 0)
    return found;
  std::string error;
  bool unsafe = false;
  int backups = -1;
  if (!openFolder(myFd, "backups", myDirectory + "/backups", Access::Look, &backups, &error,
                  &unsafe) ||
      backups < 0)
    return found;
  for (const std::string &name : namesIn(backups)) {
    struct stat info;
    if (fstatat(backups, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !(S_ISDIR(info.st_mode) || S_ISLNK(info.st_mode)))
      continue;
    BackupFolder folder;
    folder.name = name;
    folder.path = myDirectory + "/backups/" + name;
    int fd = -1;
    if (!openFolder(backups, name, folder.path, Access::Look, &fd, &folder.problem, &unsafe) ||
        fd < 0) {
      if (folder.problem.empty())
        folder.problem = "'" + folder.path + "' cannot be read";
      found.push_back(folder);
      continue;
    }
    for (const std::string &file : namesIn(fd))
      if (isBlockName(file))
        folder.blocks.push_back(file);
    readIndex(fd, &folder);
    for (const BackupIndexEntry &entry : folder.index)
      if (!entry.serial.empty()) {
        folder.serial = entry.serial;
        break;
      }
    // A folder of an earlier version has no index: its backups say whose
    // it is (the newest that can be read).
    if (folder.index.empty() && name != UNKNOWN_SERIAL_FOLDER)
      for (auto block = folder.blocks.rbegin();
           block != folder.blocks.rend() && folder.serial.empty(); ++block)
        folder.serial = serialOfBackup(fd, *block);
    close(fd);
    found.push_back(folder);
  }
  close(backups);
  return found;
}

BackupStore::BackupCheck BackupStore::checkBackup(const std::string &path,
                                                  const std::string &sha256, std::string *why) {
  return readBackup(path, sha256, nullptr, why);
}

BackupStore::BackupCheck BackupStore::readBackup(const std::string &path, const std::string &sha256,
                                                 std::vector<unsigned char> *bytes,
                                                 std::string *why) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return BackupCheck::Missing;
    *why = errno == ELOOP ? "it is a symbolic link"
                          : std::string("it cannot be read: ") + strerror(errno);
    return BackupCheck::Altered;
  }
  struct stat info;
  unsigned char block[BACKUP_SIZE + 1];
  BackupCheck found = BackupCheck::Altered;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    *why = "it is not a regular file";
  else if (info.st_uid != geteuid())
    *why = "it belongs to another user";
  else if (info.st_size != BACKUP_SIZE)
    *why = "it holds " + std::to_string(static_cast<long long>(info.st_size)) + " bytes, not 4096";
  else if (sha256.empty())
    found = BackupCheck::Unchecked;
  else if (read(fd, block, sizeof block) != BACKUP_SIZE || sha256Hex(block, BACKUP_SIZE) != sha256)
    *why = "its SHA-256 is not the one recorded";
  else
    found = BackupCheck::Good;
  close(fd);
  if (found == BackupCheck::Good && bytes != nullptr)
    bytes->assign(block, block + BACKUP_SIZE);
  return found;
}

std::string BackupStore::sameBlockBackup(const std::string &name, const std::string &serial,
                                         const std::string &sha256, const std::string &path) const {
  if (sha256.empty())
    return "";
  // The robot's backups: the folder earlier versions named after it, the
  // folder of the backup that is gone, and every folder of its SerNum.
  std::vector<std::string> candidates = {robotFolderName(name, serial)};
  std::string prefix = myDirectory + "/backups/";
  if (path.compare(0, prefix.size(), prefix) == 0 &&
      path.find('/', prefix.size()) != std::string::npos)
    candidates.push_back(path.substr(prefix.size(), path.find('/', prefix.size()) - prefix.size()));
  if (serialKnown(serial))
    for (const BackupFolder &folder : folders())
      if (folder.serial == serial)
        candidates.push_back(folder.name);
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  std::vector<std::pair<std::string, std::string>> backups; // file, folder
  for (const std::string &folder : candidates)
    if (DIR *dir = opendir((prefix + folder).c_str())) {
      while (struct dirent *entry = readdir(dir))
        if (isBlockName(entry->d_name))
          backups.emplace_back(entry->d_name, folder);
      closedir(dir);
    }
  // Named by their time: the newest first.
  std::sort(backups.rbegin(), backups.rend());
  std::string why;
  for (const auto &[file, folder] : backups) {
    std::string full = prefix + folder + "/" + file;
    if (full != path && checkBackup(full, sha256, &why) == BackupCheck::Good)
      return full;
  }
  return "";
}

std::string sha256Hex(const unsigned char *data, size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(data, length, digest, &digestLength, EVP_sha256(), nullptr) != 1)
    return "";
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < digestLength; i++) {
    hex.push_back(digits[digest[i] >> 4]);
    hex.push_back(digits[digest[i] & 15]);
  }
  return hex;
}

std::string blockText(const unsigned char *block, int offset, int size) {
  const char *text = reinterpret_cast<const char *>(block + offset);
  std::string out(text, strnlen(text, static_cast<size_t>(size)));
  // An erased or damaged field prints as question marks, not as raw bytes.
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
      c = '?';
  return out;
}

std::string robotFolderName(const std::string &name, const std::string &serial) {
  std::string robot = safePart(name);
  std::string number = safePart(serial);
  if (robot.empty())
    robot = "unnamed";
  return number.empty() ? robot : robot + "-" + number;
}

std::string robotFolderName(const unsigned char *block) {
  return robotFolderName(blockName(block), blockSerial(block));
}

std::string blockSerial(const unsigned char *block) {
  ParamField serial = serialNumberField();
  return blockText(block, serial.offset, serial.size);
}

std::string blockName(const unsigned char *block) {
  ParamField name = robotNameField();
  return blockText(block, name.offset, name.size);
}

bool serialKnown(const unsigned char *block) {
  ParamField serial = serialNumberField();
  if (block[serial.offset] == 0)
    return false;
  // Erased bytes before the terminator: an erased field, or one a write
  // cut in the middle.
  for (int i = 0; i < serial.size && block[serial.offset + i] != 0; i++)
    if (block[serial.offset + i] == 0xFF)
      return false;
  return true;
}

bool serialKnown(const std::string &serial) {
  return serial.find_first_not_of('?') != std::string::npos;
}

std::string serialFolderName(const std::string &serial) {
  if (!serialKnown(serial))
    return UNKNOWN_SERIAL_FOLDER;
  static const char digits[] = "0123456789abcdef";
  std::string name;
  for (char c : serial) {
    unsigned char byte = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || (c == '.' && !name.empty())) {
      name.push_back(c);
    } else {
      name.push_back('%');
      name.push_back(digits[byte >> 4]);
      name.push_back(digits[byte & 15]);
    }
  }
  // A SerNum spelt like the shared folder gets a name of its own.
  if (name == UNKNOWN_SERIAL_FOLDER)
    name.replace(0, 1, "%75");
  return name;
}

std::vector<BackupIndexEntry> parseBackupIndex(std::istream &in, std::vector<int> *skipped) {
  std::vector<BackupIndexEntry> entries;
  forEachJsonLine(in, skipped, [&entries](const nlohmann::json &line, int number) {
    BackupIndexEntry entry;
    entry.file = jsonText(line, "file");
    entry.time = jsonText(line, "time");
    entry.name = jsonText(line, "name");
    entry.serial = jsonText(line, "serial");
    entry.sha256 = jsonText(line, "sha256");
    entry.port = jsonText(line, "port");
    entry.portPath = jsonText(line, "port_path");
    entry.portById = jsonText(line, "port_by_id");
    entry.id = jsonText(line, "id");
    entry.version = jsonText(line, "version");
    entry.line = number;
    entries.push_back(entry);
  });
  return entries;
}

std::string utcTimeText() {
  char text[32];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
