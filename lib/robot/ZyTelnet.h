// SPDX-License-Identifier: MIT
// ZyTelnet: the part of the telnet protocol a remote serial port needs. The
// reader splits what a server sends into data bytes and telnet commands
// (option negotiation and subnegotiations), byte by byte, so that input
// cut anywhere reads the same; escapeData doubles the 0xFF bytes of data
// going out. Both work in the caller's buffers and allocate nothing.
#ifndef ZYTELNET_H
#define ZYTELNET_H

#include <cstddef>
#include <cstdint>

namespace ZyTelnet {
// Commands.
const uint8_t SE = 240;
const uint8_t NOP = 241;
const uint8_t SB = 250;
const uint8_t WILL = 251;
const uint8_t WONT = 252;
const uint8_t DO = 253;
const uint8_t DONT = 254;
const uint8_t IAC = 255;
// Options.
const uint8_t OPTION_BINARY = 0;
const uint8_t OPTION_ECHO = 1;
const uint8_t OPTION_SGA = 3;
const uint8_t OPTION_COM_PORT = 44;

/// Copies size bytes of data from in to out with every 0xFF doubled, as
/// far as out (outSize bytes) has room for whole bytes; *consumed tells
/// how many bytes of in went out. Returns the bytes written to out.
size_t escapeData(const uint8_t *in, size_t size, uint8_t *out, size_t outSize, size_t *consumed);
} // namespace ZyTelnet

/// What the reader found besides data.
class ZyTelnetHandler {
public:
  virtual ~ZyTelnetHandler() = default;
  /// WILL, WONT, DO or DONT of an option.
  virtual void telnetOption(uint8_t command, uint8_t option) = 0;
  /// A whole subnegotiation of option: its bytes after the option, with
  /// doubled 0xFF undone. cut when it was longer than the reader keeps
  /// (the rest was dropped).
  virtual void telnetSubnegotiation(uint8_t option, const uint8_t *data, size_t size, bool cut) = 0;
};

class ZyTelnetReader {
public:
  /// The longest subnegotiation kept; the server's confirmations of a
  /// remote serial port are a few bytes long, its signature a line.
  static const size_t MAX_SUBNEGOTIATION = 256;

  /// Reads size bytes of in, writes their data bytes to out (which has
  /// room for size bytes: the data is never longer than its input) and
  /// tells handler of every command. Returns the data bytes written.
  size_t read(const uint8_t *in, size_t size, uint8_t *out, ZyTelnetHandler &handler);
  /// Forgets a command read in part (a new connection).
  void reset();
  /// During a call of the handler: the data bytes written to out so far
  /// by the read under way.
  size_t outputSoFar() const { return myOutCount; }

private:
  enum class State { Data, Command, Option, SubOption, SubData, SubCommand };
  State myState = State::Data;
  uint8_t myCommand = 0;
  uint8_t mySubOption = 0;
  uint8_t mySub[MAX_SUBNEGOTIATION];
  size_t mySubSize = 0;
  bool mySubCut = false;
  size_t myOutCount = 0;
};

#endif
