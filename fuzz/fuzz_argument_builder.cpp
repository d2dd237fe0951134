// SPDX-License-Identifier: MIT
// libFuzzer target for the argument splitter: feeds arbitrary text to
// ZyArgumentBuilder (append and insert), checks the result against a plain
// model of the splitting rules, and drives removal, conversions, quote
// joining, copying, the argument parser and its typed reads (checked
// against plain rules) and the keyword line parser over it.
#include "ZyArgumentBuilder.h"
#include "ZyArgumentParser.h"
#include "ZyFileParser.h"
#include "ZyLog.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace {
bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The splitting rules written as simply as possible: cut to 2047
// characters, blanks separate, a backslash before a blank keeps the blank
// inside an argument and drops it between arguments.
std::vector<std::string> model(std::string s) {
  if (s.size() > ZyArgumentBuilder::BUFFER_SIZE - 1)
    s.resize(ZyArgumentBuilder::BUFFER_SIZE - 1);
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size() && isWhite(s[i]))
    ++i;
  if (i == s.size())
    return out;
  bool inArg = true;
  std::string cur;
  while (i < s.size()) {
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == ' ') {
      if (inArg)
        cur += ' ';
      i += 2;
      continue;
    }
    if (inArg) {
      if (isWhite(s[i])) {
        out.push_back(cur);
        cur.clear();
        inArg = false;
      } else {
        cur += s[i];
      }
    } else if (!isWhite(s[i])) {
      inArg = true;
      cur.assign(1, s[i]);
    }
    ++i;
  }
  if (inArg)
    out.push_back(cur);
  return out;
}

void check(bool condition) {
  if (!condition)
    abort();
}

// The integer rule written plainly: optional sign, decimal digits, in the
// range of int (strtol also takes leading blanks).
bool modelInt(const char *text, int *value) {
  if (*text == '\0')
    return false;
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
    return false;
  *value = static_cast<int>(v);
  return true;
}

bool modelBool(const char *text, bool *value) {
  if (strcasecmp(text, "true") == 0 || strcmp(text, "1") == 0) {
    *value = true;
    return true;
  }
  if (strcasecmp(text, "false") == 0 || strcmp(text, "0") == 0) {
    *value = false;
    return true;
  }
  return false;
}

bool sameArgs(const ZyArgumentBuilder &a, const ZyArgumentBuilder &b) {
  if (a.getCount() != b.getCount())
    return false;
  for (size_t i = 0; i < a.getCount(); ++i)
    if (strcmp(a.getArg(i), b.getArg(i)) != 0)
      return false;
  return true;
}

// The typed reads of an option against the plain read of its text: each
// takes the same arguments away, and the typed value is the text's value
// under the plain rules (the destination untouched when the option is
// absent, refused when its value is missing or malformed).
void checkTypedReads(const ZyArgumentBuilder &base, const char *name, bool formatted) {
  ZyArgumentBuilder plainArgs(base), intArgs(base), boolArgs(base), textArgs(base);
  ZyArgumentParser plain(&plainArgs), ints(&intArgs), bools(&boolArgs), texts(&textArgs);
  const char *value = plain.takeParameterArgument(name, false);

  int number = 12345;
  bool numberSet = true;
  bool intOk = formatted
                   ? ints.takeParameterArgumentIntegerFormatted(&number, &numberSet, "%s", name)
                   : ints.takeParameterArgumentInteger(name, &number, &numberSet);
  bool flag = true;
  bool flagSet = true;
  bool boolOk = formatted ? bools.takeParameterArgumentBoolFormatted(&flag, &flagSet, "%s", name)
                          : bools.takeParameterArgumentBool(name, &flag, &flagSet);
  const char *text = "unset";
  bool textSet = true;
  bool textOk = formatted ? texts.takeParameterArgumentStringFormatted(&text, &textSet, "%s", name)
                          : texts.takeParameterArgumentString(name, &text, &textSet);
  check(sameArgs(plainArgs, intArgs) && sameArgs(plainArgs, boolArgs) &&
        sameArgs(plainArgs, textArgs));

  if (value == nullptr) {
    check(intOk && !numberSet && number == 12345);
    check(boolOk && !flagSet && flag);
    check(textOk && !textSet && strcmp(text, "unset") == 0);
    return;
  }
  int expectedNumber = 0;
  bool expectedFlag = false;
  bool isNumber = modelInt(value, &expectedNumber);
  bool isFlag = modelBool(value, &expectedFlag);
  check(intOk == isNumber);
  check(isNumber ? numberSet && number == expectedNumber : number == 12345);
  check(boolOk == isFlag);
  check(isFlag ? flagSet && flag == expectedFlag : flag);
  check(textOk == (value[0] != '\0'));
  if (textOk)
    check(textSet && strcmp(text, value) == 0);
}

