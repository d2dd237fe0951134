// SPDX-License-Identifier: MIT
// Options of the orvexsim program.
#include "SimCommandLine.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool parseLong(const std::string &text, long low, long high, long &value) {
  if (text.empty())
    return false;
  errno = 0;
  char *end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != 0 || v < low || v > high)
    return false;
  value = v;
  return true;
}

/// "M.N" with one digit each.
bool parseVersion(const std::string &text, char &major, char &minor) {
  if (text.size() != 3 || text[1] != '.' || text[0] < '0' || text[0] > '9' || text[2] < '0' ||
      text[2] > '9')
    return false;
  major = text[0];
  minor = text[2];
  return true;
}

bool frameSafe(const std::string &text) {
  return text.find_first_of("$#}") == std::string::npos;
}

} // namespace

const char *simUsage() {
  return "Usage: orvexsim [options]\n"
         "Plays a robot controller on a pseudo-terminal: its firmware, which speaks the\n"
         "robot protocol, and its resident monitor, which takes the line on command 255\n"
         "and gives it back after \"FK\". Prints the terminal's path on standard output;\n"
         "start the tool with \"-rp PATH\".\n"
         "\n"
         "  -l, --link PATH             also make a symbolic link PATH to the terminal\n"
         "  -s, --state FILE            keep the controller's memory in FILE between runs\n"
         "  -p, --pace                  emulate wire time (10 bits a byte at the line's speed)\n"
         "  -r, --robot-baud RATE       the firmware's speed in bit/s (default 9600)\n"
         "  -b, --baud RATE             the monitor's speed in bit/s (default 115200)\n"
         "      --monitor               start in the monitor, as after command 255\n"
         "      --reset-baud            let the host change the firmware's speed (ResetBaud 2\n"
         "                              in the CONFIG packet)\n"
         "  -v, --verbose               log what is received and answered on standard error\n"
         "      --monitor-version M.N   monitor version in the identity reply (default 1.9)\n"
         "      --firmware NAME         firmware name in the identity reply (default ORVEX)\n"
         "      --firmware-version M.N  firmware version in the identity reply (default 2.8)\n"
         "      --identity TEXT         send TEXT as the whole identity reply\n"
         "Faults (CMD selects commands starting with CMD; :N the Nth of them, :* all;\n"
         "the default is the first):\n"
         "      --no-robot              the firmware never answers: the monitor holds the\n"
         "                              line from start to end\n"
         "      --silent                hear everything, answer nothing\n"
         "      --bad-checksum CMD[:N]  wrong checksum on the reply to that command\n"
         "      --drop-ack CMD[:N]      lose the \"+\" of that command\n"
         "      --refuse CMD[:N]        refuse that erase (FE) or write (FW) with \"ER2\"\n"
         "      --lose-write CMD[:N]    answer that write (FW) \"OK0\" but store nothing\n"
         "      --flip-byte CMD[:N]     store that write (FW) with one byte changed\n"
         "      --noise N               send N noise bytes before every reply\n"
         "      --die-after N           lose power after N received bytes\n"
         "      --pause-reply CMD[:N],K,MS  the reply pauses MS ms after its Kth character\n"
         "      --cut-reply CMD[:N],K   the reply stops after K characters\n"
         "      --short-read CMD[:N],B  that read replies with B bytes, good checksum\n"
         "      --stray CMD[:N],B       B stray bytes just before the \"+\"\n"
         "      --swap-digits CMD[:N],K two differing neighbouring reply characters from the\n"
         "                              Kth on swapped; the checksum cannot tell\n"
         "      --stall CMD[:N]         carry out that command, then answer nothing more\n"
         "  -h, --help                  show this text\n";
}

