// SPDX-License-Identifier: MIT
// ZyNetStream: a TCP connection, optionally inside TLS, with a deadline on
// everything: the name's lookup, the connect, the TLS handshake, every read
// and every write. The server's certificate is checked against the
// system's store or a given CA file, and its name (or address) against the
// host asked for, before the handshake counts as done: nothing is sent to
// a server that fails the check. A connection that drops reads as closed.
#ifndef ZYNETSTREAM_H
#define ZYNETSTREAM_H

#include <cstddef>
#include <cstdint>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class ZyNetStream {
public:
  /// Why open failed, or why the connection ended.
  enum Failure {
    FAILURE_NONE = 0,
    FAILURE_NAME_UNKNOWN, ///< the host name does not resolve
    FAILURE_REFUSED,      ///< nothing listens on the port
    FAILURE_UNREACHABLE,  ///< no route to the host or its network
    FAILURE_TIMED_OUT,    ///< no answer before the deadline
    FAILURE_TLS,          ///< the TLS handshake failed
    FAILURE_CERTIFICATE,  ///< the server's certificate was refused
    FAILURE_CLOSED,       ///< the server closed the connection
    FAILURE_PROTOCOL,     ///< the server does not speak the protocol asked for
    FAILURE_OTHER
  };

  ZyNetStream() = default;
  ~ZyNetStream();
  ZyNetStream(const ZyNetStream &) = delete;
  ZyNetStream &operator=(const ZyNetStream &) = delete;

  /// Connects to host:port within timeoutMs, then (tls) makes the TLS
  /// handshake, checking the server against caFile ("" for the system's
  /// store). False with failure() and failureDetail() set.
  bool open(const std::string &host, int port, bool tls, const std::string &caFile, long timeoutMs);
  void close();
  bool isOpen() const { return myFd >= 0; }

  /// Up to size bytes, waiting at most msWait for the first of them: the
  /// count, 0 when none came, -1 when the connection is closed or broke.
  int readSome(uint8_t *buffer, size_t size, long msWait);
  /// Sends all size bytes before msWait passes; false when the connection
  /// broke or did not take them in time (then it is closed).
  bool writeAll(const uint8_t *buffer, size_t size, long msWait);

  Failure failure() const { return myFailure; }
  /// The system's or the TLS library's words for the failure ("" if none).
  const std::string &failureDetail() const { return myFailureDetail; }
  /// The address connected to, as text ("127.0.0.1", "::1"); "" if none.
  const std::string &address() const { return myAddress; }

  /// Resolves host within timeoutMs to the address text of its first
  /// address; false with *failure set.
  static bool resolve(const std::string &host, long timeoutMs, std::string *address,
                      Failure *failure, std::string *detail);

private:
  bool fail(Failure failure, const std::string &detail);
  bool startTls(const std::string &host, const std::string &caFile, long timeoutMs);
  /// Asks the kernel to acknowledge what arrives at once.
  void quickAck();
  /// Waits for the socket to become ready for events; false on time-out.
  bool waitFor(short events, long msWait);

  int myFd = -1;
  SSL_CTX *myContext = nullptr;
  SSL *mySsl = nullptr;
  Failure myFailure = FAILURE_NONE;
  std::string myFailureDetail;
  std::string myAddress;
};

#endif
