// SPDX-License-Identifier: MIT
// The fault matrix: orvexconf in batch mode against the simulated
// controller with one injected fault at a time, for each of reading the
// parameters, writing them and uploading a firmware image. The rule for
// every cell: status 0 only when the controller holds exactly what was
// intended; otherwise a non-zero status, and the parameter block is the
// old one, or a rescue image was saved that -restoreBlock puts back
// exactly. A run killed part way (SIGKILL at the erase, at a piece, at the
// verify read) leaves a backup and an unfinished journal entry: the next run
// warns and names the backup, writes nothing over a block that may be
// damaged, and -restoreBlock of the backup gives back the old block
// exactly. A store that cannot take the backup (missing parent, file-size
// limit, a folder where the journal belongs) refuses the write with nothing
// erased. Chains of runs after a cut or failed write (a restore cut again,
// a write that changed the serial number, a batch run retried) never write
// over the damaged block, and the command they print puts the old block
// back. The controller's memory is judged from the simulator's state file
// after the run. After three writes, an upload and a write cut by a crash,
// the history read from the store (and --history) tells each with what it
// changed, and --diff tells the damaged block from the one before.
//
// Each cell (a fault, an operation) is a test of its own, named after them,
// so that ctest runs the cells side by side; a row added to the table
// becomes new tests at the next build.
#include "BackupStore.h"
#include "FirmwareFiles.h"
#include "HistoryOutput.h"
#include "ParamSetDiff.h"
#include "ProcessRunner.h"
#include "ReportCheck.h"
#include "SimCommandLine.h"
#include "SimPty.h"
#include "WriteHistory.h"
#include "WriteJournal.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::map<std::string, std::string> kCleanEnv = {
    {"ZYLAARGS", ""}, {"ZYLOG_LEVEL", ""}, {"ZYLA_SIGHANDLE_METHOD", ""}, {"ZYLA", ""}};

enum Operation { READ, WRITE, UPLOAD, OPERATIONS };
const char *const kOperationNames[OPERATIONS] = {"read", "write", "upload"};
// Power is lost this many bytes before the end of the fault-free run of
// the operation: inside the FLASH pieces of a write or an upload.
const long kDieBeforeEnd[OPERATIONS] = {4, 3000, 3000};

struct Fault {
  const char *name;
  std::vector<std::string> options;          // orvexsim options, as on its command line
  int status[OPERATIONS];                    // expected exit status; -1: not run (the fault
                                             // never comes into play, or another cell covers it)
  bool dies;                                 // power loss, placed from the fault-free run
  bool underSanitizer;                       // also run in the sanitizer build
  std::vector<std::string> toolOptions = {}; // added to the tool's command line
  bool killed = false;        // SIGKILL once the simulator stalls (--stall); status 137
  int fileSizeLimit = 0;      // the tool runs under ulimit -f with this many blocks
  bool journalFolder = false; // a folder stands where the store's journal belongs
};

// Stands for the verify read in a --stall selector: the first block read
// after the ones the fault-free write makes before its erase.
const char *const kVerifyRead = "m7000:verify";
const int kKilled = 128 + SIGKILL;

// The firmware image of the upload: data in blocks 8 and 9.
unsigned imageByte(unsigned long address) {
  return static_cast<unsigned>((address * 7 + (address >> 8)) & 0xFF);
}

std::string firmwareImage() {
  std::string out = "S00600004844521B\n";
  for (unsigned long base : {0x8000ul, 0x10000ul})
    for (unsigned long a = base; a < base + 0x400; a += 32)
      out += records::dataRecord('2', a, records::patternBytes(a, a + 32, imageByte)) + "\n";
  return out + "S804000000FB\n";
}

bool firmwareWritten(const SimMemory &memory) {
  for (unsigned long base : {0x8000ul, 0x10000ul})
    for (unsigned long a = base; a < base + 0x400; a++)
      if (memory.at(static_cast<uint32_t>(a)) != imageByte(a))
        return false;
  return true;
}

SimOptions simOptions(const std::vector<std::string> &args, const std::string &state,
                      std::string &error) {
  std::vector<const char *> argv;
  for (const auto &a : args)
    argv.push_back(a.c_str());
  SimCommandLine line;
  line.options.robotProtocol = true;
  if (!parseSimCommandLine(static_cast<int>(argv.size()), argv.data(), line, error))
    ADD_FAILURE() << error;
  line.options.stateFile = state;
  return line.options;
}

