// SPDX-License-Identifier: MIT
// The abstract byte-stream device: the status texts shared by every device
// connection and the packet-sending operation common to all of them.
#include "ZyDeviceConnection.h"

#include "ZyBasePacket.h"

namespace {
// Indexed by status value; entry 0 is unused. Constant data, so it is ready
// before any connection exists and safe to read from any thread.
const char *const STATUS_TEXTS[] = {nullptr,       "never opened", "open",
                                    "open failed", "closed",       "closed on error"};
} // namespace

ZyDeviceConnection::ZyDeviceConnection() = default;

ZyDeviceConnection::~ZyDeviceConnection() {
  // Only the base close can be reached from here: the derived part is gone.
  ZyDeviceConnection::close();
}

int ZyDeviceConnection::sendPacket(ZyBasePacket *packet) {
  if (packet == nullptr || packet->getLength() == 0)
    return 0;
  return write(packet->getBuf(), packet->getLength());
}

const char *ZyDeviceConnection::statusText(int status) {
  if (status < STATUS_NEVER_OPENED || status > STATUS_CLOSED_ERROR)
    return nullptr;
  return STATUS_TEXTS[status];
}
