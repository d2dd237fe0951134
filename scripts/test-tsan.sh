#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the library and its threaded tests with ThreadSanitizer (preset
# tsan, build directory build-tsan) and runs them: threads, signals,
# critical sections, robot connection and robot cycle, the log's collectors
# and the operations for programs called from several threads. A data
# race, a lock order inversion or a use of a destroyed mutex fails the run.
set -eu
cd "$(dirname "$0")/.."
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan "$@"
