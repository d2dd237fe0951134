// SPDX-License-Identifier: MIT
// Parsing of the URLs of serial ports reached through a network.
#include "ZyPortUrl.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
struct SchemeName {
  const char *name;
  ZyPortUrl::Scheme scheme;
};
const SchemeName SCHEMES[] = {{"rfc2217", ZyPortUrl::RFC2217},
                              {"rfc2217s", ZyPortUrl::RFC2217_TLS},
                              {"socket", ZyPortUrl::SOCKET},
                              {"sockets", ZyPortUrl::SOCKET_TLS}};

bool fail(std::string *error, const std::string &url, const std::string &why) {
  *error = "Port URL '" + url + "': " + why;
  return false;
}

/// A whole decimal number within [low, high].
bool number(const std::string &text, long low, long high, long *value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = strtol(text.c_str(), nullptr, 10);
  return *value >= low && *value <= high;
}

/// Seconds with up to three decimals, as milliseconds within [low, high].
bool seconds(const std::string &text, long low, long high, long *ms) {
  size_t dot = text.find('.');
  std::string whole = text.substr(0, dot);
  std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  long w = 0;
  if (!number(whole, 0, 3600, &w) || fraction.size() > 3 ||
      fraction.find_first_not_of("0123456789") != std::string::npos ||
      (dot != std::string::npos && fraction.empty()))
    return false;
  while (fraction.size() < 3)
    fraction += '0';
  *ms = w * 1000 + strtol(fraction.c_str(), nullptr, 10);
  return *ms >= low && *ms <= high;
}
} // namespace

const char *ZyPortUrl::schemeName() const {
  for (const SchemeName &s : SCHEMES)
    if (s.scheme == scheme)
      return s.name;
  return "";
}

bool ZyPortUrl::looksLikeUrl(const char *text) {
  if (text == nullptr)
    return false;
  const char *sep = strstr(text, "://");
  if (sep == nullptr || sep == text)
    return false;
  for (const char *c = text; c < sep; c++)
    if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
          *c == '+' || *c == '-' || *c == '.'))
      return false;
  return true;
}

bool ZyPortUrl::parse(const std::string &text, ZyPortUrl *url, std::string *error) {
  *url = ZyPortUrl();
  url->text = text;
  size_t sep = text.find("://");
  if (sep == std::string::npos || !looksLikeUrl(text.c_str()))
    return fail(error, text,
                "not a URL (rfc2217://HOST:PORT, rfc2217s://, socket:// or sockets://)");
  std::string scheme = text.substr(0, sep);
  bool known = false;
  for (const SchemeName &s : SCHEMES)
    if (strcasecmp(scheme.c_str(), s.name) == 0) {
      url->scheme = s.scheme;
      known = true;
    }
  if (!known)
    return fail(error, text,
                "unknown scheme '" + scheme + "' (rfc2217, rfc2217s, socket or sockets)");

  std::string rest = text.substr(sep + 3);
  size_t query = rest.find('?');
  std::string authority = rest.substr(0, query);
  std::string options = query == std::string::npos ? "" : rest.substr(query + 1);
  if (!authority.empty() && authority.back() == '/')
    authority.pop_back();

  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos)
      return fail(error, text, "an IPv6 address needs its closing ']'");
    url->host = authority.substr(1, close - 1);
    if (close + 1 >= authority.size() || authority[close + 1] != ':')
      return fail(error, text, "no port after the host (HOST:PORT)");
    portText = authority.substr(close + 2);
  } else {
    size_t colon = authority.rfind(':');
    if (colon == std::string::npos)
      return fail(error, text, "no port after the host (HOST:PORT)");
    url->host = authority.substr(0, colon);
    portText = authority.substr(colon + 1);
    if (url->host.find(':') != std::string::npos)
      return fail(error, text, "an IPv6 address goes in brackets: [ADDRESS]:PORT");
  }
  if (url->host.empty())
    return fail(error, text, "no host");
  if (url->host.find_first_of("/@ \t") != std::string::npos)
    return fail(error, text, "the host '" + url->host + "' is not a host name or address");
  long port = 0;
  if (!number(portText, 1, 65535, &port))
    return fail(error, text, "the port '" + portText + "' is not a number from 1 to 65535");
  url->port = static_cast<int>(port);

  size_t start = 0;
  while (start <= options.size() && !options.empty()) {
    size_t end = options.find('&', start);
    std::string option = options.substr(start, end == std::string::npos ? end : end - start);
    start = end == std::string::npos ? options.size() + 1 : end + 1;
    if (option.empty())
      continue;
    size_t eq = option.find('=');
    std::string name = option.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : option.substr(eq + 1);
    bool hasValue = eq != std::string::npos;
    long n = 0;
    if (name == "timeout") {
      if (!seconds(value, 100, 60000, &url->timeoutMs))
        return fail(error, text, "timeout=" + value + " is not a time from 0.1 to 60 seconds");
    } else if (name == "ign_set_control" && !hasValue) {
      url->ignoreSetControl = true;
    } else if (name == "logging") {
      if (value != "debug" && value != "info" && value != "warning" && value != "error")
        return fail(error, text, "logging=" + value + " is not debug, info, warning or error");
      url->debug = value == "debug";
    } else if (name == "baud" && !url->rfc2217()) {
      if (!number(value, 50, 4000000, &n))
        return fail(error, text, "baud=" + value + " is not a speed in bit/s");
      url->baud = static_cast<int>(n);
    } else if (name == "cafile" && url->tls()) {
      if (value.empty())
        return fail(error, text, "cafile= needs the path of a CA certificate file");
      url->caFile = value;
    } else {
      std::string known = "timeout=S, ign_set_control, logging=debug";
      known += url->rfc2217() ? "" : ", baud=N";
      known += url->tls() ? ", cafile=PATH" : "";
      return fail(error, text, "unknown option '" + option + "' (known: " + known + ")");
    }
  }
  return true;
}
