// SPDX-License-Identifier: MIT
// The backup store: its location, its folders, and durable backups of the
// FLASH parameter block through ZySafeFile.
#include "BackupStore.h"

#include "ZySafeFile.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const int NAME_OFFSET = 141;
const int NAME_SIZE = 19;
const int SERIAL_OFFSET = 64;
const int SERIAL_SIZE = 31;
const int MAX_SAME_NAME = 20;

/// Makes one folder 0700 when missing; a new one is flushed into its
/// parent so that it survives a power cut.
bool makeFolder(const std::string &path, std::string *error) {
  if (mkdir(path.c_str(), 0700) == 0)
    return ZySafeFile::syncDirectoryOf(path) || (*error = strerror(errno), false);
  struct stat info;
  if (errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    return true;
  *error = "cannot make the folder '" + path + "': " + strerror(errno == EEXIST ? ENOTDIR : errno);
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

bool sameContent(const std::string &path, const unsigned char *block, int length) {
  FILE *file = fopen(path.c_str(), "rbe");
  if (file == nullptr)
    return false;
  unsigned char buffer[8192];
  size_t got = fread(buffer, 1, sizeof buffer, file);
  fclose(file);
  return got == static_cast<size_t>(length) && memcmp(buffer, block, got) == 0;
}
} // namespace

BackupStore::BackupStore(const std::string &directory)
    : myDirectory(directory.empty() ? defaultDirectory() : directory),
      myDefault(directory.empty()) {
  while (myDirectory.size() > 1 && myDirectory.back() == '/')
    myDirectory.pop_back();
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

bool BackupStore::prepare(std::string *error) {
  if (myDefault) {
    // The default store's parents (~/.local/state) are made as needed.
    for (size_t slash = myDirectory.find('/', 1); slash != std::string::npos;
         slash = myDirectory.find('/', slash + 1)) {
      std::string parent = myDirectory.substr(0, slash);
      struct stat info;
      if (stat(parent.c_str(), &info) != 0 && !makeFolder(parent, error))
        return false;
    }
  }
  return makeFolder(myDirectory, error) && makeFolder(myDirectory + "/backups", error);
}

bool BackupStore::save(const unsigned char *block, int length, const std::string &sha256,
                       std::string *path, std::string *error) {
  std::string folder = myDirectory + "/backups/" + robotFolderName(block);
  if (!makeFolder(folder, error))
    return false;
  char stamp[32];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string base = folder + "/" + stamp + "-" + sha256.substr(0, 12);
  for (int n = 1; n <= MAX_SAME_NAME; n++) {
    std::string name = base + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".blk";
    ZySafeFile file;
    bool saved = file.open(name, ZySafeFile::CreateNew, 0600) &&
                 file.write(block, static_cast<size_t>(length)) && file.commit();
    if (saved || (errno == EEXIST && sameContent(name, block, length))) {
      *path = name;
      return true;
    }
    int failure = errno;
    file.abandon();
    if (failure != EEXIST) {
      *error = "cannot write '" + name + "': " + strerror(failure);
      return false;
    }
  }
  *error = "too many backups named '" + base + "'";
  return false;
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

std::string robotFolderName(const unsigned char *block) {
  std::string name = safePart(blockText(block, NAME_OFFSET, NAME_SIZE));
  std::string serial = safePart(blockText(block, SERIAL_OFFSET, SERIAL_SIZE));
  if (name.empty())
    name = "unnamed";
  return serial.empty() ? name : name + "-" + serial;
}

std::string utcTimeText() {
  char text[32];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
