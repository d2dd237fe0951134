// SPDX-License-Identifier: MIT
// The operations for programs: each runs the tool's own code with the log
// kept quiet and what it logs on this thread collected, and turns how it
// ended into an Outcome whose status is the one the tool ends with.
#include "Orvex.h"
#include "OrvexInternal.h"

#include "ChangeList.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "ParamSet.h"
#include "ParamSetDiff.h"
#include "ParamSetFile.h"
#include "PortAdvice.h"
#include "PortList.h"
#include "RunOutcome.h"
#include "RunReport.h"
#include "ZyLog.h"
#include "ZyNetConnection.h"
#include "ZyPortUrl.h"
#include "ZySerialConnection.h"
#include "ZyVersion.h"

#include <mutex>
#include <utility>

namespace orvex {

// The statuses are the tool's exit statuses, number for number.
static_assert(static_cast<int>(Status::options) == EXIT_OPTIONS &&
                  static_cast<int>(Status::noConnection) == EXIT_NO_CONNECTION &&
                  static_cast<int>(Status::flashRead) == EXIT_FLASH_READ &&
                  static_cast<int>(Status::imageUpload) == EXIT_IMAGE_UPLOAD &&
                  static_cast<int>(Status::upload) == EXIT_UPLOAD &&
                  static_cast<int>(Status::wrongFirmware) == EXIT_WRONG_FIRMWARE &&
                  static_cast<int>(Status::badArguments) == EXIT_BAD_ARGUMENTS &&
                  static_cast<int>(Status::flashWrite) == EXIT_FLASH_WRITE &&
                  static_cast<int>(Status::saveFailed) == EXIT_SAVE_FAILED &&
                  static_cast<int>(Status::wouldChange) == EXIT_WOULD_CHANGE,
              "orvex::Status must give the tool's exit statuses");
static_assert(static_cast<int>(LogLevel::terse) == ZyLog::Terse &&
                  static_cast<int>(LogLevel::normal) == ZyLog::Normal &&
                  static_cast<int>(LogLevel::verbose) == ZyLog::Verbose,
              "orvex::LogLevel must give the log's levels");

namespace {

/// Logs what a parameter source had that was not taken, as a restore logs
/// it: an unknown keyword as a notice, a refused value as an error.
void logProblems(const ParamSet &set) {
  for (const ParamProblem &problem : set.problems)
    ZyLog::log(problem.reason == "unknown keyword" ? ZyLog::Normal : ZyLog::Terse, "%s",
               problem.message.c_str());
}

/// The outcome of reading a set: flashRead when it could not be read or
/// refused a value (the line of the first refused).
Result<Parameters> fromSet(Call &call, ParamSet set) {
  Result<Parameters> result;
  Status status = Status::ok;
  int line = 0;
  if (!set.readable()) {
    Call::fail(set.error);
    status = Status::flashRead;
  } else {
    logProblems(set);
    for (const ParamProblem &problem : set.problems)
      if (problem.reason != "unknown keyword") {
        status = Status::flashRead;
        line = problem.line;
        break;
      }
  }
  std::string file = set.source;
  result.value = Parameters(set);
  call.finish(result, status, file, line);
  return result;
}

} // namespace

const char *version() {
  return ZYLA_VERSION;
}

const char *statusName(Status status) {
  return exitStatusName(static_cast<int>(status));
}

Change changeOf(const ParamChange &change) {
  return Change{change.keyword, change.table, change.before,
                change.after,   change.text,  changeLine(change)};
}

namespace {
/// The program's function and its context, handed to the log's sink.
struct ProgramSink {
  LogFunction function;
  void *context;
  ZyLog::LogLevel level;
};

void toProgram(void *context, ZyLog::LogLevel level, const char *line) {
  const ProgramSink *sink = static_cast<const ProgramSink *>(context);
  if (level <= sink->level)
    sink->function(sink->context, static_cast<LogLevel>(level), line);
}

/// The log's own level: at least normal, so that the log's observer sees
/// the warnings a controller's run report lists whatever the program
/// asked for.
ZyLog::LogLevel logLevelFor(ZyLog::LogLevel level) {
  return level > ZyLog::Normal ? level : ZyLog::Normal;
}

/// Where a line goes when the program routed the log nowhere.
void nowhere(void *, ZyLog::LogLevel, const char *) {}

/// The program's choice: one change at a time. The sink given before is
/// freed once the log no longer calls it (setSink returns after a line
/// under way has ended); the one in use lives on past the end of main, as
/// the log does.
struct ProgramLog {
  std::mutex changing;
  ProgramSink *current = nullptr;
  ZyLog::LogLevel level = ZyLog::Normal;
};

ProgramLog &programLog() {
  static ProgramLog &log = *new ProgramLog;
  return log;
}
} // namespace

void setLogSink(LogFunction function, void *context, LogLevel level) {
  ProgramLog &log = programLog();
  std::lock_guard<std::mutex> guard(log.changing);
  log.level = static_cast<ZyLog::LogLevel>(level);
  ProgramSink *next = function != nullptr ? new ProgramSink{function, context, log.level} : nullptr;
  // Nowhere is a sink that drops every line rather than a silent log: the
  // log's observer, which fills a controller's run record, skips the lines
  // of a silent log.
  if (next != nullptr)
    ZyLog::setSink(toProgram, next, logLevelFor(log.level));
  else
    ZyLog::setSink(nowhere, nullptr, ZyLog::Normal);
  delete log.current;
  log.current = next;
}

void routeProgramLog() {
  ProgramLog &log = programLog();
  std::lock_guard<std::mutex> guard(log.changing);
  if (log.current != nullptr)
    ZyLog::setSink(toProgram, log.current, logLevelFor(log.level));
  else
    ZyLog::setSink(nowhere, nullptr, ZyLog::Normal);
}

// --- Parameters -----------------------------------------------------------

Parameters::Parameters() : mySet(std::make_unique<ParamSet>()) {}
Parameters::Parameters(const ParamSet &set) : mySet(std::make_unique<ParamSet>(set)) {}
Parameters::~Parameters() = default;
Parameters::Parameters(const Parameters &other) : mySet(std::make_unique<ParamSet>(*other.mySet)) {}
Parameters &Parameters::operator=(const Parameters &other) {
  if (this != &other)
    *mySet = *other.mySet;
  return *this;
}
// A moved-from set holds nothing, and stays usable.
Parameters::Parameters(Parameters &&other) noexcept
    : mySet(std::exchange(other.mySet, std::make_unique<ParamSet>())) {}
Parameters &Parameters::operator=(Parameters &&other) noexcept {
  std::swap(mySet, other.mySet);
  return *this;
}

const std::string &Parameters::source() const {
  return mySet->source;
}

std::string Parameters::format() const {
  return paramSetFormatName(mySet->format);
}

std::vector<Parameter> Parameters::list() const {
  std::vector<Parameter> list;
  const std::vector<ParamEntryRef> &entries = paramEntries();
  for (size_t i = 0; i < entries.size(); i++) {
    const ParamEntry &entry = *entries[i].entry;
    Parameter parameter;
    parameter.keyword = entry.name;
    parameter.alias = entry.alias;
    parameter.table = entries[i].table;
    parameter.description = entry.description;
    parameter.text = entry.kind == ParamKind::text || entry.kind == ParamKind::bufferedText;
    parameter.minimum = entry.minimum;
    parameter.maximum = entry.maximum;
    parameter.size = parameter.text ? entry.size : 0;
    parameter.held = mySet->holds(i);
    parameter.value = mySet->valueText(i);
    list.push_back(parameter);
  }
  return list;
}

bool Parameters::has(const std::string &keyword) const {
  const ParamEntryRef *ref = findParamEntry(keyword);
  return ref != nullptr && mySet->holds(static_cast<size_t>(ref - paramEntries().data()));
}

std::string Parameters::get(const std::string &keyword) const {
  const ParamEntryRef *ref = findParamEntry(keyword);
  if (ref == nullptr)
    return "";
  return mySet->valueText(static_cast<size_t>(ref - paramEntries().data()));
}

Outcome Parameters::set(const std::string &keyword, const std::string &value) {
  Call call;
  Outcome outcome;
  ParamSet edited = *mySet;
  ParamRefusal refusal = ParamRefusal::none;
  std::string suggestion;
  if (!setParamSetValue(edited, keyword, value.c_str(), &refusal, &suggestion)) {
    // The command line's words for a keyword no table knows.
    if (suggestion.empty())
      ZyLog::log(ZyLog::Terse, "Unknown keyword '%s'.", keyword.c_str());
    else
      ZyLog::log(ZyLog::Terse, "Unknown keyword '%s' (did you mean '%s'?).", keyword.c_str(),
                 suggestion.c_str());
    call.finish(outcome, Status::badArguments);
    return outcome;
  }
  if (refusal == ParamRefusal::notInteger || refusal == ParamRefusal::outOfRange ||
      refusal == ParamRefusal::notStorable) {
    call.finish(outcome, Status::badArguments);
    return outcome;
  }
  *mySet = std::move(edited);
  call.finish(outcome, Status::ok);
  return outcome;
}

std::vector<ParameterProblem> Parameters::problems() const {
  std::vector<ParameterProblem> problems;
  for (const ParamProblem &problem : mySet->problems)
    problems.push_back(ParameterProblem{problem.line, problem.keyword, problem.value,
                                        problem.reason, problem.suggestion, problem.message});
  return problems;
}

std::vector<unsigned char> Parameters::block() const {
  return paramSetBlock(*mySet);
}

std::vector<Change> Parameters::changesTo(const Parameters &other) const {
  std::vector<Change> changes;
  for (const ParamChange &change : diffParamSets(*mySet, *other.mySet).changes)
    changes.push_back(changeOf(change));
  return changes;
}

const ParamSet &Parameters::paramSet() const {
  return *mySet;
}

Result<Parameters> loadParameters(const std::string &path) {
  Call call;
  return fromSet(call, loadParamSet(path));
}

Result<Parameters> readBlockImage(const std::string &path) {
  Call call;
  return fromSet(call, paramSetFromBlockFile(path));
}

Result<Parameters> parametersFromBlock(const unsigned char *bytes, size_t length,
                                       const std::string &source) {
  Call call;
  return fromSet(call, paramSetFromBlock(bytes, length, source));
}

Outcome saveParameters(const Parameters &parameters, const std::string &path, bool replace) {
  Call call;
  Outcome outcome;
  std::string error;
  if (!writeParamSetFile(parameters.paramSet(), path, replace, &error)) {
    Call::fail(error);
    call.finish(outcome, Status::saveFailed, path);
    return outcome;
  }
  call.finish(outcome, Status::ok);
  return outcome;
}

// --- Firmware images ------------------------------------------------------

ImageInfo imageInfoOf(const std::string &path, const FirmwareImage &image, bool logSummary) {
  ImageInfo info;
  info.file = path;
  info.format = firmwareFormatName(image.format());
  for (const auto &range : image.ranges())
    info.ranges.push_back(AddressRange{range.first, range.second});
  for (int index : image.blocksToWrite()) {
    const FlashBlock &block = image.block(index);
    info.blocks.push_back(ImageBlock{index, block.start, block.size, block.highest});
  }
  info.sha256 = image.digest();
  if (!logSummary)
    return info;
  // The summary as the tool logs it.
  ZyLog::Collector summary(ZyLog::Normal);
  image.logSummary();
  for (const ZyLog::Collector::Line &line : summary.lines())
    info.summary.push_back(line.text);
  return info;
}

Result<ImageInfo> inspectImage(const std::string &path, long base) {
  Call call;
  Result<ImageInfo> result;
  FirmwareImage image;
  int failedLine = 0;
  if (!loadFirmwareFile(path.c_str(), base, image, &failedLine)) {
    result.value.file = path;
    call.finish(result, Status::upload, path, failedLine);
    return result;
  }
  result.value = imageInfoOf(path, image, true);
  call.finish(result, Status::ok);
  return result;
}

// --- Serial ports ---------------------------------------------------------

std::vector<SerialPort> listSerialPorts(const std::string &devRoot, const std::string &sysRoot) {
  Call call;
  std::vector<SerialPort> ports;
  for (const SerialPortInfo &port : ::listSerialPorts(devRoot, sysRoot))
    ports.push_back(SerialPort{port.device, port.byId, port.vendorId, port.productId,
                               port.manufacturer, port.product, port.serial, serialPortLine(port)});
  return ports;
}

Outcome checkPort(const std::string &port) {
  Call call;
  Outcome outcome;
  if (ZyPortUrl::looksLikeUrl(port.c_str())) {
    std::string error;
    std::unique_ptr<ZyNetConnection> net = ZyNetConnection::create(port, &error);
    if (net == nullptr) {
      // The words of the tool's connection options.
      ZyLog::log(ZyLog::Terse, "%s.", error.c_str());
      call.finish(outcome, Status::options);
      return outcome;
    }
    if (!net->openDefault()) {
      Call::fail(netPortAdvice(*net));
      call.finish(outcome, Status::noConnection);
      return outcome;
    }
    net->close();
    call.finish(outcome, Status::ok);
    return outcome;
  }
  ZySerialConnection serial;
  serial.setPortName(port.c_str());
  if (!serial.openDefault()) {
    std::string advice = portAdvice(serial);
    Call::fail(advice.empty() ? "Cannot open the port '" + port + "'." : advice);
    call.finish(outcome, Status::noConnection, port);
    return outcome;
  }
  serial.close();
  call.finish(outcome, Status::ok);
  return outcome;
}

} // namespace orvex