bool handler(ZyArgumentBuilder *builder, char *errorBuffer, size_t errorBufferLen) {
  if (builder->getCount() > 0 && errorBuffer != nullptr && errorBufferLen > 0)
    strncpy(errorBuffer, builder->getArg(0), errorBufferLen - 1);
  return builder->getCount() % 2 == 0;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = ZyLog::init(ZyLog::None, ZyLog::Terse, "", false, false, false);
  (void)quiet;
  if (size < 2)
    return 0;
  uint8_t control = data[0];
  size_t capacity = 1 + data[1] % 64; // small capacities reach the limit often
  if (control & 0x80)
    capacity = 512;
  std::string text(reinterpret_cast<const char *>(data + 2), size - 2);
  std::string cText = text.c_str(); // what a C string of it holds

  // Append into an empty builder: must equal the model, within capacity.
  std::vector<std::string> expected = model(cText);
  if (expected.size() > capacity - 1)
    expected.resize(capacity - 1);
  ZyArgumentBuilder b(capacity);
  b.add(cText.c_str());
  check(b.getCount() == expected.size());
  for (size_t i = 0; i < b.getCount(); ++i)
    check(expected[i] == b.getArg(i));
  check(b.getArg(b.getCount()) == nullptr);

  // Insert the same text into a builder that already holds arguments.
  ZyArgumentBuilder ins(512);
  ins.add("p0 p1 p2");
  int position = control & 0x07;
  ins.add(cText.c_str(), position);
  std::vector<std::string> all{"p0", "p1", "p2"};
  std::vector<std::string> added = model(cText);
  if (added.size() > 511 - 3)
    added.resize(511 - 3); // later arguments of the text are dropped
  size_t at = static_cast<size_t>(position) > all.size() ? all.size() : position;
  all.insert(all.begin() + static_cast<long>(at), added.begin(), added.end());
  check(ins.getCount() == all.size());
  for (size_t i = 0; i < all.size(); ++i)
    check(all[i] == ins.getArg(i));

  // Conversions never read outside an argument.
  for (size_t i = 0; i <= b.getCount(); ++i) {
    (void)b.isBool(i);
    (void)b.asBool(i);
    (void)b.isInt(i);
    (void)b.asInt(i);
    (void)b.isDouble(i);
    (void)b.asDouble(i);
  }

  // Copies are deep; removed texts stay readable while the builder lives.
  ZyArgumentBuilder copy(b);
  std::vector<const char *> removed;
  for (size_t k = 0; copy.getCount() > 0 && k < 4; ++k) {
    size_t which = (control >> k) % (copy.getCount() + 1);
    const char *gone = copy.getArg(which);
    copy.removeArg(which);
    if (gone != nullptr)
      removed.push_back(gone);
  }
  copy.add(cText.c_str(), 0);
  copy.joinQuoted((control & 0x10) != 0);
  for (const char *r : removed)
    check(strlen(r) < ZyArgumentBuilder::BUFFER_SIZE);
  for (size_t i = 0; i < b.getCount(); ++i)
    check(expected[i] == b.getArg(i));

  // The argument parser over the builder: take options named by the text.
  ZyArgumentParser parser(&ins);
  if (ins.getCount() > 0) {
    std::string name = ins.getArg(ins.getCount() - 1);
    const char *value = parser.takeParameterArgument(name.c_str(), (control & 0x20) != 0);
    if (value != nullptr)
      check(strlen(value) < ZyArgumentBuilder::BUFFER_SIZE);
    int number = 0;
    bool flag = false;
    parser.takeParameterArgumentInteger("p1", &number, nullptr);
    parser.takeParameterArgumentBool("p2", &flag, nullptr);
    parser.takeArgument("%s", name.c_str());
  }
  parser.checkHelpAndUnhandled(control & 0x03);

  // Typed reads of options the text may hold, by plain and formatted name.
  if (b.getCount() > 0) {
    std::string first = b.getArg(0);
    checkTypedReads(b, first.c_str(), (control & 0x04) != 0);
    if (!first.empty() && first[0] == '-')
      checkTypedReads(b, first.c_str() + 1, (control & 0x04) == 0);
  }
  checkTypedReads(b, "rb", (control & 0x04) != 0);

  // The same text as one line of a keyword file.
  ZyGlobalRetFunctor3<bool, ZyArgumentBuilder *, char *, size_t> cb(&handler);
  ZyFileParser fileParser;
  if (control & 0x40)
    fileParser.addHandler(nullptr, &cb);
  if (!expected.empty())
    fileParser.addHandler(expected[0].c_str(), &cb);
  std::vector<char> line(text.begin(), text.end());
  line.push_back('\0');
  char err[32] = "";
  fileParser.parseLine(line.data(), err, (control & 0x08) ? sizeof(err) : 0);
  check(strlen(err) < sizeof(err));
  return 0;
}
