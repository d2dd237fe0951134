// SPDX-License-Identifier: MIT
// The backup store: its location, its folders (opened from the store's
// folder, never through a link, and kept its user's alone), durable
// backups of the FLASH parameter block through ZySafeFile's exact form,
// and the check of a backup before it is offered.
#include "BackupStore.h"

#include "ParamBlock.h"
#include "ZySafeFile.h"

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
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
const int MAX_SAME_NAME = 20;
const int BACKUP_SIZE = 4096;

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
  bool unsafe = false;
  if (!open(Access::Make, error, &unsafe))
    return false;
  std::string robot = robotFolderName(block);
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
      saved = true;
    } else if (failure != EEXIST) {
      failed = "cannot write '" + shownFolder + "/" + name + "': " + strerror(failure);
    }
  }
  close(folder);
  if (!saved)
    *error = !failed.empty() ? failed : "too many backups named '" + shownFolder + "/" + base + "'";
  return saved;
}

BackupStore::BackupCheck BackupStore::checkBackup(const std::string &path,
                                                  const std::string &sha256, std::string *why) {
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
  return found;
}

std::string BackupStore::sameBlockBackup(const std::string &name, const std::string &serial,
                                         const std::string &sha256, const std::string &path) const {
  if (sha256.empty())
    return "";
  std::string folder = myDirectory + "/backups/" + robotFolderName(name, serial);
  std::vector<std::string> names;
  if (DIR *dir = opendir(folder.c_str())) {
    while (struct dirent *entry = readdir(dir)) {
      std::string file = entry->d_name;
      if (file.size() > 4 && file[0] != '.' && file.compare(file.size() - 4, 4, ".blk") == 0)
        names.push_back(file);
    }
    closedir(dir);
  }
  // Named by their time: the newest first.
  std::sort(names.rbegin(), names.rend());
  std::string why;
  for (const std::string &file : names) {
    std::string full = folder + "/" + file;
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
  ParamField name = robotNameField();
  ParamField serial = serialNumberField();
  return robotFolderName(blockText(block, name.offset, name.size),
                         blockText(block, serial.offset, serial.size));
}

std::string utcTimeText() {
  char text[32];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