bool contains(const std::vector<std::string> &commands, const std::string &prefix) {
  for (const std::string &c : commands)
    if (c.rfind(prefix, 0) == 0)
      return true;
  return false;
}

SimMemory loadState(const std::string &path) {
  SimMemory memory;
  std::string error;
  EXPECT_TRUE(memory.loadFile(path, &error)) << error;
  return memory;
}

std::string rescueImageIn(const std::string &dir) {
  std::string found;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.rfind("orvexconf-rescue-", 0) == 0 && name.size() > 4 &&
          name.compare(name.size() - 4, 4, ".blk") == 0)
        found = name;
    }
    closedir(d);
  }
  return found;
}

struct ToolRun {
  RunResult result;
  long bytesReceived = 0;
  std::vector<std::string> commands;
};

/// One batch run against a simulator reached through the link dir/robot
/// (the same port name for every run of a cell), with the cell's own
/// backup store.
ToolRun runAgainst(const SimOptions &options, const std::vector<std::string> &toolArgs,
                   const TempDir &dir, bool killAtStall = false, int fileSizeLimit = 0) {
  ToolRun run;
  SimSession sim(options, dir.file("robot"));
  if (!sim.ok()) {
    ADD_FAILURE() << sim.error();
    return run;
  }
  std::vector<std::string> args = {"-rp", sim.path(), "-b"};
  args.insert(args.end(), toolArgs.begin(), toolArgs.end());
  std::map<std::string, std::string> env = kCleanEnv;
  env["XDG_STATE_HOME"] = dir.file("state");
  std::string program = binPath("orvexconf");
  if (fileSizeLimit > 0) {
    args.insert(
        args.begin(),
        {"-c", "ulimit -f " + std::to_string(fileSizeLimit) + " && exec \"$0\" \"$@\"", program});
    program = "/bin/sh";
  }
  std::function<bool()> stalled = [&sim] { return sim.controller().stats().stalled; };
  run.result = runProgram(program, args, "", env, dir.path(), 120000,
                          killAtStall ? stalled : std::function<bool()>());
  run.bytesReceived = sim.controller().stats().bytesReceived;
  run.commands = sim.controller().commandLog();
  return run; // the session ends here and saves the state file
}

int statusOf(const RunResult &r) {
  return r.signal != 0 ? 128 + r.signal : r.status;
}

/// True when the output warns of an unfinished write to the simulated robot.
bool warnsOfUnfinishedWrite(const std::string &out) {
  for (const std::string &line : splitLines(out))
    if (line.rfind("The last parameter write to this controller (robot 'simbot', at ", 0) == 0 &&
        line.find(") did not finish: the block may be erased or partly written.") !=
            std::string::npos)
      return true;
  return false;
}

/// The backup the next-run warning offers, from the command that writes it
/// back (the one that compares first follows); "" when none is offered.
std::string backupNamedBy(const std::string &out, const std::string &port) {
  std::vector<std::string> lines = splitLines(out);
  std::string restore = "orvexconf -rp " + port + " -b -restoreBlock ";
  for (const std::string &line : lines)
    if (line.rfind(restore, 0) == 0) {
      std::string backup = line.substr(restore.size());
      EXPECT_NE(std::find(lines.begin(), lines.end(),
                          "orvexconf -rp " + port + " -b --check -restoreBlock " + backup),
                lines.end())
          << out;
      return backup;
    }
  return "";
}

/// The backup of the first write the cell's journal recorded.
std::string firstBackupInJournal(const TempDir &dir) {
  for (const std::string &line : splitLines(readFile(dir.file("state/orvexconf/journal.jsonl")))) {
    nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
    if (entry.is_object() && entry.value("event", "") == "begin")
      return entry.value("backup", "");
  }
  return "";
}

