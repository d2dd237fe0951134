// SPDX-License-Identifier: MIT
// ZyPortUrl: a serial port reached through a network, as a URL:
//   rfc2217://HOST:PORT[?OPTIONS]   telnet with the com port option
//   rfc2217s://HOST:PORT[?OPTIONS]  the same inside TLS
//   socket://HOST:PORT[?OPTIONS]    raw TCP to a bridge at one fixed speed
//   sockets://HOST:PORT[?OPTIONS]   the same inside TLS
// HOST is a name, an IPv4 address or an IPv6 address in brackets. OPTIONS
// are joined by '&': timeout=S (seconds for connecting and for each
// confirmation, default 3), ign_set_control (send no control-line or flow
// requests), logging=debug (log the telnet dialogue), baud=N (socket: the
// bridge's speed, default 115200), cafile=PATH (TLS: the authority that
// signed the server's certificate, instead of the system's store).
#ifndef ZYPORTURL_H
#define ZYPORTURL_H

#include <string>

struct ZyPortUrl {
  enum Scheme { RFC2217, RFC2217_TLS, SOCKET, SOCKET_TLS };

  Scheme scheme = RFC2217;
  std::string text; ///< the URL as given
  std::string host; ///< without brackets
  int port = 0;
  long timeoutMs = 3000;
  bool ignoreSetControl = false;
  bool debug = false;
  int baud = 115200;
  std::string caFile;

  bool tls() const { return scheme == RFC2217_TLS || scheme == SOCKET_TLS; }
  bool rfc2217() const { return scheme == RFC2217 || scheme == RFC2217_TLS; }
  /// "rfc2217", "rfc2217s", "socket" or "sockets".
  const char *schemeName() const;

  /// True when text has the form of a URL ("name://"), so that it is no
  /// device path; whether the URL is valid is parse's business.
  static bool looksLikeUrl(const char *text);
  /// Parses text; false with the reason in *error (naming the URL).
  static bool parse(const std::string &text, ZyPortUrl *url, std::string *error);
};

#endif
