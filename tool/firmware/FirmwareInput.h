// SPDX-License-Identifier: MIT
// FirmwareInput: a firmware file opened once, for both the choice of its
// reader (a look at its first non-blank byte) and the read itself: line
// pieces for the text formats, plain bytes for raw binary. Closes the file
// when it goes.
#ifndef FIRMWAREINPUT_H
#define FIRMWAREINPUT_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

class FirmwareInput {
public:
  /// Bytes read from the file at a time, and the most looked at for the
  /// first non-blank byte.
  static const size_t CHUNK = 64 * 1024;

  /// Opens path (nullptr counts as "") for reading; see isOpen.
  explicit FirmwareInput(const char *path);
  FirmwareInput(const FirmwareInput &) = delete;
  FirmwareInput &operator=(const FirmwareInput &) = delete;

  const char *path() const { return myPath.c_str(); }
  /// The file could be opened.
  bool isOpen() const { return myFile != nullptr; }

  /// The first byte that is not white space among the first CHUNK bytes,
  /// or -1 (none, or the file cannot be read). Consumes nothing: the read
  /// that follows starts at the first byte.
  int firstNonBlank();
  /// The next piece of the file: up to and including a line feed, at most
  /// maxLength (1 to CHUNK) bytes. The piece stays valid until the next
  /// call. False at the end of the file or when a read failed (failed()).
  bool nextPiece(size_t maxLength, const char **piece, size_t *length);
  /// Reads up to count bytes into into; fewer only at the end of the file
  /// or when a read failed (failed()).
  size_t read(unsigned char *into, size_t count);

  /// A read of the file failed; error() is its errno.
  bool failed() const { return myError != 0; }
  int error() const { return myError; }

private:
  struct Closer {
    void operator()(FILE *file) const { fclose(file); }
  };
  /// Moves what is left to the front of the buffer and reads more behind
  /// it, unless the end of the file was seen. False when the read failed.
  bool refill();

  std::string myPath;
  std::unique_ptr<FILE, Closer> myFile;
  std::unique_ptr<char[]> myBuffer; // CHUNK bytes, made at the first refill
  size_t myPos = 0;
  size_t myEnd = 0;
  bool myAtEnd = false;
  int myError = 0;
};

#endif
