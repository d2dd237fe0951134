// SPDX-License-Identifier: MIT
// The operations of orvexconf for programs, as values: parameter files and
// sets, block images, firmware images and serial ports. Nothing here
// prints: the log goes nowhere unless the program routes it (setLogSink),
// and every call reports how it ended as a value, with the exit status the
// command-line tool ends with for the same failure, the tool's own words
// for it, and the file and line it is about. The calls keep no state of
// their own: several threads may call them at once, each getting its own
// messages.
//
//   orvex::Result<orvex::Parameters> loaded = orvex::loadParameters("rover7.rop");
//   if (!loaded.ok()) { fprintf(stderr, "%s", loaded.message.c_str()); return loaded.code(); }
//   orvex::Outcome set = loaded.value.set("HostBaud", "4");
//   orvex::Outcome saved = orvex::saveParameters(loaded.value, "rover7-fast.rop");
#ifndef ORVEX_H
#define ORVEX_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct ParamSet;

namespace orvex {

/// The version of the library, e.g. "1.0.0" (that of orvexconf).
const char *version();

/// How an operation ended: the exit status of the command-line tool for the
/// same outcome.
enum class Status : int {
  ok = 0,
  options = 1,       ///< a bad option, e.g. a port URL that is not valid
  noConnection = 2,  ///< the port could not be opened, no controller answered
  flashRead = 3,     ///< a parameter file or block image could not be read whole
  imageUpload = 4,   ///< an upload of -m failed
  upload = 5,        ///< a firmware image is unsound, or an upload of -u failed
  wrongFirmware = 6, ///< the controller does not run the firmware expected
  badArguments = 7,  ///< an unknown keyword or a value refused
  flashWrite = 8,    ///< writing the parameter block failed
  saveFailed = 9,    ///< a file could not be saved
  wouldChange = 10   ///< a check found something a write would change
};
/// The status's name in the tool's run report: "ok", "options",
/// "no-connection", "flash-read", ..., "signal" for 128 + n.
const char *statusName(Status status);

enum class LogLevel : int { terse = 0, normal = 1, verbose = 2 };

/// A line an operation logged: terse lines are the tool's errors and
/// refusals, normal ones its progress and summaries.
struct LogLine {
  LogLevel level;
  std::string text;
};

/// How an operation ended.
struct Outcome {
  Status status = Status::ok;
  /// What failed, in the tool's words, one line each: the lines the
  /// operation logged as errors (those it logged at all when none was an
  /// error). "" when it did not fail.
  std::string message;
  /// The file the failure is about, "" when none.
  std::string file;
  /// The line of that file, counted from 1; 0 when no one line is.
  int line = 0;
  /// Every line the operation logged up to normal, in order.
  std::vector<LogLine> log;

