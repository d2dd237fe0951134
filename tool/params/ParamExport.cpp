// SPDX-License-Identifier: MIT
// The JSON and YAML exports of a parameter set: writing them, and reading
// them back into a set. Both formats are first read into the same plain
// form (ExportText), which one function then checks and applies, so that
// they accept and refuse exactly the same things.
//
// Neither library is let to throw out of here: nlohmann-json is used in
// its non-throwing forms, and yaml-cpp, which reports every fault of a
// text by an exception, is wrapped where it parses.
#include "ParamExport.h"

#include "ParamFile.h"
#include "ZyConfigArg.h"
#include "ZySafeFile.h"

#include <nlohmann/json.hpp>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

const char *const PARAM_EXPORT_FORMAT = "orvexconf-parameters/1";

namespace {

using ordered_json = nlohmann::ordered_json;

/// Runs of one repeated byte at least this long are written as a fill.
const size_t FILL_RUN = 16;
/// Most entries read from one list of an export: far above the 130
/// parameters, and a bound on the work a hostile file can ask for.
const size_t MAX_LIST_ENTRIES = 4096;

std::string inQuotes(const std::string &text) {
  return "'" + text + "'";
}

bool isText(ParamKind kind) {
  return kind == ParamKind::text || kind == ParamKind::bufferedText;
}

const char hexDigits[] = "0123456789abcdef";

std::string hexOf(const unsigned char *bytes, size_t length) {
  std::string hex;
  hex.reserve(length * 2);
  for (size_t i = 0; i < length; i++) {
    hex += hexDigits[bytes[i] >> 4];
    hex += hexDigits[bytes[i] & 0x0f];
  }
  return hex;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

bool bytesOfHex(const std::string &hex, std::string *bytes) {
  if (hex.size() % 2 != 0)
    return false;
  bytes->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = hexDigit(hex[i]);
    int low = hexDigit(hex[i + 1]);
    if (high < 0 || low < 0)
      return false;
    *bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

/// True for text an export can carry as "value": well-formed UTF-8 with
/// no control character, so that every reader shows it as it is.
bool printableText(const std::string &text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f)
      return false;
    if (c < 0x80) {
      i++;
      continue;
    }
    size_t length;
    unsigned int codePoint;
    if ((c & 0xe0) == 0xc0) {
      length = 2;
      codePoint = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      length = 3;
      codePoint = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      length = 4;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size())
      return false;
    for (size_t k = 1; k < length; k++) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80)
        return false;
      codePoint = (codePoint << 6) | (next & 0x3f);
    }
    // Overlong forms, surrogates, beyond Unicode, and the C1 controls.
    static const unsigned int smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || (codePoint >= 0xd800 && codePoint <= 0xdfff) ||
        codePoint > 0x10ffff || (codePoint >= 0x80 && codePoint < 0xa0))
      return false;
    i += length;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Writing

struct OtherRun {
  size_t offset;
  size_t count;
  bool fill;
  std::string hex; ///< the bytes (hex run) or the one byte (fill)
};

/// The bytes no held keyword expresses, as runs: a byte repeated
/// FILL_RUN times or more is a fill, the rest hex; zeros are left out.
std::vector<OtherRun> otherRuns(const ParamSet &set) {
  std::vector<OtherRun> runs;
  std::vector<unsigned char> block = paramSetBlock(set);
  size_t length = set.block.empty() ? static_cast<size_t>(FLASH_IMAGE_SIZE) : block.size();
  std::vector<bool> expressed = keywordBytes(set, length);
  auto sameRun = [&](size_t from) {
    size_t to = from;
    while (to < length && !expressed[to] && block[to] == block[from])
      to++;
    return to;
  };
  size_t i = 0;
  while (i < length) {
    if (expressed[i]) {
      i++;
      continue;
    }
    size_t same = sameRun(i);
    if (same - i >= FILL_RUN) {
      if (block[i] != 0)
        runs.push_back(OtherRun{i, same - i, true, hexOf(&block[i], 1)});
      i = same;
      continue;
    }
    size_t end = i;
    while (end < length && !expressed[end]) {
      size_t next = sameRun(end);
      if (next - end >= FILL_RUN)
        break;
      end = next;
    }
    size_t first = i;
    size_t last = end;
    while (first < last && block[first] == 0)
      first++;
    while (last > first && block[last - 1] == 0)
      last--;
    if (first < last)
      runs.push_back(OtherRun{first, last - first, false, hexOf(&block[first], last - first)});
    i = end;
  }
  return runs;
}

