// SPDX-License-Identifier: MIT
// The telnet reader's state machine and the escaping of outgoing data.
#include "ZyTelnet.h"

size_t ZyTelnet::escapeData(const uint8_t *in, size_t size, uint8_t *out, size_t outSize,
                            size_t *consumed) {
  size_t i = 0;
  size_t o = 0;
  for (; i < size; i++) {
    size_t need = in[i] == IAC ? 2 : 1;
    if (o + need > outSize)
      break;
    out[o++] = in[i];
    if (need == 2)
      out[o++] = IAC;
  }
  *consumed = i;
  return o;
}

void ZyTelnetReader::reset() {
  myState = State::Data;
  mySubSize = 0;
  mySubCut = false;
}

size_t ZyTelnetReader::read(const uint8_t *in, size_t size, uint8_t *out,
                            ZyTelnetHandler &handler) {
  using namespace ZyTelnet;
  size_t &count = myOutCount;
  count = 0;
  for (size_t i = 0; i < size; i++) {
    uint8_t byte = in[i];
    switch (myState) {
    case State::Data:
      if (byte == IAC)
        myState = State::Command;
      else
        out[count++] = byte;
      break;
    case State::Command:
      if (byte == IAC) {
        out[count++] = IAC; // a doubled 0xFF is one data byte
        myState = State::Data;
      } else if (byte >= WILL) {
        myCommand = byte;
        myState = State::Option;
      } else if (byte == SB) {
        myState = State::SubOption;
      } else {
        // NOP, GA, a stray SE and the rest carry nothing a serial line needs.
        myState = State::Data;
      }
      break;
    case State::Option:
      handler.telnetOption(myCommand, byte);
      myState = State::Data;
      break;
    case State::SubOption:
      mySubOption = byte;
      mySubSize = 0;
      mySubCut = false;
      myState = State::SubData;
      break;
    case State::SubData:
      if (byte == IAC) {
        myState = State::SubCommand;
      } else if (mySubSize < MAX_SUBNEGOTIATION) {
        mySub[mySubSize++] = byte;
      } else {
        mySubCut = true;
      }
      break;
    case State::SubCommand:
      if (byte == IAC) {
        if (mySubSize < MAX_SUBNEGOTIATION)
          mySub[mySubSize++] = IAC;
        else
          mySubCut = true;
        myState = State::SubData;
      } else if (byte == SE) {
        handler.telnetSubnegotiation(mySubOption, mySub, mySubSize, mySubCut);
        myState = State::Data;
      } else {
        // Any other command ends a subnegotiation that never closed; it
        // is dropped and the command read as such.
        myCommand = byte;
        myState = byte >= WILL ? State::Option : byte == SB ? State::SubOption : State::Data;
      }
      break;
    }
  }
  return count;
}