/// The table: one row a fault, with the expected status of each operation.
std::vector<Fault> faultTable() {
  // clang-format off
  const std::vector<Fault> faults = {
      //  name                       simulator options                              read write upload
      {"none",                    {},                                               {0, 0, 0},   false, true},
      {"pause 30 ms in block",    {"--pause-reply", "m7000,1000,30"},               {0, 0, -1},  false, false},
      {"pause 500 ms in block",   {"--pause-reply", "m7000:1,1000,500"},            {0, 0, 0},   false, true},
      {"block cut at 600 once",   {"--cut-reply", "m7000:1,600"},                   {0, 0, -1},  false, false},
      {"block cut at 8000",       {"--cut-reply", "m7000:*,8000"},                  {3, 3, 3},   false, true},
      {"block of 200 bytes",      {"--short-read", "m7000:*,200"},                  {3, 3, -1},  false, false},
      {"bad block checksum",      {"--bad-checksum", "m7000:*"},                    {3, 3, -1},  false, false},
      {"verify checksum once",    {"--bad-checksum", "m7000:3"},                    {-1, 0, -1}, false, false},
      {"swapped digits once",     {"--swap-digits", "m7000:1,600"},                 {-1, 0, -1}, false, false},
      {"swapped digits always",   {"--swap-digits", "m7000:*,600"},                 {-1, 3, -1}, false, false},
      {"stray before erase +",    {"--stray", "FE,3"},                              {-1, 0, 0},  false, false},
      {"erase + lost",            {"--drop-ack", "FE"},                             {-1, 0, 0},  false, true},
      {"erase reply garbled",     {"--bad-checksum", "FE"},                         {-1, 0, 0},  false, false},
      {"piece + lost",            {"--drop-ack", "FW:5"},                           {-1, 0, 0},  false, false},
      {"piece refused once",      {"--refuse", "FW:3"},                             {-1, 0, 0},  false, false},
      {"every piece refused",     {"--refuse", "FW:*"},                             {-1, 8, 5},  false, true},
      {"every erase refused",     {"--refuse", "FE:*"},                             {-1, 8, 5},  false, false},
      {"power lost mid-write",    {},                                               {-1, 8, 5},  true, false},
      {"killed at the erase",     {"--stall", "FE"},                                {-1, kKilled, -1}, false, true, {}, true},
      {"killed at 10th piece",    {"--stall", "FW:10"},                             {-1, kKilled, -1}, false, false, {}, true},
      {"killed at verify read",   {"--stall", kVerifyRead},                         {-1, kKilled, -1}, false, false, {}, true},
      {"store parent missing",    {},                                               {-1, 8, -1}, false, true, {"--backup-dir", "no/such/store"}},
      {"file-size limit",         {},                                               {-1, 8, -1}, false, false, {}, false, 1},
      {"journal is a folder",     {},                                               {-1, 8, -1}, false, true, {}, false, 0, true},
      // The FLASH acknowledges a firmware piece without storing it, or stores
      // a byte changed: found by the read-back, once or every time.
      {"FW piece lost once",      {"--lose-write", "FW8000:1"},                     {-1, -1, 0}, false, false},
      {"FW piece never kept",     {"--lose-write", "FW10000:*"},                    {-1, -1, 5}, false, true},
      {"FW byte changed once",    {"--flip-byte", "FW10000:1"},                     {-1, -1, 0}, false, false},
      {"FW byte always changed",  {"--flip-byte", "FW8000:*"},                      {-1, -1, 5}, false, false},
  };
  // Swapped digits pass the reply's checksum; placed in a value the write
  // does not change (byte 300), a damaged block taken as read would go
  // back to the controller.
  // clang-format on
  return faults;
}

const std::vector<Fault> &faults() {
  static const std::vector<Fault> table = faultTable();
  return table;
}

/// One cell of the matrix: a row of the table and an operation.
struct Cell {
  size_t row;
  int op;
};

/// The cells this build runs: every cell with an expected status; under the
/// sanitizers only the rows marked for them.
std::vector<Cell> cells() {
#if defined(__SANITIZE_ADDRESS__)
  const bool sanitizer = true;
#else
  const bool sanitizer = false;
#endif
  std::vector<Cell> out;
  for (size_t row = 0; row < faults().size(); row++) {
    if (sanitizer && !faults()[row].underSanitizer)
      continue;
    for (int op = 0; op < OPERATIONS; op++)
      if (faults()[row].status[op] >= 0)
        out.push_back({row, op});
  }
  return out;
}