/// One exported parameter: its value as an integer, a text, or hex bytes.
struct ExportedValue {
  bool integer = false;
  long number = 0;
  bool outOfRange = false; ///< outside the table's range (the block holds it all the same)
  bool hex = false;
  std::string text;
};

/// The range a value of the entry may take: the table's bounds, or the
/// storage width's where the table has none (as a parameter file has it);
/// with width set, the storage width's alone.
void entryRange(const ParamEntry &entry, bool width, long *lowest, long *highest) {
  long low = 0;
  long high = 255;
  if (entry.kind == ParamKind::int16) {
    low = -32768;
    high = 32767;
  } else if (entry.kind == ParamKind::uint16) {
    high = 65535;
  }
  *lowest = width || entry.minimum == -1 ? low : entry.minimum;
  *highest = width || entry.maximum == -1 ? high : entry.maximum;
}

ExportedValue exportedValue(const ParamSet &set, const ParamEntryRef &ref) {
  ExportedValue value;
  const unsigned char *at = set.image + ref.offset;
  if (isText(ref.entry->kind)) {
    std::string text(reinterpret_cast<const char *>(at),
                     strnlen(reinterpret_cast<const char *>(at), ref.width));
    value.hex = !printableText(text);
    value.text = value.hex ? hexOf(at, text.size()) : text;
    return value;
  }
  value.integer = true;
  value.number = std::strtol(entryValueText(ref, set.image).c_str(), nullptr, 10);
  long lowest, highest;
  entryRange(*ref.entry, false, &lowest, &highest);
  value.outOfRange = value.number < lowest || value.number > highest;
  return value;
}

std::string jsonExport(const ParamSet &set) {
  auto dump = [](const ordered_json &value) {
    return value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
  };
  std::string out = "{\n  \"format\": " + dump(PARAM_EXPORT_FORMAT) + ",\n";
  if (!set.block.empty())
    out += "  \"blockLength\": " + std::to_string(set.block.size()) + ",\n";
  out += "  \"parameters\": [";
  const std::vector<ParamEntryRef> &entries = paramEntries();
  bool first = true;
  for (size_t i = 0; i < entries.size(); i++) {
    if (!set.holds(i))
      continue;
    const ParamEntryRef &ref = entries[i];
    ExportedValue value = exportedValue(set, ref);
    ordered_json line;
    line["keyword"] = ref.entry->name;
    if (value.integer)
      line["value"] = value.number;
    else
      line[value.hex ? "hex" : "value"] = value.text;
    if (value.outOfRange)
      line["outOfRange"] = true;
    line["section"] = ref.table;
    line["description"] = ref.entry->description;
    out += (first ? "\n    " : ",\n    ") + dump(line);
    first = false;
  }
  out += first ? "]" : "\n  ]";
  if (set.otherBytesKnown) {
    out += ",\n  \"otherBytes\": [";
    std::vector<OtherRun> runs = otherRuns(set);
    for (size_t i = 0; i < runs.size(); i++) {
      ordered_json line;
      line["offset"] = runs[i].offset;
      if (runs[i].fill) {
        line["count"] = runs[i].count;
        line["fill"] = runs[i].hex;
      } else {
        line["hex"] = runs[i].hex;
      }
      out += (i == 0 ? "\n    " : ",\n    ") + dump(line);
    }
    out += runs.empty() ? "]" : "\n  ]";
  }
  out += "\n}\n";
  return out;
}

