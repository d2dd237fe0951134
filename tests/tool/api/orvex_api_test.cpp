// SPDX-License-Identifier: MIT
// Tests of the operations for programs: every one fails with bad input as
// a value (the tool's status, its words, the file and line) and writes
// nothing to standard output or standard error; a program's sink gets the
// lines; parameters go round through every format; an image's digest is
// that of the bytes an upload writes; threads each get their own outcome.
#include "FirmwareFiles.h"
#include "Orvex.h"
#include "TempFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <openssl/evp.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string fileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

/// What fn wrote to file descriptors 1 and 2, whether through stdio or not.
std::string writtenToStdStreams(const TempDir &dir, const std::function<void()> &fn) {
  fflush(stdout);
  fflush(stderr);
  std::string path = dir.file("streams.out");
  int sink = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  EXPECT_GE(sink, 0);
  int savedOut = dup(1);
  int savedErr = dup(2);
  dup2(sink, 1);
  dup2(sink, 2);
  close(sink);
  fn();
  fflush(stdout);
  fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  return fileText(path);
}

std::string sha256(const std::vector<unsigned char> &bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr), 1);
  std::string text;
  char hex[3];
  for (unsigned int i = 0; i < length; i++) {
    snprintf(hex, sizeof hex, "%02x", digest[i]);
    text += hex;
  }
  return text;
}

const char *const kRop = "Name demo-bot\nHostBaud 4\nSonar1 12345678\n";

