// SPDX-License-Identifier: MIT
// The operator's explanation of a port that cannot be opened.
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

std::string netPortAdvice(const ZyNetConnection &net) {
  const ZyPortUrl &url = net.url();
  const std::string &detail = net.openFailureDetail();
  char where[640];
  snprintf(where, sizeof where, "Port '%s': could not connect to %s port %d: ", url.text.c_str(),
           url.host.c_str(), url.port);
  char why[1400];
  switch (net.openFailure()) {
  case ZyNetStream::FAILURE_NONE:
    return "";
  case ZyNetStream::FAILURE_NAME_UNKNOWN:
    snprintf(why, sizeof why,
             "the host name '%s' is unknown (%s). Check its spelling, or give the server's "
             "address.",
             url.host.c_str(), detail.c_str());
    break;
  case ZyNetStream::FAILURE_REFUSED:
    snprintf(why, sizeof why,
             "the connection was refused: nothing listens on that port. Check that the port "
             "server runs there and that it listens on port %d of that address.",
             url.port);
    break;
  case ZyNetStream::FAILURE_UNREACHABLE:
    snprintf(why, sizeof why,
             "there is no route to the host (%s). Check the address and the network between "
             "this computer and it.",
             detail.c_str());
    break;
  case ZyNetStream::FAILURE_TIMED_OUT:
    snprintf(why, sizeof why,
             "no answer within %ld.%03ld s (%s). Check the address, that the host is up and "
             "that no firewall drops the connection; a slow link may need a longer "
             "?timeout=SECONDS.",
             url.timeoutMs / 1000, url.timeoutMs % 1000, detail.c_str());
    break;
  case ZyNetStream::FAILURE_TLS:
    snprintf(why, sizeof why,
             "the TLS handshake failed (%s). Check that the server's port is a TLS port (a "
             "plain one is %s://).",
             detail.c_str(), url.rfc2217() ? "rfc2217" : "socket");
    break;
  case ZyNetStream::FAILURE_CERTIFICATE:
    snprintf(why, sizeof why,
             "the server's certificate was refused (%s), so nothing was sent. Check that the "
             "URL names the host the certificate was made for, and give the authority that "
             "signed it with ?cafile=PATH when it is not in the system's store.",
             detail.c_str());
    break;
  case ZyNetStream::FAILURE_CLOSED:
    snprintf(why, sizeof why,
             "the server closed the connection%s%s%s. The port may be in use by another "
             "client: a port server lets one client at a time use a port unless set up "
             "otherwise (ser2net: max-connections).",
             detail.rfind("the server closed", 0) == 0 ? "" : " (",
             detail.rfind("the server closed", 0) == 0 ? "" : detail.c_str(),
             detail.rfind("the server closed", 0) == 0 ? "" : ")");
    break;
  case ZyNetStream::FAILURE_PROTOCOL:
    snprintf(why, sizeof why, "%s.", detail.c_str());
    break;
  case ZyNetStream::FAILURE_OTHER:
  default:
    snprintf(why, sizeof why, "%s.", detail.c_str());
    break;
  }
  return std::string(where) + why;
}