std::string yamlExport(const ParamSet &set) {
  YAML::Emitter out;
  out << YAML::BeginMap;
  out << YAML::Key << "format" << YAML::Value << YAML::DoubleQuoted << PARAM_EXPORT_FORMAT;
  if (!set.block.empty())
    out << YAML::Key << "blockLength" << YAML::Value << set.block.size();
  out << YAML::Key << "parameters" << YAML::Value << YAML::BeginSeq;
  const std::vector<ParamEntryRef> &entries = paramEntries();
  for (size_t i = 0; i < entries.size(); i++) {
    if (!set.holds(i))
      continue;
    const ParamEntryRef &ref = entries[i];
    ExportedValue value = exportedValue(set, ref);
    out << YAML::Flow << YAML::BeginMap;
    out << YAML::Key << "keyword" << YAML::Value << YAML::DoubleQuoted << ref.entry->name;
    if (value.integer)
      out << YAML::Key << "value" << YAML::Value << value.number;
    else
      out << YAML::Key << (value.hex ? "hex" : "value") << YAML::Value << YAML::DoubleQuoted
          << value.text;
    if (value.outOfRange)
      out << YAML::Key << "outOfRange" << YAML::Value << true;
    out << YAML::Key << "section" << YAML::Value << ref.table;
    out << YAML::Key << "description" << YAML::Value << YAML::DoubleQuoted
        << ref.entry->description;
    out << YAML::EndMap;
  }
  out << YAML::EndSeq;
  if (set.otherBytesKnown) {
    out << YAML::Key << "otherBytes" << YAML::Value << YAML::BeginSeq;
    for (const OtherRun &run : otherRuns(set)) {
      out << YAML::Flow << YAML::BeginMap;
      out << YAML::Key << "offset" << YAML::Value << run.offset;
      if (run.fill)
        out << YAML::Key << "count" << YAML::Value << run.count << YAML::Key << "fill"
            << YAML::Value << YAML::DoubleQuoted << run.hex;
      else
        out << YAML::Key << "hex" << YAML::Value << YAML::DoubleQuoted << run.hex;
      out << YAML::EndMap;
    }
    out << YAML::EndSeq;
  }
  out << YAML::EndMap;
  return std::string(out.c_str()) + "\n";
}

// ---------------------------------------------------------------------------
// Reading: both formats into one plain form

/// A scalar of an export as read: JSON keeps its type, YAML has text only.
struct Scalar {
  enum Kind { missing, null, integer, textual, other } kind = missing;
  long long number = 0;
  bool fits = true; ///< the integer fits in 64 bits
  std::string text;
};

struct ListEntry {
  int line = 0;
  bool isMap = false;
  Scalar keyword, value, hex, outOfRange, offset, count, fill;
};

struct ExportText {
  std::string error; ///< the text is no export: why, with its line
  bool isMap = false;
  Scalar format, blockLength;
  bool hasParameters = false, parametersList = false;
  std::vector<ListEntry> parameters;
  bool hasOtherBytes = false, otherBytesList = false;
  std::vector<ListEntry> otherBytes;
  bool tooMany = false;
};

// JSON