/// The test's name: the fault's name and the operation, every run of other
/// characters than letters and digits made one underscore ("erase + lost"
/// and write: erase_lost_write).
std::string cellName(const testing::TestParamInfo<Cell> &info) {
  std::string text =
      std::string(faults()[info.param.row].name) + " " + kOperationNames[info.param.op];
  std::string name;
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)))
      name += c;
    else if (!name.empty() && name.back() != '_')
      name += '_';
  }
  while (!name.empty() && name.back() == '_')
    name.pop_back();
  return name;
}

/// What the fault-free run of an operation measures: the bytes the
/// controller received (where power is cut is placed from them) and the
/// block reads of a write before its erase (which read is the verify read).
/// Made once per test process, by a run of its own.
struct FaultFree {
  long bytesReceived = 0;
  int readsBeforeErase = 0;
};

FaultFree faultFree(int op, const std::vector<std::string> &toolArgs) {
  static std::map<int, FaultFree> measured;
  auto known = measured.find(op);
  if (known != measured.end())
    return known->second;
  FaultFree figures;
  TempDir dir;
  std::string error;
  ToolRun run = runAgainst(simOptions({}, dir.file("state.bin"), error), toolArgs, dir);
  EXPECT_EQ(statusOf(run.result), 0) << "the fault-free run: " << run.result.out;
  figures.bytesReceived = run.bytesReceived;
  if (op == WRITE)
    for (const std::string &c : run.commands) {
      if (c.rfind("FE", 0) == 0)
        break;
      figures.readsBeforeErase += c.rfind("m7000", 0) == 0 ? 1 : 0;
    }
  measured[op] = figures;
  return figures;
}

class FaultMatrix : public testing::TestWithParam<Cell> {};

} // namespace

