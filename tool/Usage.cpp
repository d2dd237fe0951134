// Texts of the version and help options.
#include "Usage.h"

#include "ZyVersion.h"

void printVersion(FILE *out) {
  fprintf(out, "orvexconf %s\n", ZYLA_VERSION);
  fflush(out);
}

void printUsage(FILE *out) {
  fputs("\n"
        "Usage: orvexconf [options] [keyword value ...]\n"
        "\n"
        "Other options (one or two leading dashes, any letter case):\n"
        "  -b, -batchmode              apply the command line, write the FLASH block if\n"
        "                              it changed, save the file, exit\n"
        "  -n, -nointeraction          no controller: edit parameter files only\n"
        "  -s, -saveToFile FILE        save the parameters to FILE (.rop) at the end\n"
        "  -r, -loadFromRop FILE       restore the parameters from FILE (.rop) after\n"
        "  -l, -loadFromFile FILE        the FLASH read\n"
        "  -u, -upload FILE            upload the firmware image FILE (.mot);\n"
        "  -d, -download FILE            a failure ends with status 5\n"
        "  -m, -mot FILE               upload the firmware image FILE (.mot);\n"
        "                                a failure ends with status 4\n"
        "  -restoreBlock FILE          write a rescue image (.blk) of the parameter\n"
        "                                block back to the controller\n"
        "  --check                     with -b: read, apply in memory, list what would\n"
        "                                change; write nothing (status 10 if anything would)\n"
        "  --report FILE               write a JSON report of the run to FILE (- for\n"
        "                                standard output, with -b; the rest then goes to\n"
        "                                standard error)\n"
        "  --list-ports                list the serial ports present (stable\n"
        "                                /dev/serial/by-id/ names, USB adapter) and exit\n"
        "  -version                    print the version and exit\n"
        "  -h, -help, /?               print this help and exit (status 1)\n"
        "With -n, -u FILE or -m FILE only checks the image; nothing is uploaded.\n"
        "\n"
        "Keyword/value pairs after the options set parameters, e.g.\n"
        "  orvexconf -rp /dev/ttyUSB0 -b Name Rover7 HostBaud 4\n"
        "Keywords and their aliases are matched in any letter case. They are listed\n"
        "with descriptions, ranges and units in orvexconf(1) ('man orvexconf') and\n"
        "in share/doc/orvexconf/parameters.md where orvexconf is installed\n"
        "(docs/parameters.md in the source); in the shell, 'v' and 'a' list the\n"
        "current values.\n"
        "\n"
        "Exit statuses:\n"
        "  0    normal end, batch or interactive\n"
        "  1    bad connection option, or help was asked for\n"
        "  2    no connection with the controller\n"
        "  3    reading the FLASH parameter block failed, or (batch mode) the restore\n"
        "       file could not be parsed\n"
        "  4    uploading the -m/-mot image failed\n"
        "  5    uploading the -u/-upload/-d/-download image failed\n"
        "  6    the controller runs firmware other than ORVEX\n"
        "  7    batch mode ended with unprocessed command-line arguments\n"
        "  8    writing the FLASH parameter block failed\n"
        "  9    the save file could not be written\n"
        "  10   --check: parameters would change\n"
        "  128+n  ended by signal n (130 for Ctrl-C)\n",
        out);
  fflush(out);
}