Scalar jsonScalar(const nlohmann::json &object, const char *key) {
  Scalar scalar;
  auto found = object.find(key);
  if (found == object.end())
    return scalar;
  const nlohmann::json &value = *found;
  if (value.is_null()) {
    scalar.kind = Scalar::null;
  } else if (value.is_number_unsigned()) {
    scalar.kind = Scalar::integer;
    unsigned long long number = value.get<unsigned long long>();
    scalar.fits = number <= static_cast<unsigned long long>(LLONG_MAX);
    scalar.number = scalar.fits ? static_cast<long long>(number) : 0;
    scalar.text = std::to_string(number);
  } else if (value.is_number_integer()) {
    scalar.kind = Scalar::integer;
    scalar.number = value.get<long long>();
    scalar.text = std::to_string(scalar.number);
  } else if (value.is_boolean()) {
    scalar.kind = Scalar::textual;
    scalar.text = value.get<bool>() ? "true" : "false";
  } else if (value.is_string()) {
    scalar.kind = Scalar::textual;
    scalar.text = value.get<std::string>();
  } else {
    scalar.kind = Scalar::other;
    scalar.text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  return scalar;
}

int lineAt(const std::string &text, size_t position) {
  size_t end = std::min(position, text.size());
  int line = 1;
  for (size_t i = 0; i < end; i++)
    if (text[i] == '\n')
      line++;
  return line;
}

/// The line on which each element of the top-level list named key starts
/// (the last such list, as the parser keeps the last of equal keys). The
/// text is valid JSON: only strings and nesting need following.
std::vector<int> jsonElementLines(const std::string &text, const std::string &key) {
  std::vector<int> lines;
  int depth = 0;
  int line = 1;
  bool inString = false, escape = false, inList = false, expectElement = false;
  std::string string, lastKey;
  for (char c : text) {
    if (inString) {
      if (escape)
        escape = false;
      else if (c == '\\')
        escape = true;
      else if (c == '"')
        inString = false;
      else
        string += c;
      if (c == '\n')
        line++;
      continue;
    }
    if (c == '\n') {
      line++;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r')
      continue;
    if (expectElement && c != ']') {
      lines.push_back(line);
      expectElement = false;
    }
    switch (c) {
    case '"':
      inString = true;
      string.clear();
      break;
    case ':':
      if (depth == 1)
        lastKey = string;
      break;
    case '[':
    case '{':
      depth++;
      if (c == '[' && depth == 2 && lastKey == key) {
        lines.clear();
        inList = true;
        expectElement = true;
      }
      break;
    case ']':
    case '}':
      if (depth == 2)
        inList = false;
      depth--;
      break;
    case ',':
      if (inList && depth == 2)
        expectElement = true;
      break;
    default:
      break;
    }
  }
  return lines;
}

/// Lets the parser find the first fault of a text and where it is.
struct JsonFaultFinder : nlohmann::json::json_sax_t {
  size_t position = 0;
  std::string what;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t &) override { return true; }
  bool string(string_t &) override { return true; }
  bool binary(binary_t &) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t &) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t at, const std::string &,
                   const nlohmann::json::exception &fault) override {
    position = at;
    what = fault.what();
    return false;
  }
};

void readJsonList(const nlohmann::json &top, const char *key, const std::string &text, bool *has,
                  bool *isList, std::vector<ListEntry> *entries, bool *tooMany) {
  auto found = top.find(key);
  *has = found != top.end();
  if (!*has)
    return;
  *isList = found->is_array();
  if (!*isList)
    return;
  std::vector<int> lines = jsonElementLines(text, key);
  for (size_t i = 0; i < found->size(); i++) {
    if (i == MAX_LIST_ENTRIES) {
      *tooMany = true;
      break;
    }
    const nlohmann::json &element = (*found)[i];
    ListEntry entry;
    entry.line = i < lines.size() ? lines[i] : 0;
    entry.isMap = element.is_object();
    if (entry.isMap) {
      entry.keyword = jsonScalar(element, "keyword");
      entry.value = jsonScalar(element, "value");
      entry.hex = jsonScalar(element, "hex");
      entry.outOfRange = jsonScalar(element, "outOfRange");
      entry.offset = jsonScalar(element, "offset");
      entry.count = jsonScalar(element, "count");
      entry.fill = jsonScalar(element, "fill");
    }
    entries->push_back(entry);
  }
}

