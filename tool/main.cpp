// SPDX-License-Identifier: MIT
// Entry point of orvexconf: hands the command line to the program driver.
#include "Driver.h"

int main(int argc, char **argv) {
  return runDriver(argc, argv);
}
