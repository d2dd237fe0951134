// SPDX-License-Identifier: MIT
// TCP and TLS with deadlines: lookup, connect, handshake, reads and writes.
#include "ZyNetStream.h"

#include "ZyLog.h"
#include "ZyMutex.h"
#include "ZyTime.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

/// A name lookup under way. It lives on the heap: a lookup that could not
/// be cancelled when its time ran out is still written to by the resolver
/// afterwards, so it is kept (reachable) instead of freed.
struct Lookup {
  struct gaicb request;
  struct addrinfo hints;
  std::string name;
  std::string service;
};
ZyMutex abandonedLock;
std::vector<Lookup *> abandoned;

void keepAbandoned(Lookup *lookup) {
  ZyMutex::Scope scope(abandonedLock);
  abandoned.push_back(lookup);
}

struct Address {
  struct sockaddr_storage storage;
  socklen_t length;
};

std::string addressText(const struct sockaddr *address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const struct sockaddr_in *>(address)->sin_addr, text,
              sizeof text);
  else if (address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const struct sockaddr_in6 *>(address)->sin6_addr, text,
              sizeof text);
  return text;
}

ZyNetStream::Failure failureOfErrno(int error) {
  switch (error) {
  case ECONNREFUSED:
    return ZyNetStream::FAILURE_REFUSED;
  case ENETUNREACH:
  case EHOSTUNREACH:
  case ENETDOWN:
  case EHOSTDOWN:
  case EADDRNOTAVAIL:
    return ZyNetStream::FAILURE_UNREACHABLE;
  case ETIMEDOUT:
    return ZyNetStream::FAILURE_TIMED_OUT;
  case ECONNRESET:
  case EPIPE:
    return ZyNetStream::FAILURE_CLOSED;
  default:
    return ZyNetStream::FAILURE_OTHER;
  }
}

/// The addresses of host and port, looked up within timeoutMs.
bool lookUp(const std::string &host, int port, long timeoutMs, std::vector<Address> *found,
            ZyNetStream::Failure *failure, std::string *detail) {
  Lookup *lookup = new Lookup();
  memset(&lookup->hints, 0, sizeof lookup->hints);
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_flags = AI_ADDRCONFIG;
  lookup->name = host;
  lookup->service = std::to_string(port);
  memset(&lookup->request, 0, sizeof lookup->request);
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_service = lookup->service.c_str();
  lookup->request.ar_request = &lookup->hints;

  // An address given as such needs no resolver and no wait.
  struct addrinfo numeric = lookup->hints;
  numeric.ai_flags = AI_NUMERICHOST;
  struct addrinfo *result = nullptr;
  int status = getaddrinfo(host.c_str(), lookup->service.c_str(), &numeric, &result);
  if (status != 0) {
    struct gaicb *list[1] = {&lookup->request};
    status = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
    if (status == 0) {
      ZyTime deadline;
      deadline.addMsec(timeoutMs);
      while ((status = gai_error(&lookup->request)) == EAI_INPROGRESS && deadline.msTo() > 0) {
        long left = deadline.msTo();
        struct timespec wait = {left / 1000, (left % 1000) * 1000000L};
        const struct gaicb *waitList[1] = {&lookup->request};
        gai_suspend(waitList, 1, &wait);
      }
      if (status == EAI_INPROGRESS) {
        int cancelled = gai_cancel(&lookup->request);
        if (cancelled == EAI_NOTCANCELED) {
          keepAbandoned(lookup);
          *failure = ZyNetStream::FAILURE_TIMED_OUT;
          *detail = "the name was not resolved in time";
          return false;
        }
        if (cancelled == EAI_ALLDONE && gai_error(&lookup->request) == 0)
          freeaddrinfo(lookup->request.ar_result);
        delete lookup;
        *failure = ZyNetStream::FAILURE_TIMED_OUT;
        *detail = "the name was not resolved in time";
        return false;
      }
      result = lookup->request.ar_result;
    }
  }
  delete lookup;
  if (status != 0) {
    *failure = status == EAI_NONAME || status == EAI_NODATA || status == EAI_FAIL
                   ? ZyNetStream::FAILURE_NAME_UNKNOWN
               : status == EAI_AGAIN ? ZyNetStream::FAILURE_TIMED_OUT
                                     : ZyNetStream::FAILURE_OTHER;
    *detail = status == EAI_SYSTEM ? strerror(errno) : gai_strerror(status);
    return false;
  }
  for (struct addrinfo *a = result; a != nullptr; a = a->ai_next) {
    Address address;
    if (a->ai_addrlen > sizeof address.storage)
      continue;
    memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
    address.length = a->ai_addrlen;
    found->push_back(address);
  }
  freeaddrinfo(result);
  if (found->empty()) {
    *failure = ZyNetStream::FAILURE_NAME_UNKNOWN;
    *detail = "the name has no address";
    return false;
  }
  return true;
}

