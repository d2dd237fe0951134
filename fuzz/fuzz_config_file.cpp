// libFuzzer target for the configuration reader and writer: reads arbitrary
// bytes as a configuration file into a registry holding every parameter
// kind (fixed text buffers among them), writes the registry back out, and
// checks that the written file reads back to the same numbers. (An
// unclosed quoted keyword is saved as an unknown line that reads back as a
// keyword line, so inputs with double quotes are only read and written.)
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
  // no terminator, as an owner of a fixed field may do.
  if (size > 0 && data[0] == 'X')
    memset(v.text, 'x', sizeof(v.text));

  std::string out = fileName("out");
  bool quoted = memchr(data, '"', size) != nullptr;
  if (config.writeFile(out.c_str()) && !quoted) {
    Values w;
    ZyConfig again(nullptr, false, false, false, false);
    registerAll(again, w);
    again.parseFile(out.c_str(), true);
    if (w.i != v.i || w.s != v.s || w.us != v.us || w.uc != v.uc || w.b != v.b)
      __builtin_trap();
  }
  unlink(in.c_str());
  unlink(out.c_str());
  return 0;
}
