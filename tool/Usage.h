// SPDX-License-Identifier: MIT
// Usage: the texts of "-version" and of "-h" beyond the connection-option
// lines that ConnectOptions prints.
#ifndef USAGE_H
#define USAGE_H

#include <cstdio>

/// "orvexconf <version>" and a newline.
void printVersion(FILE *out);
/// The other options, the keyword/value form, where the keywords are
/// listed, and the exit statuses; printed after the connection options.
void printUsage(FILE *out);

#endif
