// libFuzzer target for the configuration reader and writer: reads arbitrary
// bytes as a configuration file into a registry holding every parameter
// kind (fixed text buffers among them), writes the registry back out, reads
// that file into a second registry and writes it again: the values must
// come back and the two written files must be identical.
#include "ZyConfig.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
struct Values {
  int i = 0;
  short s = 0;
  unsigned short us = 0;
  unsigned char uc = 0;
  double d = 0;
  bool b = false;
  char text[8] = "";
  char section[16] = "";
};

void registerAll(ZyConfig &config, Values &v) {
  config.addParam(ZyConfigArg("Int", &v.i, "an integer", -5, 5000));
  config.addParam(ZyConfigArg("Short", &v.s, "a short"));
  config.addParam(ZyConfigArg("UShort", &v.us, "an unsigned short", 0, 65535));
  config.addParam(ZyConfigArg("UChar", &v.uc, "a byte"));
  config.addParam(ZyConfigArg("Double", &v.d, "a double", -1e6, 1e6));
  config.addParam(ZyConfigArg("Bool", &v.b, "a bool"));
  config.addParam(ZyConfigArg("Text", v.text, "a short text", sizeof(v.text)));
  config.addParam(ZyConfigArg("Text", v.section, "a text in a section", sizeof(v.section)), "S");
  config.addComment("a comment", "S");
}

std::string fileName(const char *tag) {
  return std::string("/tmp/fuzz_config_") + tag + "_" + std::to_string(getpid());
}

std::string readAll(const std::string &name) {
  std::string text;
  FILE *f = fopen(name.c_str(), "rb");
  if (f == nullptr)
    return text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
    text.append(buffer, n);
  fclose(f);
  return text;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  std::string in = fileName("in");
  FILE *f = fopen(in.c_str(), "wb");
  if (f == nullptr)
    return 0;
  fwrite(data, 1, size, f);
  fclose(f);

  Values v;
  ZyConfig config;
  registerAll(config, v);
  config.parseFile(in.c_str(), true);
  // The buffers may now hold any accepted text; fill one completely, with
  // no terminator, as an owner of a fixed field may do. Such a text does
  // not fit a file line back (the writer warns), so the fixed point below
  // is not asked of it.
  bool filled = size > 0 && data[0] == 'X';
  if (filled)
    memset(v.text, 'x', sizeof(v.text));

  // Whatever was read, written, read again and written again gives the
  // same file: every value and every kept unknown line reads back as it
  // was written. (The text of section S shares its name with the unnamed
  // section's, so only the first is written, by design.)
  std::string out = fileName("out");
  std::string again = fileName("again");
  if (config.writeFile(out.c_str())) {
    Values w;
    ZyConfig second;
    registerAll(second, w);
    second.parseFile(out.c_str(), true);
    if (!filled) {
      if (w.i != v.i || w.s != v.s || w.us != v.us || w.uc != v.uc || w.b != v.b || w.d != v.d ||
          strcmp(w.text, v.text) != 0)
        __builtin_trap();
      if (!second.writeFile(again.c_str()) || readAll(out) != readAll(again))
        __builtin_trap();
    }
  }
  unlink(in.c_str());
  unlink(out.c_str());
  unlink(again.c_str());
  return 0;
}
