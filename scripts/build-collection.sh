#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Ansible collection in contrib/ansible (orvexconf.fleet) into an
# installable archive, orvexconf-fleet-VERSION.tar.gz, in the folder given
# (default build/collection), and prints the archive's path. Install it on
# the control machine with "ansible-galaxy collection install ARCHIVE".
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/collection}"
if ! command -v ansible-galaxy >/dev/null; then
  echo "build-collection.sh: ansible-galaxy not found: install ansible-core (apt-get install ansible-core)." >&2
  exit 1
fi
mkdir -p "$out"
# The collection's version follows the tool's.
tool_version=$(sed -n 's/^project(orvexconf VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
collection_version=$(sed -n 's/^version: *//p' contrib/ansible/galaxy.yml)
if [ "$tool_version" != "$collection_version" ]; then
  echo "build-collection.sh: contrib/ansible/galaxy.yml says version $collection_version, the tool is $tool_version: make them the same." >&2
  exit 1
fi
ansible-galaxy collection build contrib/ansible --output-path "$out" --force >&2
echo "$out/orvexconf-fleet-$collection_version.tar.gz"
