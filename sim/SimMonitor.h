// SPDX-License-Identifier: MIT
// SimMonitor: the simulated controller's resident monitor. Takes the bytes
// the host sends, one at a time, answers commands with "+" and reply
// packets, acts on the memory, applies the injected faults, keeps counters
// and, when asked, writes a log a person can follow.
#ifndef SIMMONITOR_H
#define SIMMONITOR_H

#include "SimFraming.h"
#include "SimMemory.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// What the monitor answers to "V". Positions in the reply body: 0 echoes
/// the command, 12 and 14 the monitor's major and minor digits, 19 to 23 the
/// firmware name, 26 and 28 the firmware's major and minor digits.
struct SimIdentity {
  char monitorMajor = '1';
  char monitorMinor = '9';
  std::string firmwareName = "ORVEX"; ///< cut or blank-padded to 5 characters
  char firmwareMajor = '2';
  char firmwareMinor = '8';
  /// When not empty, sent as the whole reply body instead ("$", "#" and "}"
  /// are replaced by "?" so the framing stays intact).
  std::string rawReply;

  /// The reply body, e.g. "VMonitor v. 1.9 fw ORVEX v2.8".
  std::string replyBody() const;
};

/// Selects commands for a fault: those whose text begins with prefix (the
/// empty prefix selects every command); of these only the occurrence-th
/// (counted from 1), or every one when occurrence is EVERY. 0 is off.
struct SimFaultTrigger {
  static constexpr int EVERY = -1;
  std::string prefix;
  int occurrence = 0;

  bool enabled() const { return occurrence != 0; }
  /// Text form "PREFIX", "PREFIX:N" or "PREFIX:*"; false when malformed.
  bool parse(const std::string &text);
  std::string describe() const;
};

struct SimFaults {
  /// The controller hears everything and answers nothing, not even "+";
  /// no command is carried out.
  bool silent = false;
  /// The reply to the selected command carries a wrong checksum.
  SimFaultTrigger badChecksum;
  /// The "+" of the selected command is lost; the command is still carried
  /// out and answered.
  SimFaultTrigger dropAck;
  /// The selected erase ("FE") or write ("FW") command is refused with
  /// "ER2" and changes nothing; other commands do not count.
  SimFaultTrigger refuse;
  /// Noise bytes sent before every reply packet, after the "+".
  int noiseBytes = 0;
  /// Power is lost once this many bytes have been received (-1: never):
  /// the controller handles no further byte and sends nothing more.
  long dieAfterBytes = -1;
  /// The reply to the selected command pauses pauseMs after its
  /// pauseAfter-th body character.
  SimFaultTrigger pauseReply;
  int pauseAfter = 0;
  int pauseMs = 0;
  /// The reply to the selected command stops after cutAfter body
  /// characters: no "#", no checksum.
  SimFaultTrigger cutReply;
  int cutAfter = 0;
  /// The reply to the selected read ("m") carries shortReadBytes bytes
  /// from the address asked for instead of the count asked, with a good
  /// checksum.
  SimFaultTrigger shortRead;
  int shortReadBytes = 0;
  /// The reply to the selected command has two neighbouring body
  /// characters swapped, the checksum left as the sum of the body (which a
  /// swap does not change): the first differing pair from body character
  /// swapFrom on (counted from 0), and for each further damaged reply the
  /// first such pair after the one swapped before, so no two damaged
  /// replies are alike.
  SimFaultTrigger swapDigits;
  int swapFrom = 0;
  /// The selected write ("FW") is acknowledged and answered "OK0" but
  /// stores nothing: a FLASH that takes pieces without keeping them.
  SimFaultTrigger loseWrite;
  /// The selected write ("FW") stores its middle byte changed (one bit
  /// flipped) and answers "OK0".
  SimFaultTrigger flipByte;
  /// strayBytes noise bytes go out just before the "+" of the selected
  /// command.
  SimFaultTrigger stray;
  int strayBytes = 0;
  /// The selected command is carried out and then the controller stalls:
  /// no "+", no reply, and nothing more from then on (memory as the command
  /// left it). Tests wait for it to stop the host at an exact point.
  SimFaultTrigger stall;
};

/// Parses "CMD[:N],V1[,V2]" (a trigger and one or two numbers from low to
/// high); false when malformed.
bool parseFaultWithNumbers(const std::string &text, SimFaultTrigger &trigger, int count, long low,
                           long high, int *first, int *second);

/// Counters of what the monitor has seen and done.
struct SimStats {
  long bytesReceived = 0;
  long bytesSent = 0;
  long commands = 0;     ///< packets with a good checksum
  long badChecksums = 0; ///< packets answered with "-"
  long overflows = 0;    ///< packets too long to keep
  long repliesSent = 0;
  long replyAcks = 0;     ///< "+" from the host after a reply
  long replyNaks = 0;     ///< "-" from the host after a reply (never resent)
  long lonePluses = 0;    ///< "+" with no reply outstanding (ignored)
  long strayBytes = 0;    ///< other bytes outside packets
  long noiseReceived = 0; ///< bytes that arrived at the wrong speed
  long erases = 0;
  long writes = 0;
  long bytesWritten = 0;
  long reads = 0;
  long refused = 0;
  long acksDropped = 0;
  long checksumsCorrupted = 0;
  long repliesPaused = 0;
  long repliesCut = 0;
  long shortReads = 0;
  long digitsSwapped = 0; ///< replies sent with two body characters swapped
  long strayBursts = 0;
  long writesLost = 0;   ///< writes answered "OK0" without storing (fault)
  long bytesChanged = 0; ///< writes stored with one byte changed (fault)
  bool poweredOff = false;
  bool stalled = false; ///< a --stall command was carried out (poweredOff too)
};

