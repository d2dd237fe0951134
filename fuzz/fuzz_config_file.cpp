// SPDX-License-Identifier: MIT
// libFuzzer target for the configuration reader and writer: reads arbitrary
// bytes as a configuration file into a registry holding every parameter
// kind (fixed text buffers among them), writes the registry back out, and
// checks that the written file reads back to the same numbers and that
// read -> write -> read -> write reaches a fixed point: the second file
// is the first, byte for byte.
#include "ZyConfig.h"
#include "ZyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

void fail(const char *what) {
  fprintf(stderr, "fuzz_config_file: %s\n", what);
  abort();
}

std::string readAll(const std::string &path) {
  std::string text;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr)
    return "(missing)";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    text.append(buf, n);
  fclose(f);
  return text;
}

// Files in memory where the system has such a file system: creating and
// removing files on disk would take most of the time of a run.
std::string fileName(const char *tag) {
  const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/fuzz_config_" + tag + "_" + std::to_string(getpid());
}

void removeFiles() {
  unlink(fileName("in").c_str());
  unlink(fileName("out").c_str());
  unlink(fileName("again").c_str());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
    return atexit(removeFiles) == 0;
  }();
  (void)ready;
  // The same three files serve every run; each is written anew.
  static const std::string in = fileName("in");
  static const std::string out = fileName("out");
  static const std::string again = fileName("again");
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

  // Written, read into a fresh registry and written again, the file must
  // come out the same: what the tool saves is what it reads back, every
  // value and every kept unknown line. (The text of section S shares its
  // name with the unnamed section's, so only the first is written, by
  // design.)
  unlink(out.c_str());
  unlink(again.c_str());
  if (config.writeFile(out.c_str()) && !filled) {
    Values w;
    ZyConfig second;
    registerAll(second, w);
    second.parseFile(out.c_str(), true);
    if (w.i != v.i || w.s != v.s || w.us != v.us || w.uc != v.uc || w.b != v.b || w.d != v.d ||
        strcmp(w.text, v.text) != 0)
      fail("a value changed on reading the written file back");
    if (!second.writeFile(again.c_str()))
      fail("the file read back could not be written");
    if (readAll(out) != readAll(again))
      fail("writing what was read back gives another file");
  }
  return 0;
}
