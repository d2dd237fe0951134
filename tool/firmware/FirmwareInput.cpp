// SPDX-License-Identifier: MIT
// FirmwareInput: one open firmware file, looked at and read through one
// buffer.
#include "FirmwareInput.h"

#include <cctype>
#include <cerrno>
#include <cstring>

FirmwareInput::FirmwareInput(const char *path)
    : myPath(path == nullptr ? "" : path), myFile(fopen(myPath.c_str(), "rb")) {}

bool FirmwareInput::refill() {
  if (myFile == nullptr || failed())
    return false;
  if (myAtEnd)
    return true;
  if (!myBuffer)
    myBuffer.reset(new char[CHUNK]);
  memmove(myBuffer.get(), myBuffer.get() + myPos, myEnd - myPos);
  myEnd -= myPos;
  myPos = 0;
  size_t want = CHUNK - myEnd;
  size_t got = fread(myBuffer.get() + myEnd, 1, want, myFile.get());
  myEnd += got;
  if (got < want) {
    if (ferror(myFile.get())) {
      myError = errno != 0 ? errno : EIO;
      return false;
    }
    myAtEnd = true;
  }
  return true;
}

int FirmwareInput::firstNonBlank() {
  if (myEnd - myPos < CHUNK && !refill())
    return -1;
  for (size_t i = myPos; i < myEnd; i++) {
    unsigned char c = static_cast<unsigned char>(myBuffer[i]);
    if (!isspace(c))
      return c;
  }
  return -1;
}

bool FirmwareInput::nextPiece(size_t maxLength, const char **piece, size_t *length) {
  if (maxLength == 0 || maxLength > CHUNK)
    maxLength = CHUNK;
  if (myEnd - myPos < maxLength && !refill())
    return false;
  if (myPos == myEnd)
    return false;
  const char *start = myBuffer.get() + myPos;
  size_t take = myEnd - myPos < maxLength ? myEnd - myPos : maxLength;
  const void *newline = memchr(start, '\n', take);
  *length = newline ? static_cast<size_t>(static_cast<const char *>(newline) - start) + 1 : take;
  *piece = start;
  myPos += *length;
  return true;
}

size_t FirmwareInput::read(unsigned char *into, size_t count) {
  size_t done = 0;
  // What a look at the first bytes left in the buffer comes first.
  if (myPos < myEnd) {
    done = myEnd - myPos < count ? myEnd - myPos : count;
    memcpy(into, myBuffer.get() + myPos, done);
    myPos += done;
  }
  if (done == count || myFile == nullptr || failed() || (myAtEnd && myPos == myEnd))
    return done;
  size_t got = fread(into + done, 1, count - done, myFile.get());
  done += got;
  if (ferror(myFile.get()))
    myError = errno != 0 ? errno : EIO;
  return done;
}
