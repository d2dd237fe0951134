// SPDX-License-Identifier: MIT
// The operator's explanation of a serial port that cannot be opened.
#include "PortAdvice.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <glob.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

/// The process holding an advisory lock on the file, from the kernel's
/// table of locks; 0 when none is found.
int findLockHolder(const struct stat &port) {
  FILE *locks = fopen("/proc/locks", "re");
  if (locks == nullptr)
    return 0;
  char line[256];
  int holder = 0;
  while (holder == 0 && fgets(line, sizeof line, locks) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF"; waiting entries carry
    // "->" after the number and are skipped by the type check.
    char type[16];
    int pid = 0;
    unsigned int major = 0, minor = 0;
    unsigned long inode = 0;
    if (sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", type, &pid, &major, &minor, &inode) != 5)
      continue;
    if (strcmp(type, "FLOCK") == 0 && major == major(port.st_dev) && minor == minor(port.st_dev) &&
        inode == port.st_ino)
      holder = pid;
  }
  fclose(locks);
  return holder;
}

/// Some other process with the device open, from the descriptor lists in
/// /proc; 0 when none is found (or they cannot be read).
int findOpenHolder(const struct stat &port) {
  DIR *proc = opendir("/proc");
  if (proc == nullptr)
    return 0;
  int holder = 0;
  int self = getpid();
  struct dirent *entry;
  while (holder == 0 && (entry = readdir(proc)) != nullptr) {
    int pid = atoi(entry->d_name);
    if (pid <= 0 || pid == self)
      continue;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/fd", pid);
    DIR *fds = opendir(path);
    if (fds == nullptr)
      continue;
    struct dirent *fd;
    while (holder == 0 && (fd = readdir(fds)) != nullptr) {
      char link[320];
      snprintf(link, sizeof link, "/proc/%d/fd/%s", pid, fd->d_name);
      struct stat target;
      if (fd->d_name[0] != '.' && stat(link, &target) == 0 && S_ISCHR(target.st_mode) &&
          target.st_rdev == port.st_rdev)
        holder = pid;
    }
    closedir(fds);
  }
  closedir(proc);
  return holder;
}

/// The serial ports present on this machine, separated by ", "; a long
/// list (a PC has many /dev/ttyS* places) is cut after the first few.
std::string presentSerialPorts() {
  const size_t shown = 8;
  std::string list;
  size_t count = 0;
  for (const char *pattern :
       {"/dev/serial/by-id/*", "/dev/ttyUSB*", "/dev/ttyACM*", "/dev/ttyS*"}) {
    glob_t found;
    if (glob(pattern, 0, nullptr, &found) == 0) {
      for (size_t i = 0; i < found.gl_pathc; i++, count++)
        if (count < shown)
          list += (list.empty() ? "" : ", ") + std::string(found.gl_pathv[i]);
    }
    globfree(&found);
  }
  if (count > shown)
    list += " and " + std::to_string(count - shown) + " more";
  return list;
}

/// The busy port's holder: the holder of its advisory lock when the lock
/// refused it, else a process with it open; 0 when none is found.
int findHolder(const char *port, int error) {
  struct stat info;
  if (stat(port, &info) != 0)
    return 0;
  return error == EWOULDBLOCK ? findLockHolder(info) : findOpenHolder(info);
}

} // namespace

std::string portAdvice(const std::string &portName, ZySerialConnection::OpenFailure failure,
                       int error) {
  char text[512];
  const char *port = portName.c_str();
  switch (failure) {
  case ZySerialConnection::FAILURE_NONE:
    return "";
  case ZySerialConnection::FAILURE_NO_SUCH_PORT: {
    std::string present = presentSerialPorts();
    snprintf(text, sizeof text, "Port '%s': no such port. %s%s", port,
             present.empty() ? "No serial ports were found." : "Serial ports present: ",
             present.empty() ? "" : (present + ".").c_str());
    break;
  }
  case ZySerialConnection::FAILURE_PERMISSION_DENIED: {
    const char *group = nullptr;
    struct stat info;
    struct group entry;
    struct group *found = nullptr;
    char names[1024];
    if (stat(port, &info) == 0 &&
        getgrgid_r(info.st_gid, &entry, names, sizeof names, &found) == 0 && found != nullptr)
      group = found->gr_name;
    if (group != nullptr && strcmp(group, "root") != 0)
      snprintf(text, sizeof text,
               "Port '%s': permission denied. The port belongs to group '%s'; join it with "
               "'sudo usermod -aG %s $USER', then log in again.",
               port, group, group);
    else
      snprintf(text, sizeof text,
               "Port '%s': permission denied. Ask the administrator for access to it (serial "
               "ports usually belong to group 'dialout': 'sudo usermod -aG dialout $USER', then "
               "log in again).",
               port);
    break;
  }
  case ZySerialConnection::FAILURE_NOT_A_PORT:
    snprintf(text, sizeof text, "Port '%s' is not a serial port.", port);
    break;
  case ZySerialConnection::FAILURE_BUSY: {
    int holder = findHolder(port, error);
    if (holder > 0)
      snprintf(text, sizeof text, "Port '%s' is in use by another program (process %d).", port,
               holder);
    else
      snprintf(text, sizeof text, "Port '%s' is in use by another program.", port);
    break;
  }
  case ZySerialConnection::FAILURE_OTHER:
  default:
    snprintf(text, sizeof text, "Port '%s' could not be opened: %s.", port, strerror(error));
    break;
  }
  return text;
}

std::string portAdvice(const ZySerialConnection &serial) {
  return portAdvice(serial.portName(), serial.openFailure(), serial.openFailureErrno());
}
