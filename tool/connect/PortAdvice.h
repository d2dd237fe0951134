// SPDX-License-Identifier: MIT
// PortAdvice: what the operator is told when the port cannot be opened at
// all: the port, the reason and what to do about it (the ports present,
// the group to join, the program that holds the port; for a port across
// the network the host and port tried, which end failed and how to mend
// it). The library reports only the kind of failure and its errno or its
// words; the advice, which reads the machine's devices and process table,
// lives here.
#ifndef PORTADVICE_H
#define PORTADVICE_H

#include "ZyNetConnection.h"
#include "ZySerialConnection.h"

#include <string>

/// The explanation of a failed open of port with the library's failure
/// kind and errno value; "" for FAILURE_NONE.
std::string portAdvice(const std::string &port, ZySerialConnection::OpenFailure failure, int error);
/// The explanation of the last failed open of serial.
std::string portAdvice(const ZySerialConnection &serial);
/// The explanation of the last failed open of a port across the network;
/// "" when it did not fail.
std::string netPortAdvice(const ZyNetConnection &net);

#endif