  bool ok() const { return status == Status::ok; }
  /// The status as a process exit status.
  int code() const { return static_cast<int>(status); }
};

/// An outcome with the value the operation gives; value is what could be
/// made also when it failed (an empty one when nothing could).
template <class T> struct Result : Outcome { T value{}; };

/// A program's receiver of the log: the level and the text of each line.
/// It is called on the thread that logs, under the log's lock: it must not
/// call the library (a binding that needs a lock of its own there should
/// queue the line).
using LogFunction = void (*)(void *context, LogLevel level, const char *line);
/// Routes what every operation logs, on every thread, to function: the
/// lines up to level. nullptr routes it nowhere, which is where it goes
/// until a program says otherwise. The outcomes carry their own lines
/// either way.
void setLogSink(LogFunction function, void *context, LogLevel level = LogLevel::normal);

// --- Parameters -----------------------------------------------------------

/// One parameter of the controller's FLASH parameter block.
struct Parameter {
  std::string keyword;     ///< its name, e.g. "HostBaud"
  std::string alias;       ///< a second name, or ""
  std::string table;       ///< "robot", "arm" or "power"
  std::string description; ///< as the parameter file's comment
  bool text = false;       ///< a text, else an integer
  int minimum = -1;        ///< smallest integer taken, -1 for none
  int maximum = -1;        ///< largest integer taken, -1 for none
  int size = 0;            ///< characters a text holds
  bool held = false;       ///< the source gave (or a set gave) its value
  std::string value;       ///< as shown (a text without quotes); "" when not held
};

/// Something in a source that was not taken.
struct ParameterProblem {
  int line = 0;           ///< line of the file, 0 when it has none
  std::string keyword;    ///< as written
  std::string value;      ///< as written
  std::string reason;     ///< "unknown keyword", "out of range", "not an integer", ...
  std::string suggestion; ///< nearest known keyword of an unknown one, or ""
  std::string message;    ///< one sentence naming the file and the line
};

/// A parameter whose value differs between two sets.
struct Change {
  std::string keyword;
  std::string table;
  std::string before; ///< as shown, no quotes
  std::string after;
  bool text = false;
  /// "Name: 'R1' -> 'R2'", as a write lists it.
  std::string line;
};

/// One set of the controller's parameters, as read from a file or a block.
class Parameters {
public:
  /// A set that holds nothing.
  Parameters();
  ~Parameters();
  Parameters(const Parameters &other);
  Parameters &operator=(const Parameters &other);
  Parameters(Parameters &&other) noexcept;
  Parameters &operator=(Parameters &&other) noexcept;

  /// The file read, or what the caller named.
  const std::string &source() const;
  /// "rop", "block", "json" or "yaml".
  std::string format() const;
  /// Every parameter of every table, in table order, with its value where
  /// the set holds one.
  std::vector<Parameter> list() const;
  /// True when the keyword (name or alias, any letter case) is known and
  /// the set holds its value.
  bool has(const std::string &keyword) const;
  /// The value as shown; "" when the set does not hold it.
  std::string get(const std::string &keyword) const;
  /// Sets a value with the tool's checks: badArguments for an unknown
  /// keyword ("Unknown keyword 'HostBuad' (did you mean 'HostBaud'?).") or
  /// a value refused ("Value for HostBaud must be an integer <= 4."),
  /// which leaves the set as it was. A text longer than its field is
  /// stored cut, as the tool stores it, and the cut is in the log.
  Outcome set(const std::string &keyword, const std::string &value);
  /// What the source had that was not taken, in order.
  std::vector<ParameterProblem> problems() const;
  /// The parameters as the 4096 bytes of a block (the source's own block
  /// under them when it was one).
  std::vector<unsigned char> block() const;
  /// The parameters that differ from this set to other, in table order,
  /// values compared (not the text of the files).
  std::vector<Change> changesTo(const Parameters &other) const;

