// The fault matrix: orvexconf in batch mode against the simulated
// controller with one injected fault at a time, for each of reading the
// parameters, writing them and uploading a firmware image. The rule for
// every cell: status 0 only when the controller holds exactly what was
// intended; otherwise a non-zero status, and the parameter block is the
// old one, or a rescue image was saved that -restoreBlock puts back
// exactly. The controller's memory is judged from the simulator's state
// file after the run.
#include "FirmwareFiles.h"
#include "ProcessRunner.h"
#include "SimCommandLine.h"
#include "SimPty.h"

#include <gtest/gtest.h>

#include <dirent.h>

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
  std::vector<std::string> options; // orvexsim options, as on its command line
  int status[OPERATIONS];           // expected exit status; -1: not run (the fault
                                    // never comes into play, or another cell covers it)
  bool dies;                        // power loss, placed from the fault-free run
  bool underSanitizer;              // also run in the sanitizer build
};

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
};

ToolRun runAgainst(const SimOptions &options, const std::vector<std::string> &toolArgs,
                   const TempDir &dir) {
  ToolRun run;
  SimSession sim(options);
  if (!sim.ok()) {
    ADD_FAILURE() << sim.error();
    return run;
  }
  std::vector<std::string> args = {"-rp", sim.path(), "-b"};
  args.insert(args.end(), toolArgs.begin(), toolArgs.end());
  run.result = runProgram(binPath("orvexconf"), args, "", kCleanEnv, dir.path(), 120000);
  run.bytesReceived = sim.controller().stats().bytesReceived;
  return run; // the session ends here and saves the state file
}

} // namespace

TEST(FaultMatrix, EveryTransferEndsExactOrAccountedFor) {
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
      {"verify checksum once",    {"--bad-checksum", "m7000:2"},                    {-1, 0, -1}, false, false},
      {"stray before erase +",    {"--stray", "FE,3"},                              {-1, 0, 0},  false, false},
      {"erase + lost",            {"--drop-ack", "FE"},                             {-1, 0, 0},  false, true},
      {"erase reply garbled",     {"--bad-checksum", "FE"},                         {-1, 0, 0},  false, false},
      {"piece + lost",            {"--drop-ack", "FW:5"},                           {-1, 0, 0},  false, false},
      {"piece refused once",      {"--refuse", "FW:3"},                             {-1, 0, 0},  false, false},
      {"every piece refused",     {"--refuse", "FW:*"},                             {-1, 8, 5},  false, true},
      {"every erase refused",     {"--refuse", "FE:*"},                             {-1, 8, 5},  false, false},
      {"power lost mid-write",    {},                                               {-1, 8, 5},  true, false},
      // The FLASH acknowledges a firmware piece without storing it, or stores
      // a byte changed: found by the read-back, once or every time.
      {"FW piece lost once",      {"--lose-write", "FW8000:1"},                     {-1, -1, 0}, false, false},
      {"FW piece never kept",     {"--lose-write", "FW10000:*"},                    {-1, -1, 5}, false, true},
      {"FW byte changed once",    {"--flip-byte", "FW10000:1"},                     {-1, -1, 0}, false, false},
      {"FW byte always changed",  {"--flip-byte", "FW8000:*"},                      {-1, -1, 5}, false, false},
  };
  // clang-format on
#if defined(__SANITIZE_ADDRESS__)
  const bool sanitizer = true;
#else
  const bool sanitizer = false;
#endif

  TempDir files;
  ASSERT_TRUE(writeFile(files.file("image.mot"), firmwareImage()));
  const std::vector<std::string> toolArgs[OPERATIONS] = {
      {"-s", "out.rop"}, {"Name", "Matrix"}, {"-u", files.file("image.mot")}};

  const std::array<uint8_t, SimMemory::PARAM_SIZE> fresh = SimMemory().block7();
  std::array<uint8_t, SimMemory::PARAM_SIZE> renamed = fresh;
  memset(renamed.data() + 141, 0, 19);
  memcpy(renamed.data() + 141, "Matrix", 6);

  long faultFreeBytes[OPERATIONS] = {0, 0, 0};
  std::string table = "\n";
  for (const Fault &fault : faults) {
    if (sanitizer && !fault.underSanitizer)
      continue;
    for (int op = 0; op < OPERATIONS; op++) {
      if (fault.status[op] < 0)
        continue;
      SCOPED_TRACE(std::string(fault.name) + " x " + kOperationNames[op]);
      TempDir dir;
      std::string state = dir.file("state.bin");
      std::string error;
      SimOptions options = simOptions(fault.options, state, error);
      if (fault.dies) {
        ASSERT_GT(faultFreeBytes[op], kDieBeforeEnd[op]);
        options.faults.dieAfterBytes = faultFreeBytes[op] - kDieBeforeEnd[op];
      }
      ToolRun run = runAgainst(options, toolArgs[op], dir);
      const RunResult &r = run.result;
      ASSERT_FALSE(r.timedOut) << r.out;
      if (fault.options.empty() && !fault.dies)
        faultFreeBytes[op] = run.bytesReceived;

      SimMemory memory = loadState(state);
      auto block = memory.block7();
      const auto &intended = op == WRITE ? renamed : fresh;
      bool exact = block == intended && (op != UPLOAD || firmwareWritten(memory));
      std::string outcome;
      std::string rescue = rescueImageIn(dir.path());
      if (r.status == 0) {
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
      EXPECT_EQ(r.status, fault.status[op]) << r.out;
      char row[200];
      snprintf(row, sizeof row, "%-24s %-7s status %d  %s\n", fault.name, kOperationNames[op],
               r.status, outcome.c_str());
      table += row;
    }
  }
  // The table as run, for the record.
  printf("%s", table.c_str());
}
