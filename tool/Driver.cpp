// Program driver: start-up, options, the run and its exit status.
#include "Driver.h"

int runDriver(int, char **) {
  return EXIT_OK;
}