/// Blocks SIGPIPE while the TLS library writes to the socket (it writes
/// with write(2), which raises the signal on a broken connection), and
/// takes a SIGPIPE so raised away again, so that a dropped connection is a
/// failed write and never a signal that ends the program.
class SigPipeGuard {
public:
  SigPipeGuard() {
    sigemptyset(&myPipe);
    sigaddset(&myPipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    myWasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &myPipe, &myOld);
  }
  ~SigPipeGuard() {
    if (!myWasPending) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        struct timespec none = {0, 0};
        sigtimedwait(&myPipe, nullptr, &none);
      }
    }
    pthread_sigmask(SIG_SETMASK, &myOld, nullptr);
  }

private:
  sigset_t myPipe;
  sigset_t myOld;
  bool myWasPending = false;
};

std::string tlsErrorText() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0)
    return "the TLS handshake failed";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

} // namespace

ZyNetStream::~ZyNetStream() {
  close();
}

bool ZyNetStream::fail(Failure failure, const std::string &detail) {
  myFailure = failure;
  myFailureDetail = detail;
  return false;
}

bool ZyNetStream::resolve(const std::string &host, long timeoutMs, std::string *address,
                          Failure *failure, std::string *detail) {
  std::vector<Address> found;
  if (!lookUp(host, 1, timeoutMs, &found, failure, detail))
    return false;
  *address = addressText(reinterpret_cast<const struct sockaddr *>(&found[0].storage));
  return true;
}

void ZyNetStream::quickAck() {
  // A server that sends its small answers without TCP_NODELAY waits for
  // the acknowledgement of each before the next: acknowledging at once
  // (which the kernel forgets after a while, hence after every read)
  // spares the dialogue the delayed acknowledgement's 40 ms a turn.
  int on = 1;
  setsockopt(myFd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

bool ZyNetStream::waitFor(short events, long msWait) {
  ZyTime deadline;
  deadline.addMsec(msWait);
  while (true) {
    long left = deadline.msTo();
    if (left < 0)
      left = 0;
    struct pollfd wait = {myFd, events, 0};
    int ready = poll(&wait, 1, static_cast<int>(left));
    if (ready > 0)
      return true;
    if (ready == 0 || errno != EINTR || deadline.msTo() <= 0)
      return false;
  }
}

bool ZyNetStream::open(const std::string &host, int port, bool tls, const std::string &caFile,
                       long timeoutMs) {
  close();
  myFailure = FAILURE_NONE;
  myFailureDetail.clear();
  ZyTime deadline;
  deadline.addMsec(timeoutMs);
  std::vector<Address> addresses;
  if (!lookUp(host, port, timeoutMs, &addresses, &myFailure, &myFailureDetail))
    return false;

  // Each address in turn, within the one deadline.
  for (const Address &address : addresses) {
    const struct sockaddr *target = reinterpret_cast<const struct sockaddr *>(&address.storage);
    int fd = socket(target->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      fail(FAILURE_OTHER, strerror(errno));
      continue;
    }
    myFd = fd;
    int error = 0;
    if (connect(fd, target, address.length) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        long left = deadline.msTo();
        if (left <= 0 || !waitFor(POLLOUT, left)) {
          error = ETIMEDOUT;
        } else {
          socklen_t size = sizeof error;
          if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
        }
      }
    }
    if (error != 0) {
      ::close(fd);
      myFd = -1;
      fail(failureOfErrno(error), strerror(error));
      if (deadline.msTo() <= 0)
        break;
      continue;
    }
    // The monitor's dialogue is a command and its short answer at a time:
    // every small write goes out at once.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    myAddress = addressText(target);
    myFailure = FAILURE_NONE;
    myFailureDetail.clear();
    if (!tls)
      return true;
    long left = deadline.msTo();
    if (startTls(host, caFile, left > 0 ? left : 0))
      return true;
    Failure failure = myFailure;
    std::string detail = myFailureDetail;
    close();
    return fail(failure, detail);
  }
  return false;
}

bool ZyNetStream::startTls(const std::string &host, const std::string &caFile, long timeoutMs) {
  myContext = SSL_CTX_new(TLS_client_method());
  if (myContext == nullptr)
    return fail(FAILURE_TLS, tlsErrorText());
  SSL_CTX_set_min_proto_version(myContext, TLS1_2_VERSION);
  SSL_CTX_set_verify(myContext, SSL_VERIFY_PEER, nullptr);
  bool loaded = caFile.empty()
                    ? SSL_CTX_set_default_verify_paths(myContext) == 1
                    : SSL_CTX_load_verify_locations(myContext, caFile.c_str(), nullptr) == 1;
  if (!loaded)
    return fail(FAILURE_CERTIFICATE, caFile.empty()
                                         ? "the system's certificate store could not be read"
                                         : "the CA file '" + caFile + "' could not be read");
  mySsl = SSL_new(myContext);
  if (mySsl == nullptr || SSL_set_fd(mySsl, myFd) != 1)
    return fail(FAILURE_TLS, tlsErrorText());
  // The certificate must name the host asked for: its name, or the address
  // when an address was given.
  unsigned char raw[sizeof(struct in6_addr)];
  bool isAddress =
      inet_pton(AF_INET, host.c_str(), raw) == 1 || inet_pton(AF_INET6, host.c_str(), raw) == 1;
  X509_VERIFY_PARAM *param = SSL_get0_param(mySsl);
  if (isAddress) {
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1)
      return fail(FAILURE_TLS, tlsErrorText());
  } else {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set1_host(mySsl, host.c_str()) != 1 ||
        SSL_set_tlsext_host_name(mySsl, host.c_str()) != 1)
      return fail(FAILURE_TLS, tlsErrorText());
  }

  ZyTime deadline;
  deadline.addMsec(timeoutMs);
  SigPipeGuard guard;
  while (true) {
    ERR_clear_error();
    int result = SSL_connect(mySsl);
    if (result == 1)
      return true;
    int error = SSL_get_error(mySsl, result);
    long left = deadline.msTo();
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) && left > 0) {
      if (!waitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, left))
        return fail(FAILURE_TIMED_OUT, "no TLS handshake in time");
      continue;
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
      return fail(FAILURE_TIMED_OUT, "no TLS handshake in time");
    long verified = SSL_get_verify_result(mySsl);
    if (verified != X509_V_OK)
      return fail(FAILURE_CERTIFICATE, X509_verify_cert_error_string(verified));
    if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN) {
      ERR_clear_error();
      return fail(FAILURE_TLS, "the server ended the TLS handshake (is it a TLS port?)");
    }
    return fail(FAILURE_TLS, tlsErrorText());
  }
}