  /// The set itself, for programs that use the library's lower layers.
  const ParamSet &paramSet() const;
  explicit Parameters(const ParamSet &set);

private:
  std::unique_ptr<ParamSet> mySet;
};

/// Reads the parameters of a file in the format its name stands for: a
/// parameter file (.rop, or any other name), a block image (.blk), an
/// export (.json, .yaml). flashRead when it cannot be read, or when a line
/// holds a value refused (as the tool refuses such a restore file); the
/// value then holds what could be read. Unknown keywords are no failure:
/// they are among the problems, and a save writes their lines back.
Result<Parameters> loadParameters(const std::string &path);
/// Reads a block image (4096 bytes, or 4095) whatever its name; flashRead
/// when it cannot be read or is no block image.
Result<Parameters> readBlockImage(const std::string &path);
/// The parameters of a block held in memory (4096 or 4095 bytes, in the
/// block's byte order), e.g. as read from a controller; source names it.
Result<Parameters> parametersFromBlock(const unsigned char *bytes, size_t length,
                                       const std::string &source);
/// Saves the parameters in the format the name stands for: a parameter
/// file as the tool's -s writes it (any name but those below), a block
/// image (.blk), an export (.json, .yaml). An existing file is replaced
/// only with replace; a symbolic link is never written through. The file
/// is written whole beside its name and put in place. saveFailed when it
/// could not be saved.
Outcome saveParameters(const Parameters &parameters, const std::string &path, bool replace = false);

// --- Firmware images ------------------------------------------------------

/// Addresses [first, end) an image gives.
struct AddressRange {
  unsigned long first = 0;
  unsigned long end = 0;
};

/// A FLASH block an upload of the image erases and writes.
struct ImageBlock {
  int index = 0;           ///< the block's number, 0 to 11
  unsigned long start = 0; ///< its first address
  unsigned long size = 0;  ///< its bytes
  unsigned long end = 0;   ///< one past the last byte the image puts in it
};

/// What a firmware image holds, as the tool shows it before an upload.
struct ImageInfo {
  std::string file;
  /// "Motorola S-records", "Intel HEX" or "raw binary".
  std::string format;
  std::vector<AddressRange> ranges;
  std::vector<ImageBlock> blocks;
  /// SHA-256 (64 lower-case hexadecimal digits) of the bytes an upload
  /// writes: the digest the tool prints and reports.
  std::string sha256;
  /// The summary lines the tool prints ("Image '...': ...", "Addresses:
  /// ...", "Blocks to erase and write: ...", "SHA-256 of the bytes to
  /// write: ...").
  std::vector<std::string> summary;
};

/// No load address: a raw binary image is then refused.
const long NO_BASE = -1;

/// Reads and checks a firmware image as an upload would (S-records, Intel
/// HEX, or raw binary for a name ending in .bin, loaded at base), sending
/// nothing anywhere. upload when it cannot be read or is unsound (the
/// status of the tool's -n -u), with the line of the file at fault where
/// one is.
Result<ImageInfo> inspectImage(const std::string &path, long base = NO_BASE);

// --- Serial ports ---------------------------------------------------------

/// A serial port present on this computer. The USB fields are "" for a
/// port that is not on USB.
struct SerialPort {
  std::string device;       ///< e.g. /dev/ttyUSB0
  std::string byId;         ///< its /dev/serial/by-id/ name, or ""
  std::string vendorId;     ///< USB idVendor, 4 hexadecimal digits
  std::string productId;    ///< USB idProduct
  std::string manufacturer; ///< of the adapter
  std::string product;      ///< of the adapter
  std::string serial;       ///< serial number of the adapter
  std::string line;         ///< the line --list-ports prints for it
};

/// The serial ports present, sorted by device (--list-ports); devRoot and
/// sysRoot stand for /dev and /sys. None found is no failure.
std::vector<SerialPort> listSerialPorts(const std::string &devRoot = "/dev",
                                        const std::string &sysRoot = "/sys");

/// Opens the port as a run would (a device path, or a URL of a port
/// across the network) and closes it again, sending nothing: noConnection
/// with the tool's advice (the ports present, the group to join, the
/// program holding it) when it cannot be opened; options for a URL that
/// is not valid. Opening a serial port raises its modem lines, as any
/// open does.
Outcome checkPort(const std::string &port);

// --- Controllers ----------------------------------------------------------

/// Which firmware the controller runs, as its identity reply says.
struct Identity {
  /// "known", "newer", "unidentified" or "not-orvex" (the report's names).
  std::string verdict;
  std::string reply;           ///< the reply as the log shows it, "" when none came
  std::string monitorVersion;  ///< e.g. "1.9", "" when not given
  std::string firmwareName;    ///< e.g. "ORVEX"
  std::string firmwareVersion; ///< e.g. "2.8"
};

/// How a controller is reached and written.
struct ControllerSettings {
  int robotBaud = 9600;  ///< the first speed tried for the firmware (-rb)
  std::string backupDir; ///< the backup store and journal (--backup-dir), "" for the default
  bool verify = true;    ///< read every firmware block back after writing it (no --no-verify)
  /// Close an unfinished write or upload found in the journal without
  /// writing anything (--dismiss-unfinished).
  bool dismissUnfinished = false;
};

/// How an operation on a controller ended, with the run report the
/// command line writes (--report) for a run that does the same: connect,
/// check the identity, read the block, then this operation.
struct RunResult : Outcome {
  /// The run report, JSON of the schema "orvexconf-report/1".
  std::string report;
  /// Nothing was written (the safeguard refused: no backup could be made,
  /// an earlier write never finished).
  bool refused = false;
};

/// What the controller's parameter block holds.
struct ReadResult : RunResult {
  Parameters parameters; ///< the confirmed read
  std::string sha256;    ///< of the 4096 bytes read
  bool erased = false;   ///< the block reads as all 0xFF
};

/// What writing would change, or changed.
struct WriteResult : RunResult {
  std::vector<Change> changes; ///< the parameters that differ, in table order
  /// Any byte differs (a block image may differ after the parameters).
  bool changed = false;
  bool verified = false;                ///< the block now holds what was written
  std::string backup;                   ///< the backup made before the erase, "" when none
  std::string sha256Before;             ///< of the block before
  std::string sha256After;              ///< of the block after a verified write, else ""
  std::vector<std::string> rescueFiles; ///< what a failed write left to put it right
};

/// A firmware upload, or its comparison with the controller.
struct UploadResult : RunResult {
  ImageInfo image;
  int blocksWritten = 0;            ///< written and verified
  bool verified = false;            ///< the blocks written were read back
  std::vector<int> blocksDiffering; ///< a comparison: blocks that differ from the image
  std::string state;                ///< "written", "failed", "stopped" or "checked"
};

/// What a check or a write is to put into the parameter block.
struct Target {
  enum class Kind { values, parameterFile, blockImage };
  Kind kind = Kind::values;
  Parameters values; ///< values: the parameters the set holds (the rest stay)
  std::string file;  ///< parameterFile (-r), blockImage (-restoreBlock)
};

/// One controller on one port, driven as orvexconf -b drives it, with
/// every safeguard of the command line: a backup and a journal entry
/// before every erase, every write read back, rescue files when it fails.
/// One operation at a time (a second thread waits); several controllers
/// may work in several threads at once. Nothing is printed, nothing read
/// from standard input.
class Controller {
public:
  Controller();
  /// Closes the monitor ("FK") when connected.
  ~Controller();