ExportText readJson(const std::string &text) {
  ExportText read;
  nlohmann::json top = nlohmann::json::parse(text, nullptr, false);
  if (top.is_discarded()) {
    JsonFaultFinder finder;
    nlohmann::json::sax_parse(text, &finder);
    read.error = "line " + std::to_string(lineAt(text, finder.position)) + ": not valid JSON (" +
                 finder.what + ").";
    return read;
  }
  read.isMap = top.is_object();
  if (!read.isMap)
    return read;
  read.format = jsonScalar(top, "format");
  read.blockLength = jsonScalar(top, "blockLength");
  readJsonList(top, "parameters", text, &read.hasParameters, &read.parametersList, &read.parameters,
               &read.tooMany);
  readJsonList(top, "otherBytes", text, &read.hasOtherBytes, &read.otherBytesList, &read.otherBytes,
               &read.tooMany);
  return read;
}

// YAML

Scalar yamlScalar(const YAML::Node &map, const char *key) {
  Scalar scalar;
  const YAML::Node value = map[key];
  if (!value.IsDefined())
    return scalar;
  if (value.IsNull()) {
    scalar.kind = Scalar::null;
  } else if (value.IsScalar()) {
    scalar.kind = Scalar::textual;
    scalar.text = value.Scalar();
  } else {
    scalar.kind = Scalar::other;
  }
  return scalar;
}

void readYamlList(const YAML::Node &top, const char *key, bool *has, bool *isList,
                  std::vector<ListEntry> *entries, bool *tooMany) {
  const YAML::Node list = top[key];
  *has = list.IsDefined();
  if (!*has)
    return;
  *isList = list.IsSequence();
  if (!*isList)
    return;
  for (const YAML::Node &element : list) {
    if (entries->size() == MAX_LIST_ENTRIES) {
      *tooMany = true;
      break;
    }
    ListEntry entry;
    entry.line = element.Mark().line + 1;
    entry.isMap = element.IsMap();
    if (entry.isMap) {
      entry.keyword = yamlScalar(element, "keyword");
      entry.value = yamlScalar(element, "value");
      entry.hex = yamlScalar(element, "hex");
      entry.outOfRange = yamlScalar(element, "outOfRange");
      entry.offset = yamlScalar(element, "offset");
      entry.count = yamlScalar(element, "count");
      entry.fill = yamlScalar(element, "fill");
    }
    entries->push_back(entry);
  }
}

ExportText readYaml(const std::string &text) {
  ExportText read;
  try {
    YAML::Node top = YAML::Load(text);
    read.isMap = top.IsMap();
    if (!read.isMap)
      return read;
    read.format = yamlScalar(top, "format");
    read.blockLength = yamlScalar(top, "blockLength");
    readYamlList(top, "parameters", &read.hasParameters, &read.parametersList, &read.parameters,
                 &read.tooMany);
    readYamlList(top, "otherBytes", &read.hasOtherBytes, &read.otherBytesList, &read.otherBytes,
                 &read.tooMany);
  } catch (const YAML::Exception &fault) {
    read.error = (fault.mark.is_null() ? std::string()
                                       : "line " + std::to_string(fault.mark.line + 1) + ": ") +
                 "not valid YAML (" + fault.msg + ").";
  } catch (const std::exception &fault) {
    read.error = std::string("not readable as YAML (") + fault.what() + ").";
  }
  return read;
}

// ---------------------------------------------------------------------------
// Reading: the plain form into a set

/// An integer of an export: a JSON integer, or a text of decimal digits
/// (as a parameter file takes it), within 32 bits.
bool integerOf(const Scalar &scalar, long long *number) {
  if (scalar.kind == Scalar::integer) {
    *number = scalar.number;
    return scalar.fits;
  }
  if (scalar.kind != Scalar::textual || scalar.text.empty())
    return false;
  errno = 0;
  char *end = nullptr;
  long long value = std::strtoll(scalar.text.c_str(), &end, 10);
  if (errno != 0 || end == scalar.text.c_str() || *end != '\0')
    return false;
  *number = value;
  return true;
}

class ExportReader {
public:
  ExportReader(ParamSet &set) : mySet(set) {}

