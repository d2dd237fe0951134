#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what a fresh Debian machine lacks to build and test the project.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v objcopy >/dev/null || need+=(binutils)
command -v srec_cat >/dev/null || need+=(srecord)
command -v clang-format >/dev/null || need+=(clang-format)
# Installation checks (scripts/test-install.sh): package tools, man lint,
# Debian's package checker.
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v lintian >/dev/null || need+=(lintian)
command -v file >/dev/null || need+=(file)
command -v groff >/dev/null || need+=(groff-base)
command -v man >/dev/null || need+=(man-db)
command -v pkg-config >/dev/null || need+=(pkgconf)
# SHA-256 of the parameter block backups and of firmware images (OpenSSL's
# libcrypto); JSON of the write journal.
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
# Parameter exports: YAML (yaml-cpp; JSON is nlohmann-json above).
[ -f /usr/include/yaml-cpp/yaml.h ] || need+=(libyaml-cpp-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
# Line editing and history of the shell on a terminal.
[ -f /usr/include/histedit.h ] || need+=(libedit-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# The run report: JSON, SHA-256, and the schema check of the tests.
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
/usr/bin/python3 -c 'import jsonschema' 2>/dev/null || need+=(python3-jsonschema)
# The Python module orvex: pybind11 and the headers of Debian's Python,
# and pytest for its tests.
[ -f /usr/include/pybind11/pybind11.h ] || need+=(pybind11-dev)
/usr/bin/python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null || need+=(python3-dev)
/usr/bin/python3 -c 'import pytest' 2>/dev/null || need+=(python3-pytest)
# The fuzz targets: clang and its libFuzzer runtime.
command -v clang++ >/dev/null || need+=(clang)
if ! command -v clang >/dev/null ||
  [ ! -f "$(clang -print-resource-dir)/lib/linux/libclang_rt.fuzzer-$(uname -m).a" ]; then
  need+=(libclang-rt-dev)
fi
# The update engines' tests: the Mender client and mender-artifact, and
# SWUpdate (Debian's build, with its Lua handlers and CMS signatures),
# without what they recommend (the Mender client recommends systemd-sysv);
# openssl signs their artifacts, unshare and mount (util-linux) give each
# test a private mount namespace.
command -v openssl >/dev/null || need+=(openssl)
command -v unshare >/dev/null || need+=(util-linux)
# Ports across the network: the tests run the real port servers, ser2net
# (RFC 2217, plain and TLS, certificates made with openssl) and socat (a raw
# TCP bridge).
command -v ser2net >/dev/null || need+=(ser2net)
command -v socat >/dev/null || need+=(socat)
# The Ansible collection's test: ansible-playbook, ansible-galaxy and
# ansible-doc, from ansible-core alone (without the large "ansible" bundle
# of community collections it recommends).
nodeps=()
command -v ansible-playbook >/dev/null || nodeps+=(ansible-core)
command -v mender >/dev/null || nodeps+=(mender-client)
command -v mender-artifact >/dev/null || nodeps+=(mender-artifact)
command -v swupdate >/dev/null || nodeps+=(swupdate)
if [ ${#need[@]} -gt 0 ] || [ ${#nodeps[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "Installing: ${need[*]} ${nodeps[*]}"
  $SUDO apt-get update -q
  if [ ${#need[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}" </dev/null
  fi
  if [ ${#nodeps[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
      "${nodeps[@]}" </dev/null
  fi
fi
