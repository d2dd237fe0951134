// The program driver: owns the whole run of orvexconf from start-up to the
// exit status.
#ifndef DRIVER_H
#define DRIVER_H

/// Exit statuses of a run.
enum ExitStatus {
  EXIT_OK = 0,
  EXIT_OPTIONS = 1,
  EXIT_NO_CONNECTION = 2,
  EXIT_FLASH_READ = 3,
  EXIT_IMAGE_UPLOAD = 4,
  EXIT_UPLOAD = 5,
  EXIT_WRONG_FIRMWARE = 6,
  EXIT_BAD_ARGUMENTS = 7,
  EXIT_FLASH_WRITE = 8,
  EXIT_SAVE_FAILED = 9
};

/// Runs the utility; ends the process with its exit status.
int runDriver(int argc, char **argv);

#endif
