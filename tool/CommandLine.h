// SPDX-License-Identifier: MIT
// CommandLine: the run's command line, read once into a plan (RunPlan) that
// the driver, the connection options and the report read. Options take one
// or two leading dashes in any letter case and stand anywhere among the
// arguments; of an option given twice the last value counts; the
// connection options also come from the library's default argument
// sources (ZYLAARGS, /etc/Zyla.args); keyword/value pairs follow.
//
// It is read in the order the run's output needs: first the report's
// option and batch mode, silently (the report may move standard output
// before anything is printed), then the default sources, then every other
// option, each logged as it is taken, as the tool always has.
#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include "ExitStatus.h"
#include "FirmwareImage.h"
#include "FirmwareReader.h"
#include "ParamSet.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

class RunOutcome;
class ZyArgumentParser;

/// A file option: absent, or given with a name; "" when it stood last
/// without one (the step that uses the file then reports it).
struct FileOption {
  bool given = false;
  std::string path;
  explicit operator bool() const { return given; }
  const char *c_str() const { return given ? path.c_str() : nullptr; }
};

/// What the command line asks of the run.
struct RunPlan {
  bool reportGiven = false;   ///< --report
  bool reportMissing = false; ///< --report stood last, without its file
  std::string report;         ///< its file, "-" for standard output

  bool batch = false; ///< -b
  /// --history or --diff: the run opens no shell, so standard output may
  /// carry the report without -b.
  bool noShell = false;
  bool offline = false;   ///< -n: no controller
  bool check = false;     ///< --check: compare, write nothing
  bool noHistory = false; ///< --no-history
  bool modesRead = false; ///< the modes above were read (not -version, --list-ports)

  FileOption saveFile;    ///< -s
  FileOption restoreFile; ///< -r
  FileOption uploadFile;  ///< -u
  FileOption imageFile;   ///< -m
  FileOption blockFile;   ///< -restoreBlock
  FileOption backupDir;   ///< --backup-dir
  bool dismissUnfinished = false;
  /// Load address of raw binary images (--base), NO_BASE_ADDRESS when none.
  long base = NO_BASE_ADDRESS;
  /// Uploads are read back to verify them unless --no-verify.
  bool verifyUploads = true;

  /// The connection options: the port (nullptr: none given) and the rate.
  const char *port() const { return portGiven ? portText.c_str() : nullptr; }
  bool portGiven = false;
  std::string portText;
  int baud = 9600;

  /// --history [QUERY]: the backup store's history, offline; the query a
  /// SerNum, a Name the controller has had or a folder ("" for a list of
  /// every controller).
  bool history = false;
  std::string historyQuery;
  /// --diff A B: each a parameter file, an export, a block image, or "-"
  /// for the controller's block (read, never written).
  bool diff = false;
  std::string diffFirst, diffSecond;
  bool diffReadsController() const { return diff && (diffFirst == "-" || diffSecond == "-"); }
  /// --export FORMAT FILE: the parameters the run holds at its end, as an
  /// export (json or yaml).
  bool exportGiven = false;
  ParamSetFormat exportFormat = ParamSetFormat::json;
  std::string exportFile;
  /// The run compares and writes nothing to the controller (--check, --diff).
  bool comparesOnly() const { return check || diff; }

  /// The keyword/value pairs, and the argument left over after them.
  std::vector<std::pair<std::string, std::string>> pairs;
  std::vector<std::string> leftOver;

  /// The option whose file is the report's own (the report written there
  /// would replace it): "-s", "-r", "-restoreBlock", "-m", "-u" or
  /// "--export", with
  /// that file in *file; nullptr when none is (or no report file is given).
  const char *optionSharingReportFile(std::string *file) const;

  /// True when the keyword/value pairs or the restore file may change the
  /// parameter block.
  bool mayChangeParameters() const { return !pairs.empty() || !leftOver.empty() || restoreFile; }
};