  void apply(const ExportText &read) {
    for (const ListEntry &entry : read.parameters)
      parameter(entry);
    size_t length = FLASH_IMAGE_SIZE;
    long long blockLength = 0;
    if (read.blockLength.kind != Scalar::missing) {
      if (integerOf(read.blockLength, &blockLength) &&
          (blockLength == PARAM_BLOCK_SIZE || blockLength == PARAM_BLOCK_SHORTEST)) {
        length = static_cast<size_t>(blockLength);
      } else {
        problem(0, "", read.blockLength.text, "not a block length",
                "\"blockLength\" must be 4096 or 4095; the block is left out.");
        blockLength = 0;
      }
    }
    // The bytes as the parameters left them, in the block's order; then
    // the other bytes wherever no parameter read holds them.
    std::vector<unsigned char> raw = paramSetBlock(mySet);
    raw.resize(length, 0);
    std::vector<bool> expressed = keywordBytes(mySet, length);
    for (const ListEntry &entry : read.otherBytes)
      otherBytes(entry, length, expressed, &raw);
    mySet.otherBytesKnown = read.hasOtherBytes && read.otherBytesList;
    if (blockLength != 0)
      mySet.block = raw;
    // Back into the image, 16-bit values in host order.
    std::memcpy(mySet.image, raw.data(), FLASH_IMAGE_SIZE);
    swapParamWords(mySet.image);
  }

private:
  std::string where(int line) const {
    return inQuotes(mySet.source) + (line > 0 ? " line " + std::to_string(line) : "") + ": ";
  }

  void problem(int line, const std::string &keyword, const std::string &value,
               const std::string &reason, const std::string &message,
               const std::string &suggestion = "") {
    ParamProblem problem;
    problem.line = line;
    problem.keyword = keyword;
    problem.value = value;
    problem.reason = reason;
    problem.suggestion = suggestion;
    problem.message = where(line) + message;
    mySet.problems.push_back(problem);
  }

