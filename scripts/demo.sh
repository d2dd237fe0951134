#!/usr/bin/env bash
# Builds orvexconf and runs its main job on the built-in default.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target orvexconf
build/bin/orvexconf -n -b