TEST_P(FaultMatrix, EveryTransferEndsExactOrAccountedFor) {
  const Fault &fault = faults()[GetParam().row];
  const int op = GetParam().op;

  TempDir files;
  ASSERT_TRUE(writeFile(files.file("image.mot"), firmwareImage()));
  const std::vector<std::string> toolArgs[OPERATIONS] = {
      {"-s", "out.rop"}, {"Name", "Matrix"}, {"-u", files.file("image.mot")}};

  const std::array<uint8_t, SimMemory::PARAM_SIZE> fresh = SimMemory().block7();
  std::array<uint8_t, SimMemory::PARAM_SIZE> renamed = fresh;
  memset(renamed.data() + 141, 0, 19);
  memcpy(renamed.data() + 141, "Matrix", 6);

  SCOPED_TRACE(std::string(fault.name) + " x " + kOperationNames[op]);
  TempDir dir;
  std::string state = dir.file("state.bin");
  std::string error;
  std::vector<std::string> simArgs = fault.options;
  for (std::string &a : simArgs)
    if (a == kVerifyRead) {
      int readsBeforeErase = faultFree(WRITE, toolArgs[WRITE]).readsBeforeErase;
      ASSERT_GT(readsBeforeErase, 0);
      a = "m7000:" + std::to_string(readsBeforeErase + 1);
    }
  SimOptions options = simOptions(simArgs, state, error);
  if (fault.dies) {
    long faultFreeBytes = faultFree(op, toolArgs[op]).bytesReceived;
    ASSERT_GT(faultFreeBytes, kDieBeforeEnd[op]);
    options.faults.dieAfterBytes = faultFreeBytes - kDieBeforeEnd[op];
  }
  if (fault.journalFolder) {
    for (const char *folder : {"state", "state/orvexconf", "state/orvexconf/journal.jsonl"})
      ASSERT_EQ(mkdir(dir.file(folder).c_str(), 0700), 0);
  }
  std::vector<std::string> args = fault.toolOptions;
  args.insert(args.end(), toolArgs[op].begin(), toolArgs[op].end());
  ToolRun run = runAgainst(options, args, dir, fault.killed, fault.fileSizeLimit);
  const RunResult &r = run.result;
  ASSERT_FALSE(r.timedOut) << r.out;

  SimMemory memory = loadState(state);
  auto block = memory.block7();
  const auto &intended = op == WRITE ? renamed : fresh;
  bool exact = block == intended && (op != UPLOAD || firmwareWritten(memory));
  std::string outcome;
  std::string rescue = rescueImageIn(dir.path());
  if (fault.killed) {
    // The next run warns and names the backup; over a block that may be
    // damaged it writes nothing; the backup puts the old block back.
    ToolRun next = runAgainst(simOptions({}, state, error), toolArgs[op], dir);
    EXPECT_TRUE(warnsOfUnfinishedWrite(next.result.out)) << next.result.out;
    std::string backup = backupNamedBy(next.result.out, dir.file("robot"));
    if (block == intended) {
      // The write did end: nothing to put back, no command offered.
      EXPECT_EQ(backup, "") << next.result.out;
      backup = firstBackupInJournal(dir);
      EXPECT_EQ(next.result.status, 0) << next.result.out;
    } else {
      ASSERT_FALSE(backup.empty()) << next.result.out;
      EXPECT_EQ(next.result.status, 8) << next.result.out;
      EXPECT_EQ(loadState(state).block7(), block) << "nothing written";
    }
    ToolRun back = runAgainst(simOptions({}, state, error), {"-restoreBlock", backup}, dir);
    EXPECT_EQ(back.result.status, 0) << back.result.out;
    EXPECT_EQ(loadState(state).block7(), fresh) << back.result.out;
    outcome = block == intended ? "written; backup restored exactly"
                                : "warned, refused; backup restored exactly";
  } else if (r.status == 0) {
    EXPECT_TRUE(exact) << r.out;
    outcome = "exactly as intended";
  } else if (block == fresh) {
    outcome = "parameter block old";
    EXPECT_TRUE(rescue.empty() || op == WRITE) << r.out;
  } else {
    // Changed and not as intended: only with a rescue image, which a
    // second run puts back exactly.
    ASSERT_FALSE(rescue.empty()) << r.out;
    EXPECT_NE(r.out.find("restoreBlock " + rescue), std::string::npos) << r.out;
    std::string rop = readFile(dir.file(rescue.substr(0, rescue.size() - 4) + ".rop"));
    EXPECT_NE(rop.find("Matrix"), std::string::npos) << "the readable copy beside it";
    std::string fixError;
    ToolRun fix = runAgainst(simOptions({}, state, fixError), {"-restoreBlock", rescue}, dir);
    EXPECT_EQ(fix.result.status, 0) << fix.result.out;
    EXPECT_EQ(loadState(state).block7(), renamed) << fix.result.out;
    outcome = "block changed; rescue image restored exactly";
  }
  if (op == UPLOAD && r.status != 0) {
    EXPECT_EQ(block, fresh) << "an upload never touches the parameter block";
  }
  if (fault.journalFolder) {
    // Refused before the erase, naming the journal.
    EXPECT_NE(r.out.find("journal.jsonl' cannot be used as the journal: it is a folder"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(block, fresh);
    EXPECT_FALSE(contains(run.commands, "FE")) << "nothing erased";
  }
  if (!fault.toolOptions.empty() || fault.fileSizeLimit > 0) {
    // Refused before the erase: the store's message, nothing erased.
    EXPECT_NE(r.out.find("Could not save a backup of the FLASH parameter block"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("--backup-dir DIR"), std::string::npos) << r.out;
    EXPECT_EQ(block, fresh);
    EXPECT_FALSE(contains(run.commands, "FE")) << "nothing erased";
  }
  EXPECT_EQ(statusOf(r), fault.status[op]) << r.out;
  // The cell as run, for the record.
  printf("%-24s %-7s status %d  %s\n", fault.name, kOperationNames[op], statusOf(r),
         outcome.c_str());
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, testing::ValuesIn(cells()), cellName);

// The runs an operator or a retrying script makes after a write went
// wrong: none of them writes over the block the write may have damaged;
// the restore command printed by the last one puts the old block back and
// closes every entry. Each chain is a test of its own.
namespace {

const std::string kFirstBackup = "(first backup)";

struct Step {
  std::vector<std::string> sim; // orvexsim options
  std::vector<std::string> args;
  int status;
};

struct Chain {
  const char *name;
  std::vector<Step> steps;
  bool underSanitizer;
};

const std::vector<Chain> &chains() {
  // clang-format off
  static const std::vector<Chain> table = {
      {"a restore cut at its erase",
       {{{"--stall", "FE"}, {"Name", "Matrix"}, kKilled},
        {{"--stall", "FE"}, {"-restoreBlock", kFirstBackup}, kKilled},
        {{}, {"Name", "Four"}, 8}},
       true},
      {"a write of a new serial number cut at its 3rd piece",
       {{{"--stall", "FW:3"}, {"SerNum", "SN-0099", "Name", "New"}, kKilled},
        {{}, {"Name", "Four"}, 8}},
       false},
      {"a failed write, then the same batch run again",
       {{{"--refuse", "FW:*"}, {"Name", "Matrix"}, 8},
        {{}, {"Name", "Matrix"}, 8}},
       false},
  };
  // clang-format on
  return table;
}

/// The chains this build runs: under the sanitizers only those marked.
std::vector<size_t> chainRows() {
#if defined(__SANITIZE_ADDRESS__)
  const bool sanitizer = true;
#else
  const bool sanitizer = false;
#endif
  std::vector<size_t> rows;
  for (size_t i = 0; i < chains().size(); i++)
    if (!sanitizer || chains()[i].underSanitizer)
      rows.push_back(i);
  return rows;
}

std::string chainName(const testing::TestParamInfo<size_t> &info) {
  std::string name;
  for (const char *c = chains()[info.param].name; *c != '\0'; c++) {
    if (std::isalnum(static_cast<unsigned char>(*c)))
      name += *c;
    else if (!name.empty() && name.back() != '_')
      name += '_';
  }
  return name;
}

class RecoveryChain : public testing::TestWithParam<size_t> {};

} // namespace

TEST_P(RecoveryChain, NeverWritesOverADamagedBlock) {
  const Chain &chain = chains()[GetParam()];
  const std::array<uint8_t, SimMemory::PARAM_SIZE> fresh = SimMemory().block7();
  SCOPED_TRACE(chain.name);
  TempDir dir;
  std::string state = dir.file("state.bin");
  std::string error;
  std::array<uint8_t, SimMemory::PARAM_SIZE> damaged{};
  ToolRun last;
  for (size_t i = 0; i < chain.steps.size(); i++) {
    const Step &step = chain.steps[i];
    std::vector<std::string> args = step.args;
    for (std::string &arg : args)
      if (arg == kFirstBackup)
        arg = firstBackupInJournal(dir);
    bool killed = step.status == kKilled;
    last = runAgainst(simOptions(step.sim, state, error), args, dir, killed);
    EXPECT_EQ(statusOf(last.result), step.status) << "run " << i << "\n" << last.result.out;
    if (i == 0)
      damaged = loadState(state).block7();
    if (i > 0 && step.status == 8) {
      EXPECT_FALSE(contains(last.commands, "FE")) << "run " << i << " erased";
      EXPECT_EQ(loadState(state).block7(), damaged) << "run " << i << " wrote";
      EXPECT_TRUE(warnsOfUnfinishedWrite(last.result.out)) << last.result.out;
    }
  }
  EXPECT_NE(damaged, fresh) << "the first run left the block damaged";
  // The command the last run printed, run as printed.
  std::string backup = backupNamedBy(last.result.out, dir.file("robot"));
  ASSERT_EQ(backup, firstBackupInJournal(dir)) << last.result.out;
  ToolRun back = runAgainst(simOptions({}, state, error), {"-restoreBlock", backup}, dir);
  EXPECT_EQ(back.result.status, 0) << back.result.out;
  EXPECT_EQ(loadState(state).block7(), fresh) << back.result.out;
  EXPECT_TRUE(WriteJournal(dir.file("state/orvexconf/journal.jsonl")).unfinished().empty());
}

INSTANTIATE_TEST_SUITE_P(Chains, RecoveryChain, testing::ValuesIn(chainRows()), chainName);

// The store's history of one controller after three writes (a keyword, a
// keyword with a firmware upload in the same run, the first backup written
// back whole) and a write cut by SIGKILL at its third piece, all through
// --backup-dir: read back from the store, newest first, each write with
// its outcome, its backup in the controller's one folder and what it
// changed, which the backups before and after it confirm; the same from
// --history offline, as lines and in the report; and --diff of the damaged
// block with the file of the block before, 10 until the backup is written
// back, then 0, the export of the restored block holding every byte.
TEST(StoreHistory, ThreeWritesAnUploadAndACutWriteAsTheStoreTellsThem) {
  TempDir files;
  ASSERT_TRUE(writeFile(files.file("image.mot"), firmwareImage()));
  TempDir dir;
  std::string state = dir.file("state.bin");
  std::string store = dir.file("store");
  std::string error;
  auto run = [&](const std::vector<std::string> &sim, std::vector<std::string> args,
                 int status = 0) {
    bool killed = !sim.empty();
    args.insert(args.begin(), {"--backup-dir", store});
    ToolRun done = runAgainst(simOptions(sim, state, error), args, dir, killed);
    EXPECT_EQ(statusOf(done.result), killed ? kKilled : status) << done.result.out;
    return done;
  };
  ToolRun first = run({}, {"Name", "Alpha"});
  run({}, {"JoyVelMax", "650", "-u", files.file("image.mot")});
  StoreHistory before = readStoreHistory(store);
  ASSERT_FALSE(before.events.empty());
  run({}, {"-restoreBlock", before.events.back().backup});
  run({"--stall", "FW:3"}, {"Name", "Cut"});

  StoreHistory history = readStoreHistory(store);
  EXPECT_EQ(history.error, "");
  EXPECT_TRUE(history.warnings.empty());
  ASSERT_EQ(history.controllers.size(), 1u);
  const ControllerEntry &robot = history.controllers[0];
  EXPECT_EQ(robot.serial, "SIM-2024-0042");
  EXPECT_EQ(robot.names, (std::vector<std::string>{"simbot", "Alpha"}));
  EXPECT_EQ(robot.folders, (std::vector<std::string>{"SIM-2024-0042"}));
  EXPECT_EQ(robot.writes, 4);
  EXPECT_EQ(robot.uploads, 1);
  EXPECT_EQ(robot.open, 1);
  EXPECT_EQ(robot.backups, 4);

  ControllerHistory matched = historyOf(history, "Alpha");
  EXPECT_TRUE(matched.byName);
  EXPECT_EQ(matched.serials, (std::vector<std::string>{"SIM-2024-0042"}));
  struct Expected {
    const char *kind;
    const char *outcome;
    std::vector<std::string> changes;
  } expected[] = {
      {"write", "did not finish, still open", {"Name: 'simbot' -> 'Cut'"}},
      {"block", "verified", {"Name: 'Alpha' -> 'simbot'", "JoyVelMax: 650 -> 400"}},
      {"write", "verified", {"JoyVelMax: 400 -> 650"}},
      {"upload", "verified", {}},
      {"write", "verified", {"Name: 'simbot' -> 'Alpha'"}},
  };
  ASSERT_EQ(matched.events.size(), std::size(expected));
  std::string folder = store + "/backups/SIM-2024-0042/";
  std::vector<std::string> backups;
  for (size_t i = 0; i < matched.events.size(); i++) {
    const HistoryEvent &event = history.events[matched.events[i]];
    SCOPED_TRACE(i);
    EXPECT_EQ(event.kind, expected[i].kind);
    EXPECT_EQ(outcomeText(event), expected[i].outcome);
    EXPECT_EQ(event.port, dir.file("robot"));
    EXPECT_FALSE(event.version.empty());
    EXPECT_EQ(event.serial, "SIM-2024-0042");
    std::vector<std::string> changes;
    for (const ParamChange &change : event.changes)
      changes.push_back(changeLine(change));
    EXPECT_EQ(changes, expected[i].changes);
    if (event.kind == "upload") {
      EXPECT_EQ(event.file, files.file("image.mot"));
      EXPECT_EQ(event.name, "Alpha") << "the robot as read before the upload";
      continue;
    }
    EXPECT_EQ(event.changesFrom, "journal");
    EXPECT_EQ(event.backupState, "good");
    EXPECT_EQ(event.backup.rfind(folder, 0), 0u) << event.backup;
    backups.insert(backups.begin(), event.backup);
  }
  // Each finished write changed what its backup and the next one differ in.
  ASSERT_EQ(backups.size(), 4u);
  for (size_t i = 0; i + 1 < backups.size(); i++) {
    ParamSetDiff diff =
        diffParamSets(paramSetFromBlockFile(backups[i]), paramSetFromBlockFile(backups[i + 1]));
    std::vector<std::string> changes;
    for (const ParamChange &change : diff.changes)
      changes.push_back(changeLine(change));
    EXPECT_EQ(changes, expected[i == 0 ? 4 : i == 1 ? 2 : 1].changes) << i;
  }
  std::vector<std::string> lines = controllerHistoryLines(history, matched);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "    JoyVelMax: 400 -> 650"), lines.end());
  // The write named its backup as it made it.
  std::vector<std::string> firstLines = splitLines(first.result.out);
  EXPECT_NE(std::find(firstLines.begin(), firstLines.end(),
                      "Saved the block as it was to '" + backups[0] + "'."),
            firstLines.end())
      << first.result.out;

  // The same through the command line, offline: no port is opened.
  auto offline = [&](std::vector<std::string> args, int status) {
    args.insert(args.begin(), {"--backup-dir", store, "-rp", dir.file("no-port")});
    RunResult r = runProgram(binPath("orvexconf"), args, "", kCleanEnv, dir.path(), 60000);
    EXPECT_EQ(r.status, status) << r.out << r.err;
    return r;
  };
  RunResult listed = offline({"--history"}, 0);
  EXPECT_EQ(splitLines(listed.out), controllerListLines(history));
  EXPECT_EQ(splitLines(listed.out)[0],
            "1 controller in the backup store '" + store + "', the last written first:");
  RunResult one = offline({"--history", "SIM-2024-0042"}, 0);
  EXPECT_EQ(splitLines(one.out),
            controllerHistoryLines(history, historyOf(history, "SIM-2024-0042")));
  std::vector<std::string> oneLines = splitLines(one.out);
  for (const std::string &line : {std::string("    JoyVelMax: 400 -> 650"),
                                  "  Backup of the block before it: '" + backups[0] + "'"})
    EXPECT_NE(std::find(oneLines.begin(), oneLines.end(), line), oneLines.end()) << line << "\n"
                                                                                 << one.out;
  RunResult json = offline({"--history", "Alpha", "--report", "-"}, 0);
  ASSERT_TRUE(writeFile(dir.file("history.json"), json.out));
  nlohmann::json report = checkedReport(dir.file("history.json"));
  EXPECT_EQ(report["mode"], "offline");
  ASSERT_EQ(report["history"]["events"].size(), std::size(expected)) << json.out;
  EXPECT_EQ(report["history"]["events"][0]["outcomeText"], "did not finish, still open");
  EXPECT_EQ(report["history"]["events"][2]["changes"][0]["after"], "650");
  EXPECT_EQ(report["history"]["controllers"][0]["serialNumber"], "SIM-2024-0042");
  offline({"--history", "Rover99"}, 1);

  // --diff of the controller's block, cut part way, with the parameter file
  // of the block before the first write: read only, status 10; 0 once the
  // backup is written back.
  offline({"-n", "-b", "-restoreBlock", backups[0], "-s", "before.rop"}, 0);
  ToolRun differs = run({}, {"--diff", "-", "before.rop"}, 10);
  EXPECT_FALSE(contains(differs.commands, "FE")) << "a diff erases nothing";
  EXPECT_FALSE(contains(differs.commands, "FW"));
  EXPECT_NE(differs.result.out.find("\n8 parameters differ:\nName: 'Cut' -> 'simbot'  ; Name\n"),
            std::string::npos)
      << differs.result.out;
  run({}, {"-restoreBlock", backups[0], "--export", "json", "restored.json"});
  ToolRun same = run({}, {"--diff", "-", "before.rop"});
  EXPECT_NE(same.result.out.find("\nNo parameter differs.\n"), std::string::npos)
      << same.result.out;
  // The controller's export holds the whole block: its every byte is the
  // backup's.
  RunResult exported = offline({"--diff", "restored.json", backups[0]}, 0);
  EXPECT_EQ(exported.out.find("also differ"), std::string::npos) << exported.out;
  EXPECT_NE(exported.out.find("\nNo parameter differs.\n"), std::string::npos) << exported.out;
}