/// Reply bodies of erase and write commands: the third character is "0"
/// only on success.
namespace simreply {
extern const char *const OK;          ///< "OK0": done
extern const char *const BAD_COMMAND; ///< "ER1": malformed, or outside the memory
extern const char *const REFUSED;     ///< "ER2": the FLASH refused (injected fault)
extern const char *const NOT_ERASED;  ///< "ER3": write could not set bits that are 0
} // namespace simreply

class SimMonitor {
public:
  /// Receives the bytes the monitor sends, in order.
  using Output = std::function<void(const uint8_t *bytes, size_t length)>;
  using LogSink = std::function<void(const std::string &line)>;
  /// Holds the monitor's further output back for ms milliseconds.
  using Pause = std::function<void(int ms)>;

  SimMonitor(SimMemory *memory, const SimIdentity &identity, const SimFaults &faults);

  void setOutput(Output output) { myOutput = std::move(output); }
  void setPause(Pause pause) { myPause = std::move(pause); }
  /// Installs a log line consumer; with none, no log text is made.
  void setLogSink(LogSink sink) { myLog = std::move(sink); }

  /// One byte from the host. noise is true when it arrived at the wrong
  /// speed (it is then counted and otherwise handled like any byte).
  void receive(uint8_t byte, bool noise = false);
  /// Logs a summary of stray or noise bytes collected so far.
  void flushLog();
  /// Forgets a packet half received and a reply not yet answered: the
  /// monitor takes (or gives up) the line.
  void resetLine();
  /// True once after "FK" was acknowledged: the monitor's work is done and
  /// the firmware may take the line again.
  bool takeLeaveRequest();

  /// Bytes the controller's firmware received and sent while it held the
  /// line: they count in the byte counters and towards --die-after like
  /// the monitor's own.
  void countFirmwareByte(bool noise);
  void countFirmwareOutput(size_t length) { myStats.bytesSent += static_cast<long>(length); }

  const SimStats &stats() const { return myStats; }
  /// Texts of the commands received, oldest first (the most recent 20000);
  /// texts longer than 40 characters are cut and end in "...".
  std::vector<std::string> commandLog() const;
  bool poweredOff() const { return myStats.poweredOff; }
  /// True after a command changed the memory; cleared by the caller.
  bool memoryDirty() const { return myDirty; }
  void clearDirty() { myDirty = false; }

  /// Bytes a noise burst is made of: never "$", "#", "}", "+" or "-".
  static uint8_t noiseByte(uint32_t &state);

private:
  void execute();
  void send(const uint8_t *bytes, size_t length);
  void sendReply(const char *body, size_t length, bool corrupt, const char *text);
  void sendNoise(int count);
  void swapBodyDigits(const char *body, size_t length);
  void log(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void setDetail(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void recordCommand(const char *text, size_t length);
  void checkPower();
  bool triggered(const SimFaultTrigger &trigger, long &count, const char *text);
  const char *doRead(const char *args, size_t &length);
  const char *doErase(const char *args);
  const char *doWrite(const char *args);

  SimMemory *myMemory;
  SimIdentity myIdentity;
  SimFaults myFaults;
  Output myOutput;
  Pause myPause;
  LogSink myLog;
  CommandDecoder myDecoder;
  SimStats myStats;
  // Ring of the most recent command texts, fixed size so that recording
  // allocates nothing.
  static constexpr size_t COMMANDS_KEPT = 20000;
  static constexpr size_t COMMAND_CHARS = 44;
  std::vector<char> myCommandRing;
  size_t myCommandNext = 0;
  size_t myCommandCount = 0;
  std::string myIdentityBody;
  bool myReplyOutstanding = false;
  bool myLeaveRequest = false;
  bool myDirty = false;
  long myBadChecksumCount = 0;
  long myDropAckCount = 0;
  long myRefuseCount = 0;
  long myPauseCount = 0;
  long myCutCount = 0;
  long myShortReadCount = 0;
  long myStrayCount = 0;
  long mySwapCount = 0;
  long myLastSwap = -1; // body position of the pair swapped last, -1 for none
  long myStallCount = 0;
  long myLoseWriteCount = 0;
  long myFlipByteCount = 0;
  uint32_t myNoiseState = 0x1234567u;
  long myPendingStray = 0;
  long myPendingNoise = 0;
  char myDetail[160] = {0};     // log detail of the reply being made
  std::vector<char> myBody;     // reply body being built
  std::vector<uint8_t> myFrame; // encoded reply
  std::vector<uint8_t> myData;  // decoded write data
};

#endif