  /// Opens the port (a device path, a by-id name or a URL), brings the
  /// controller into its monitor, checks its firmware (wrongFirmware for
  /// other firmware, the monitor then closed), reads the parameter block
  /// and checks the journal for an unfinished write (a warning, in the
  /// report's warnings and the log).
  RunResult connect(const std::string &port, const ControllerSettings &settings);
  bool connected() const;
  Identity identity() const;
  /// The warnings of the connection: an unfinished write found in the
  /// journal, a caution about the firmware.
  std::vector<std::string> warnings() const;

  /// Reads the parameter block again (confirmed).
  ReadResult read();
  /// What writing target would change, writing nothing (--check); the
  /// report's exit status is 10 when something would change.
  WriteResult check(const Target &target);
  /// Writes target when it changes anything (a block image always).
  WriteResult write(const Target &target);
  /// Uploads a firmware image (base for a raw binary one, NO_BASE
  /// otherwise), each block read back unless verify is false
  /// (--no-verify); or with compare only reads back the blocks it touches
  /// and compares them, writing nothing (--check). upload (5) when the
  /// image is unsound or the upload fails, as for -u.
  UploadResult upload(const std::string &file, long base, bool compare, bool verify);
  /// Closes the monitor ("FK") and the port.
  RunResult close();

  Controller(const Controller &) = delete;
  Controller &operator=(const Controller &) = delete;

private:
  struct State;
  std::unique_ptr<State> my;
};

} // namespace orvex

#endif