TEST(OrvexApi, EveryOperationFailsAsAValueAndPrintsNothing) {
  TempDir dir;
  std::string missing = dir.file("missing.rop");
  std::string refused = dir.write("refused.rop", "Name demo-bot\nHostBaud 9\n");
  std::string shortBlock = dir.write("short.blk", std::string(10, 'x'));
  std::string badMot = dir.write(
      "bad.mot", records::lines({records::dataRecord('1', 0x8000, records::bytes(8)),
                                 records::dataRecord('1', 0x8008, records::bytes(8)), "S1"}));
  std::string bin = dir.write("image.bin", std::string(16, '\x11'));
  std::string existing = dir.write("exists.rop", "old\n");
  std::string port = dir.file("ttyNoSuchPort");
  orvex::Parameters parameters = orvex::loadParameters(dir.write("good.rop", kRop)).value;

  const struct Case {
    const char *what;
    std::function<orvex::Outcome()> run;
    orvex::Status status;
    std::string message; // the message, or a part of it
    std::string file;
    int line;
  } cases[] = {
      {"missing parameter file", [&] { return orvex::loadParameters(missing); },
       orvex::Status::flashRead,
       "Cannot open parameter file '" + missing + "' (No such file or directory).\n", missing, 0},
      {"value refused in a parameter file", [&] { return orvex::loadParameters(refused); },
       orvex::Status::flashRead, "'" + refused + "' line 2: ", refused, 2},
      {"malformed export", [&] { return orvex::loadParameters(dir.write("bad.json", "{")); },
       orvex::Status::flashRead, "bad.json", dir.file("bad.json"), 0},
      {"short block image", [&] { return orvex::readBlockImage(shortBlock); },
       orvex::Status::flashRead,
       "'" + shortBlock +
           "' is not a FLASH parameter block image: it must hold 4096 bytes (or 4095).\n",
       shortBlock, 0},
      {"no block in memory", [] { return orvex::parametersFromBlock(nullptr, 0, "controller"); },
       orvex::Status::flashRead, "'controller' is not a FLASH parameter block image", "controller",
       0},
      {"save into a missing folder",
       [&] { return orvex::saveParameters(parameters, dir.file("no/such.rop")); },
       orvex::Status::saveFailed,
       "Cannot save to '" + dir.file("no/such.rop") + "' (No such file or directory).\n",
       dir.file("no/such.rop"), 0},
      {"save over a file", [&] { return orvex::saveParameters(parameters, existing); },
       orvex::Status::saveFailed, "Cannot save to '" + existing + "': it exists already.\n",
       existing, 0},
      {"missing image", [&] { return orvex::inspectImage(dir.file("missing.mot")); },
       orvex::Status::upload, "Cannot open file '" + dir.file("missing.mot") + "' for download.\n",
       dir.file("missing.mot"), 0},
      {"malformed image", [&] { return orvex::inspectImage(badMot); }, orvex::Status::upload,
       "Malformed .mot file (line 3 too short), cannot download.\n", badMot, 3},
      {"raw binary without a base", [&] { return orvex::inspectImage(bin); }, orvex::Status::upload,
       "has no load address: give it with --base ADDR", bin, 0},
      {"unknown keyword", [&] { return parameters.set("HostBuad", "4"); },
       orvex::Status::badArguments, "Unknown keyword 'HostBuad' (did you mean 'HostBaud'?).\n", "",
       0},
      {"value out of range", [&] { return parameters.set("HostBaud", "9"); },
       orvex::Status::badArguments, "Value for HostBaud must be an integer <= 4.\n", "", 0},
      {"port that does not exist", [&] { return orvex::checkPort(port); },
       orvex::Status::noConnection, port, port, 0},
      {"port URL that is not valid", [] { return orvex::checkPort("rfc2217://:0"); },
       orvex::Status::options, "rfc2217://:0", "", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    orvex::Outcome outcome;
    EXPECT_EQ(writtenToStdStreams(dir, [&] { outcome = c.run(); }), "");
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_FALSE(outcome.ok());
    EXPECT_NE(outcome.message.find(c.message), std::string::npos) << outcome.message;
    EXPECT_EQ(outcome.file, c.file);
    EXPECT_EQ(outcome.line, c.line);
    // The message is made of what the operation logged as errors.
    std::string terse;
    for (const orvex::LogLine &line : outcome.log)
      if (line.level == orvex::LogLevel::terse)
        terse += line.text + "\n";
    EXPECT_EQ(terse.empty() ? std::string() : outcome.message, terse);
  }
  // A refused value leaves the set as it was; nothing was written.
  EXPECT_EQ(parameters.get("HostBaud"), "4");
  EXPECT_EQ(fileText(existing), "old\n");
  std::vector<orvex::SerialPort> ports;
  EXPECT_EQ(writtenToStdStreams(
                dir, [&] { ports = orvex::listSerialPorts(dir.file("dev"), dir.file("sys")); }),
            "");
  EXPECT_TRUE(ports.empty());
  EXPECT_STREQ(orvex::statusName(orvex::Status::noConnection), "no-connection");
  EXPECT_STREQ(orvex::statusName(static_cast<orvex::Status>(130)), "signal");
}

std::vector<std::string> gSunk;
void sink(void *context, orvex::LogLevel level, const char *line) {
  static_cast<std::vector<std::string> *>(context)->push_back(
      std::to_string(static_cast<int>(level)) + ":" + line);
}

TEST(OrvexApi, AProgramsSinkGetsTheLinesAndTheStreamsStillNothing) {
  TempDir dir;
  std::string image = dir.write("a.mot", records::srecordFile(0x8000, records::bytes(16)));
  orvex::Result<orvex::ImageInfo> info;
  EXPECT_EQ(writtenToStdStreams(dir,
                                [&] {
                                  orvex::setLogSink(sink, &gSunk, orvex::LogLevel::terse);
                                  orvex::inspectImage(dir.file("missing.mot"));
                                  orvex::setLogSink(sink, &gSunk, orvex::LogLevel::normal);
                                  info = orvex::inspectImage(image);
                                  orvex::setLogSink(nullptr, nullptr);
                                  orvex::inspectImage(dir.file("missing.mot"));
                                }),
            "");
  ASSERT_TRUE(info.ok()) << info.message;
  ASSERT_EQ(gSunk.size(), 1u + info.value.summary.size());
  EXPECT_EQ(gSunk[0], "0:Cannot open file '" + dir.file("missing.mot") + "' for download.");
  EXPECT_EQ(gSunk[1], "1:" + info.value.summary[0]);
}

TEST(OrvexApi, ParametersGoRoundThroughEveryFormat) {
  TempDir dir;
  orvex::Result<orvex::Parameters> loaded =
      orvex::loadParameters(dir.write("in.rop", std::string(kRop) + "Bogus 1\n"));
  ASSERT_TRUE(loaded.ok()) << loaded.message;
  orvex::Parameters parameters = loaded.value;
  EXPECT_EQ(parameters.format(), "rop");
  ASSERT_EQ(parameters.problems().size(), 1u);
  EXPECT_EQ(parameters.problems()[0].reason, "unknown keyword");
  EXPECT_TRUE(parameters.has("hostbaud"));
  EXPECT_FALSE(parameters.has("LRFPower"));
  ASSERT_TRUE(parameters.set("HostBaud", "2").ok());
  orvex::Outcome cut = parameters.set("Name", "a-name-longer-than-its-field");
  EXPECT_TRUE(cut.ok());
  EXPECT_EQ(parameters.get("Name"), "a-name-longer-than-");
  std::vector<orvex::Change> changes = loaded.value.changesTo(parameters);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].line, "Name: 'demo-bot' -> 'a-name-longer-than-'");
  EXPECT_EQ(changes[1].line, "HostBaud: 4 -> 2");

  for (const char *name : {"out.rop", "out.blk", "out.json", "out.yaml"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(orvex::saveParameters(parameters, dir.file(name)).ok());
    orvex::Result<orvex::Parameters> back = orvex::loadParameters(dir.file(name));
    ASSERT_TRUE(back.ok()) << back.message;
    EXPECT_TRUE(parameters.changesTo(back.value).empty());
    EXPECT_EQ(back.value.get("Sonar1"), "12345678");
  }
  // The block's bytes, read as a block image, are the same parameters.
  std::vector<unsigned char> block = parameters.block();
  ASSERT_EQ(block.size(), 4096u);
  orvex::Result<orvex::Parameters> fromBlock =
      orvex::parametersFromBlock(block.data(), block.size(), "memory");
  ASSERT_TRUE(fromBlock.ok());
  EXPECT_EQ(fromBlock.value.get("HostBaud"), "2");
  EXPECT_EQ(orvex::readBlockImage(dir.file("out.blk")).value.get("Name"), "a-name-longer-than-");
  // The unknown line goes back into a parameter file.
  EXPECT_NE(fileText(dir.file("out.rop")).find("\nBogus 1\n"), std::string::npos);
  // Every parameter is listed, held or not.
  std::vector<orvex::Parameter> list = parameters.list();
  size_t held = 0;
  for (const orvex::Parameter &parameter : list)
    held += parameter.held ? 1 : 0;
  EXPECT_EQ(held, 3u);
  EXPECT_EQ(list.front().table, "robot");
  EXPECT_EQ(list.back().table, "power");
}