  void parameter(const ListEntry &entry) {
    if (!entry.isMap || entry.keyword.kind != Scalar::textual) {
      problem(entry.line, "", "", "not a parameter",
              "not a parameter: each one needs a \"keyword\" and a \"value\".");
      return;
    }
    const std::string &keyword = entry.keyword.text;
    const ParamEntryRef *ref = findParamEntry(keyword);
    if (ref == nullptr) {
      std::string nearest = nearestKeyword(allTables(), keyword);
      problem(entry.line, keyword, entry.value.text, "unknown keyword",
              "unknown keyword '" + keyword + "'" +
                  (nearest.empty() ? std::string() : " (did you mean '" + nearest + "'?)") +
                  ", not applied.",
              nearest);
      return;
    }
    const ParamEntry &param = *ref->entry;
    size_t index = static_cast<size_t>(ref - paramEntries().data());
    unsigned char *at = mySet.image + ref->offset;
    const std::string name = param.name;
    bool hasValue = entry.value.kind != Scalar::missing;
    bool hasHex = entry.hex.kind != Scalar::missing;
    if (isText(param.kind)) {
      std::string bytes;
      if (hasValue == hasHex) {
        problem(entry.line, name, entry.value.text, hasValue ? "two values" : "no value",
                name + " needs one of \"value\" and \"hex\"; not applied.");
        return;
      }
      if (hasHex) {
        if (entry.hex.kind != Scalar::textual || !bytesOfHex(entry.hex.text, &bytes)) {
          problem(entry.line, name, entry.hex.text, "not hex",
                  name + ": \"hex\" must be an even number of hex digits; not applied.");
          return;
        }
        // The text ends at its first zero byte; bytes after it are no part
        // of the value (they belong in "otherBytes").
        size_t end = bytes.find('\0');
        if (end != std::string::npos && bytes.find_first_not_of('\0', end) != std::string::npos) {
          problem(entry.line, name, entry.hex.text, "text past its end",
                  name + ": \"hex\" goes on after the text's end (a 00 byte); not applied.");
          return;
        }
      } else if (entry.value.kind == Scalar::null) {
        bytes.clear();
      } else if (entry.value.kind == Scalar::textual || entry.value.kind == Scalar::integer) {
        bytes = entry.value.text;
        if (!printableText(bytes)) {
          problem(entry.line, name, bytes, "text not storable",
                  name + ": a text with control characters goes in \"hex\"; not applied.");
          return;
        }
      } else {
        problem(entry.line, name, entry.value.text, "not a text",
                name + " needs a text; not applied.");
        return;
      }
      if (bytes.size() > ref->width) {
        problem(entry.line, name, bytes, "text too long",
                name + " holds at most " + std::to_string(ref->width) + " characters, not " +
                    std::to_string(bytes.size()) + "; not applied.");
        return;
      }
      std::memset(at, 0, ref->width);
      std::memcpy(at, bytes.data(), bytes.size());
      mySet.held[index] = true;
      return;
    }
    long long number = 0;
    if (hasHex || !hasValue) {
      problem(entry.line, name, entry.hex.text, "no value",
              name + " needs a \"value\", a whole number; not applied.");
      return;
    }
    if (!integerOf(entry.value, &number)) {
      problem(entry.line, name, entry.value.text, "not an integer",
              name + " needs a whole number, not " +
                  (entry.value.text.empty() ? std::string("that") : "'" + entry.value.text + "'") +
                  "; not applied.");
      return;
    }
    char error[256] = "";
    long lowest, highest;
    entryRange(param, true, &lowest, &highest);
    bool marked = entry.outOfRange.kind == Scalar::textual && entry.outOfRange.text == "true";
    if (marked && number >= lowest && number <= highest) {
      // A value the block held outside the table's range, and the export
      // says so: taken as it is, so that the block comes back whole. A
      // value typed out of range without the mark is refused below.
      if (param.kind == ParamKind::uint8) {
        *at = static_cast<unsigned char>(number);
      } else {
        unsigned short word = static_cast<unsigned short>(number);
        std::memcpy(at, &word, sizeof word);
      }
      mySet.held[index] = true;
      return;
    }
    if (number < INT_MIN || number > INT_MAX) {
      std::snprintf(error, sizeof error, "%s value of %lld is out of range.", name.c_str(), number);
    } else {
      // The registry's own checks, as a parameter file gets them.
      ZyConfigArg arg = paramConfigArg(param, at, nullptr);
      if (arg.setInt(static_cast<int>(number), error, sizeof error)) {
        mySet.held[index] = true;
        return;
      }
    }
    problem(entry.line, name, entry.value.text, "out of range",
            std::string(error) + " Not applied.");
  }

  void otherBytes(const ListEntry &entry, size_t length, const std::vector<bool> &expressed,
                  std::vector<unsigned char> *raw) {
    long long offset = 0;
    long long count = 0;
    std::string bytes;
    bool fill = entry.fill.kind != Scalar::missing;
    bool wellFormed = entry.isMap && integerOf(entry.offset, &offset) && offset >= 0;
    if (wellFormed && fill)
      wellFormed = entry.hex.kind == Scalar::missing && entry.fill.kind == Scalar::textual &&
                   bytesOfHex(entry.fill.text, &bytes) && bytes.size() == 1 &&
                   integerOf(entry.count, &count) && count > 0;
    else if (wellFormed)
      wellFormed = entry.hex.kind == Scalar::textual && bytesOfHex(entry.hex.text, &bytes) &&
                   entry.count.kind == Scalar::missing;
    if (!wellFormed) {
      problem(entry.line, "", "", "not other bytes",
              "other bytes need an \"offset\" and either \"hex\" or \"count\" and \"fill\" "
              "(one byte in hex); not taken.");
      return;
    }
    if (!fill)
      count = static_cast<long long>(bytes.size());
    if (offset > static_cast<long long>(length) ||
        count > static_cast<long long>(length) - offset) {
      problem(entry.line, "", "", "outside the block",
              "other bytes at " + std::to_string(offset) + " run past the " +
                  std::to_string(length) + " bytes of the block; not taken.");
      return;
    }
    bool overlap = false;
    for (long long k = 0; k < count; k++) {
      size_t at = static_cast<size_t>(offset + k);
      if (expressed[at]) {
        overlap = true;
        continue;
      }
      (*raw)[at] = static_cast<unsigned char>(fill ? bytes[0] : bytes[static_cast<size_t>(k)]);
    }
    if (overlap)
      problem(entry.line, "", "", "overlaps a parameter",
              "other bytes at " + std::to_string(offset) +
                  " overlap a parameter's value; the parameter's bytes were kept.");
  }