bool parseSimCommandLine(int argc, const char *const *argv, SimCommandLine &out,
                         std::string &error) {
  SimOptions &o = out.options;
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    std::string value;
    bool hasInlineValue = false;
    if (arg.compare(0, 2, "--") == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        hasInlineValue = true;
      }
    }
    auto takeValue = [&](std::string &into) {
      if (hasInlineValue) {
        into = value;
        return true;
      }
      if (i + 1 >= argc) {
        error = "Option " + arg + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    auto noValue = [&]() {
      if (hasInlineValue) {
        error = "Option " + arg + " takes no value";
        return false;
      }
      return true;
    };

    std::string v;
    if (arg == "-h" || arg == "--help") {
      if (!noValue())
        return false;
      out.help = true;
    } else if (arg == "-l" || arg == "--link") {
      if (!takeValue(out.linkPath))
        return false;
      if (out.linkPath.empty()) {
        error = "Option " + arg + " needs a path";
        return false;
      }
    } else if (arg == "-s" || arg == "--state") {
      if (!takeValue(o.stateFile))
        return false;
      if (o.stateFile.empty()) {
        error = "Option " + arg + " needs a file name";
        return false;
      }
    } else if (arg == "-p" || arg == "--pace") {
      if (!noValue())
        return false;
      o.pace = true;
    } else if (arg == "-v" || arg == "--verbose") {
      if (!noValue())
        return false;
      o.verbose = true;
    } else if (arg == "-b" || arg == "--baud" || arg == "-r" || arg == "--robot-baud") {
      long rate = 0;
      if (!takeValue(v))
        return false;
      bool robot = arg == "-r" || arg == "--robot-baud";
      bool valid =
          parseLong(v, 1, INT_MAX, rate) && SimController::speedCodeOf(static_cast<int>(rate)) != 0;
      // The firmware's speed is one the host baud change can select.
      bool hostRate = false;
      for (int r : simrobot::HOST_RATES)
        hostRate = hostRate || r == rate;
      if (!valid || (robot && !hostRate)) {
        error = "Option " + arg + ": '" + v +
                "' is not a serial speed; use one of 9600, 19200, 38400, 57600, 115200";
        return false;
      }
      (robot ? o.robotBaud : o.baud) = static_cast<int>(rate);
    } else if (arg == "--monitor" || arg == "--no-robot" || arg == "--reset-baud") {
      if (!noValue())
        return false;
      if (arg == "--monitor")
        o.startInMonitor = true;
      else if (arg == "--no-robot")
        o.robotProtocol = false;
      else
        o.resetBaud = true;
    } else if (arg == "--monitor-version" || arg == "--firmware-version") {
      if (!takeValue(v))
        return false;
      SimIdentity &id = o.identity;
      bool okVersion = arg == "--monitor-version"
                           ? parseVersion(v, id.monitorMajor, id.monitorMinor)
                           : parseVersion(v, id.firmwareMajor, id.firmwareMinor);
      if (!okVersion) {
        error = "Option " + arg + ": '" + v + "' is not a version of the form 1.9";
        return false;
      }
    } else if (arg == "--firmware") {
      if (!takeValue(v))
        return false;
      if (v.empty() || v.size() > 5 || !frameSafe(v)) {
        error = "Option " + arg + ": '" + v +
                "' is not a firmware name of 1 to 5 characters without $, # or }";
        return false;
      }
      o.identity.firmwareName = v;
    } else if (arg == "--identity") {
      if (!takeValue(v))
        return false;
      if (v.empty() || v.size() > 1024 || !frameSafe(v)) {
        error = "Option " + arg + ": the reply must have 1 to 1024 characters without $, # or }";
        return false;
      }
      o.identity.rawReply = v;
    } else if (arg == "--silent") {
      if (!noValue())
        return false;
      o.faults.silent = true;
    } else if (arg == "--bad-checksum" || arg == "--drop-ack" || arg == "--refuse" ||
               arg == "--stall" || arg == "--lose-write" || arg == "--flip-byte") {
      if (!takeValue(v))
        return false;
      SimFaultTrigger &t = arg == "--bad-checksum" ? o.faults.badChecksum
                           : arg == "--drop-ack"   ? o.faults.dropAck
                           : arg == "--stall"      ? o.faults.stall
                           : arg == "--lose-write" ? o.faults.loseWrite
                           : arg == "--flip-byte"  ? o.faults.flipByte
                                                   : o.faults.refuse;
      if (!t.parse(v)) {
        error = "Option " + arg + ": '" + v +
                "' is not CMD, CMD:N (N from 1) or CMD:* (for example FW7000 or FE:2)";
        return false;
      }
    } else if (arg == "--pause-reply" || arg == "--cut-reply" || arg == "--short-read" ||
               arg == "--stray" || arg == "--swap-digits") {
      if (!takeValue(v))
        return false;
      SimFaults &f = o.faults;
      bool ok = false;
      int unused = 0;
      if (arg == "--pause-reply")
        ok = parseFaultWithNumbers(v, f.pauseReply, 2, 0, 600000, &f.pauseAfter, &f.pauseMs);
      else if (arg == "--cut-reply")
        ok = parseFaultWithNumbers(v, f.cutReply, 1, 0, 100000, &f.cutAfter, &unused);
      else if (arg == "--short-read")
        ok = parseFaultWithNumbers(v, f.shortRead, 1, 1, 4096, &f.shortReadBytes, &unused);
      else if (arg == "--swap-digits")
        ok = parseFaultWithNumbers(v, f.swapDigits, 1, 0, 100000, &f.swapFrom, &unused);
      else
        ok = parseFaultWithNumbers(v, f.stray, 1, 1, 4096, &f.strayBytes, &unused);
      if (!ok) {
        error = "Option " + arg + ": '" + v +
                "' is not CMD[:N] followed by the number(s) it needs, for example m7000,600";
        return false;
      }
    } else if (arg == "--noise") {
      long n = 0;
      if (!takeValue(v))
        return false;
      if (!parseLong(v, 0, 4096, n)) {
        error = "Option " + arg + ": '" + v + "' is not a number of bytes from 0 to 4096";
        return false;
      }
      o.faults.noiseBytes = static_cast<int>(n);
    } else if (arg == "--die-after") {
      long n = 0;
      if (!takeValue(v))
        return false;
      if (!parseLong(v, 0, LONG_MAX, n)) {
        error = "Option " + arg + ": '" + v + "' is not a number of bytes";
        return false;
      }
      o.faults.dieAfterBytes = n;
    } else {
      error = "Unknown option '" + arg + "'";
      return false;
    }
  }
  return true;
}