class CommandLine {
public:
  /// What reading the options found.
  enum class Verdict {
    Run,       ///< go on with the plan
    Version,   ///< -version: print it and end
    ListPorts, ///< --list-ports: list them and end
    History,   ///< --history: the backup store's history, nothing else
    Help,      ///< -h: the connection options and the help, status 1
    BadOptions ///< a bad option (said why): the connection options, status 1
  };

  /// Copies the arguments and takes the report's option and batch mode;
  /// nothing is logged.
  CommandLine(int argc, char **argv);
  ~CommandLine();
  /// Merges the default argument sources into the connection options'
  /// own copy of the arguments (the library logs where they came from).
  void loadDefaultSources();
  /// Reads every other option. A refusal is logged (and, for a bad
  /// --base, --backup-dir, --check, --history, --diff or --export,
  /// followed by the pointer to -h); BadOptions then ends the run with
  /// status 1.
  Verdict read();
  /// True when the connection options' lines are to be shown (the help,
  /// or a connection option that is wrong).
  bool showConnectionOptions() const { return myShowConnectionOptions; }

  const RunPlan &plan() const { return myPlan; }

  CommandLine(const CommandLine &) = delete;
  CommandLine &operator=(const CommandLine &) = delete;

private:
  RunPlan myPlan;
  /// The arguments as given, but the report's option; never changed.
  std::vector<std::string> myStrings;
  /// The list the driver's options are taken from (an option taken is
  /// removed from it), and the list the connection options' parser copies
  /// with the default sources; each ends in a null pointer, as argv does.
  std::vector<char *> myArgv;
  int myArgc = 0;
  std::vector<char *> myConnectionArgv;
  int myConnectionArgc = 0;
  std::unique_ptr<ZyArgumentParser> myConnection;
  bool myShowConnectionOptions = false;
};

/// What the command line names, read before connecting, each once: the
/// restore file's values (by a batch run, which checks it first), the
/// firmware images a batch run writes, the block image of -restoreBlock.
struct RunFiles {
  ParamSet restored;
  bool restoreRead = false;
  bool restoreParsed = false; ///< read without an error
  FirmwareImage image;        ///< -m
  FirmwareImage upload;       ///< -u
  ParamBlock block{};
  int blockLength = 0;
  /// --diff: the sides that are files, read before connecting.
  ParamSet diffFirst, diffSecond;
  /// Reads the restore file into restored, once (its messages shown), and
  /// into the run's registry, whose parameters hold its values until the
  /// FLASH read.
  void readRestoreFile(const RunPlan &plan);
};

/// The checks before connecting, in the order of the statuses'
/// precedence; EXIT_OK when all is well. A raw binary image without its
/// load address is refused in every mode; a batch run reads and checks
/// the restore file, the firmware images, the keywords and the save file's
/// place; the block image is read and checked in every mode, so that a file
/// that is not a whole block ends the run with nothing sent.
ExitStatus checkFilesBeforeConnecting(const RunPlan &plan, RunFiles &files, RunOutcome &outcome);

/// The options a word of the command line may have been meant as: for a
/// word that looks like an option ("-v", "--histroy") and that no option
/// takes, "Unknown option '--histroy' (did you mean '--history'?)." (the
/// hint only for a near option); "" for any other word.
std::string unknownOptionLine(const std::string &word);
/// Logs unknownOptionLine for each word of the keyword/value pairs (in a
/// keyword's place) and the argument left over; true when there was one.
/// An interactive run says so before it connects.
bool logUnknownOptions(const RunPlan &plan);

/// Checks the keyword/value pairs before connecting (batch mode): every
/// keyword must be known to a table and no argument left over. Logs the
/// bad arguments, notes them in the outcome, and returns false for any.
bool checkKeywordPairs(const RunPlan &plan, RunOutcome &outcome);
/// Applies the keyword/value pairs to the run's image: each known keyword
/// is set (a value out of range is refused and noted); unless checked
/// before (batch), an unknown keyword or a left-over argument is logged and
/// noted as checkKeywordPairs does. False when one was.
bool applyKeywordPairs(const RunPlan &plan, bool checked, RunOutcome &outcome);

#endif