TEST(OrvexApi, AnImagesDigestIsThatOfTheBytesAnUploadWrites) {
  TempDir dir;
  // Two runs in block 8 with a gap, which an upload writes erased (0xFF).
  std::vector<unsigned char> first = records::bytes(16, 1);
  std::vector<unsigned char> second = records::bytes(16, 100);
  std::string image =
      dir.write("two.mot", records::lines({records::dataRecord('2', 0x8000, first),
                                           records::dataRecord('2', 0x8020, second)}));
  orvex::Result<orvex::ImageInfo> info = orvex::inspectImage(image);
  ASSERT_TRUE(info.ok()) << info.message;
  std::vector<unsigned char> written = first;
  written.insert(written.end(), 16, 0xFF);
  written.insert(written.end(), second.begin(), second.end());
  EXPECT_EQ(info.value.sha256, sha256(written));
  EXPECT_EQ(info.value.format, "Motorola S-records");
  ASSERT_EQ(info.value.ranges.size(), 2u);
  EXPECT_EQ(info.value.ranges[1].first, 0x8020u);
  EXPECT_EQ(info.value.ranges[1].end, 0x8030u);
  ASSERT_EQ(info.value.blocks.size(), 1u);
  EXPECT_EQ(info.value.blocks[0].index, 8);
  EXPECT_EQ(info.value.blocks[0].end, 0x8030u);
  ASSERT_EQ(info.value.summary.size(), 4u);
  EXPECT_EQ(info.value.summary[3], "SHA-256 of the bytes to write: " + sha256(written));
  // A raw binary image at the base given.
  orvex::Result<orvex::ImageInfo> raw =
      orvex::inspectImage(dir.write("a.bin", std::string(first.begin(), first.end())), 0x9000);
  ASSERT_TRUE(raw.ok()) << raw.message;
  EXPECT_EQ(raw.value.format, "raw binary");
  EXPECT_EQ(raw.value.ranges[0].first, 0x9000u);
  // From the start of its block, erased up to the image.
  std::vector<unsigned char> fromBlockStart(0x1000, 0xFF);
  fromBlockStart.insert(fromBlockStart.end(), first.begin(), first.end());
  EXPECT_EQ(raw.value.sha256, sha256(fromBlockStart));
}

TEST(OrvexApi, ThreadsEachGetTheirOwnOutcome) {
  // Each thread reads files of its own, each failing at another line, at
  // the same time as the others: each outcome names its thread's file and
  // line and holds its thread's lines alone.
  TempDir dir;
  const int threads = 4;
  std::vector<std::string> images, rops;
  for (int t = 0; t < threads; t++) {
    std::vector<std::string> lines;
    for (int i = 0; i <= t; i++)
      lines.push_back(records::dataRecord('1', 0x8000 + 16 * i, records::bytes(16)));
    lines.push_back("S1");
    images.push_back(dir.write("t" + std::to_string(t) + ".mot", records::lines(lines)));
    rops.push_back(dir.write("t" + std::to_string(t) + ".rop",
                             std::string(static_cast<size_t>(t), '\n') + "HostBaud 7\n"));
  }
  // What each thread's calls give made one at a time, to compare with.
  auto lines = [](const orvex::Outcome &outcome) {
    std::string all = outcome.file + ":" + std::to_string(outcome.line) + "\n";
    for (const orvex::LogLine &line : outcome.log)
      all += line.text + "\n";
    return all;
  };
  std::vector<std::string> alone;
  for (int t = 0; t < threads; t++) {
    alone.push_back(lines(orvex::inspectImage(images[t])) + lines(orvex::loadParameters(rops[t])));
    ASSERT_NE(alone[t].find("(line " + std::to_string(t + 2) + " too short)"), std::string::npos)
        << alone[t];
    ASSERT_NE(alone[t].find("t" + std::to_string(t) + ".rop' line " + std::to_string(t + 1) + ": "),
              std::string::npos)
        << alone[t];
  }
  std::mutex failuresLock;
  std::vector<std::string> failures;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; t++)
    workers.emplace_back([&, t] {
      for (int round = 0; round < 25; round++) {
        std::string got =
            lines(orvex::inspectImage(images[t])) + lines(orvex::loadParameters(rops[t]));
        if (got != alone[t]) {
          std::lock_guard<std::mutex> guard(failuresLock);
          failures.push_back("thread " + std::to_string(t) + " got:\n" + got);
        }
      }
    });
  for (std::thread &worker : workers)
    worker.join();
  EXPECT_TRUE(failures.empty()) << failures.front();
}

} // namespace