void ZyNetStream::close() {
  if (mySsl != nullptr) {
    if (myFd >= 0) {
      SigPipeGuard guard;
      SSL_shutdown(mySsl); // one attempt: the peer's answer is not awaited
    }
    SSL_free(mySsl);
    mySsl = nullptr;
  }
  if (myContext != nullptr) {
    SSL_CTX_free(myContext);
    myContext = nullptr;
  }
  if (myFd >= 0) {
    ::close(myFd);
    myFd = -1;
  }
  ERR_clear_error();
}

int ZyNetStream::readSome(uint8_t *buffer, size_t size, long msWait) {
  if (myFd < 0)
    return -1;
  if (size == 0)
    return 0;
  ZyTime deadline;
  deadline.addMsec(msWait);
  while (true) {
    if (mySsl != nullptr) {
      ERR_clear_error();
      int got = SSL_read(mySsl, buffer, static_cast<int>(size));
      if (got > 0) {
        quickAck();
        return got;
      }
      int error = SSL_get_error(mySsl, got);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        long left = deadline.msTo();
        if (left <= 0 || !waitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, left))
          return 0;
        continue;
      }
      Failure failure = error == SSL_ERROR_ZERO_RETURN ? FAILURE_CLOSED : FAILURE_OTHER;
      std::string detail = error == SSL_ERROR_ZERO_RETURN ? "the server closed the connection"
                                                          : "the connection broke";
      if (error == SSL_ERROR_SYSCALL) {
        failure = FAILURE_CLOSED;
        detail = "the server closed the connection";
      }
      close();
      fail(failure, detail);
      return -1;
    }
    ssize_t got = recv(myFd, buffer, size, 0);
    if (got > 0) {
      quickAck();
      return static_cast<int>(got);
    }
    if (got == 0) {
      close();
      fail(FAILURE_CLOSED, "the server closed the connection");
      return -1;
    }
    if (errno == EAGAIN || errno == EINTR) {
      long left = deadline.msTo();
      if (left <= 0 || !waitFor(POLLIN, left))
        return 0;
      continue;
    }
    int error = errno;
    close();
    fail(failureOfErrno(error), strerror(error));
    return -1;
  }
}

bool ZyNetStream::writeAll(const uint8_t *buffer, size_t size, long msWait) {
  if (myFd < 0)
    return false;
  ZyTime deadline;
  deadline.addMsec(msWait);
  size_t done = 0;
  while (done < size) {
    short waitEvents = POLLOUT;
    if (mySsl != nullptr) {
      ERR_clear_error();
      int written;
      {
        SigPipeGuard guard;
        written = SSL_write(mySsl, buffer + done, static_cast<int>(size - done));
      }
      if (written > 0) {
        done += static_cast<size_t>(written);
        continue;
      }
      int error = SSL_get_error(mySsl, written);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
        close();
        return fail(FAILURE_CLOSED, "the connection broke while sending");
      }
      waitEvents = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    } else {
      ssize_t written = send(myFd, buffer + done, size - done, MSG_NOSIGNAL);
      if (written > 0) {
        done += static_cast<size_t>(written);
        continue;
      }
      if (written < 0 && errno != EAGAIN && errno != EINTR) {
        int error = errno;
        close();
        return fail(failureOfErrno(error), strerror(error));
      }
    }
    long left = deadline.msTo();
    if (left <= 0 || !waitFor(waitEvents, left)) {
      close();
      return fail(FAILURE_TIMED_OUT, "the server took no more data in time");
    }
  }
  return true;
}