  ParamSet &mySet;
};

} // namespace

bool exportFormatNamed(const std::string &name, ParamSetFormat *format) {
  std::string lower = name;
  for (char &c : lower)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  if (lower == "json")
    *format = ParamSetFormat::json;
  else if (lower == "yaml")
    *format = ParamSetFormat::yaml;
  else
    return false;
  return true;
}

std::string exportParamSet(const ParamSet &set, ParamSetFormat format) {
  if (format == ParamSetFormat::json)
    return jsonExport(set);
  if (format == ParamSetFormat::yaml)
    return yamlExport(set);
  return "";
}

ParamSet paramSetFromExportText(const std::string &text, ParamSetFormat format,
                                const std::string &source) {
  ParamSet set;
  set.source = source;
  set.format = format == ParamSetFormat::yaml ? ParamSetFormat::yaml : ParamSetFormat::json;
  ExportText read = set.format == ParamSetFormat::yaml ? readYaml(text) : readJson(text);
  const char *kind = set.format == ParamSetFormat::yaml ? "YAML" : "JSON";
  if (!read.error.empty()) {
    set.error = inQuotes(source) + " " + read.error;
  } else if (!read.isMap || read.format.kind != Scalar::textual ||
             read.format.text != PARAM_EXPORT_FORMAT) {
    set.error = inQuotes(source) + " is no parameter export: its " + kind +
                " has no \"format\": \"" + PARAM_EXPORT_FORMAT + "\".";
  } else if (!read.hasParameters || !read.parametersList) {
    set.error = inQuotes(source) + " has no \"parameters\" list.";
  } else if (read.hasOtherBytes && !read.otherBytesList) {
    set.error = inQuotes(source) + ": \"otherBytes\" is not a list.";
  } else if (read.tooMany) {
    set.error = inQuotes(source) + " lists more than " + std::to_string(MAX_LIST_ENTRIES) +
                " entries: it is no parameter export.";
  }
  if (!set.error.empty())
    return set;
  ExportReader(set).apply(read);
  return set;
}

bool writeParamSetExport(const ParamSet &set, ParamSetFormat format, const std::string &fileName,
                         bool replace, std::string *error) {
  std::string text = exportParamSet(set, format);
  if (text.empty()) {
    *error = "Cannot export to " + inQuotes(fileName) + ": the format must be json or yaml.";
    return false;
  }
  // A file replaced keeps its permissions, as a save's does; the exact
  // form never writes through a link put there after this look.
  int permissions = -1;
  struct stat status;
  if (lstat(fileName.c_str(), &status) == 0) {
    if (S_ISLNK(status.st_mode)) {
      *error = "Cannot export to " + inQuotes(fileName) +
               ": it is a symbolic link; name the file itself.";
      return false;
    }
    if (!replace) {
      *error = "Cannot export to " + inQuotes(fileName) + ": it exists already.";
      return false;
    }
    if (S_ISREG(status.st_mode))
      permissions = static_cast<int>(status.st_mode & 0777);
  }
  ZySafeFile file;
  if (!file.openExact(fileName, replace ? ZySafeFile::Replace : ZySafeFile::CreateNew,
                      permissions) ||
      !file.write(text.data(), text.size()) || !file.commit()) {
    *error = "Cannot export to " + inQuotes(fileName) + " (" + strerror(errno) + ").";
    return false;
  }
  return true;
}
