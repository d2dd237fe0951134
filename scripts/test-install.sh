#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what an operator or integrator gets from an installation: builds
# the install targets in their own build directory, installs into a
# temporary prefix, compiles every installed header alone (as <zyla/...>
# and <orvex/...>), checks that the libraries carry no debug information,
# builds a small program against the installed Zyla with find_package(Zyla)
# and with pkg-config and runs it, builds the example clients the same way
# (first_client against Zyla, orvex_client against liborvex, shared and
# static) and runs them, checks the installed programs (version, help, a
# run whose output is not a terminal has no carriage return), lints the man
# pages, tests the completion, imports the installed Python module with
# PYTHONPATH alone and runs its example, and builds, inspects and lints
# (lintian) the Debian package, the Python module in it.
# With ORVEX_APT_INSTALL=1 (as root) it also installs the package with apt
# and removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${ORVEX_INSTALL_BUILD_DIR:-$src/build-install}
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { echo "=== $* ==="; }

step "build ($build)"
# A release build: what is installed and packaged carries no debug
# information (a small client of the library stays small).
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZY_TESTS=OFF -DZY_BENCH=OFF -DZY_WERROR=ON >/dev/null
cmake --build "$build"

step "install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
version=$(sed -n 's/^constexpr const char ZYLA_VERSION\[\] = "\(.*\)";$/\1/p' "$prefix/include/zyla/ZyVersion.h")
[ -n "$version" ] || fail "no version in the installed ZyVersion.h"
for f in bin/orvexconf bin/orvexsim share/man/man1/orvexconf.1.gz share/man/man1/orvexsim.1.gz \
  share/doc/orvexconf/changelog.gz share/bash-completion/completions/orvexconf \
  include/zyla/ZyRobot.h include/zyla/ZyLog.h include/orvex/Orvex.h include/orvex/ParamSet.h \
  lib/libzylabase.a lib/libzylarobot.a lib/libzyla.a lib/libzyla.so lib/libzyla.so.1 \
  lib/liborvex.a lib/liborvex.so lib/liborvex.so.1 lib/cmake/Zyla/ZylaConfig.cmake \
  lib/cmake/Zyla/ZylaConfigVersion.cmake lib/cmake/Zyla/ZylaTargets.cmake lib/pkgconfig/zyla.pc \
  lib/cmake/Orvex/OrvexConfig.cmake lib/cmake/Orvex/OrvexConfigVersion.cmake \
  lib/cmake/Orvex/OrvexTargets.cmake lib/pkgconfig/orvex.pc; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
# The keyword reference the help names.
cmp -s "$src/docs/parameters.md" "$prefix/share/doc/orvexconf/parameters.md" ||
  fail "not installed: share/doc/orvexconf/parameters.md"
for p in "$src"/params/*.p; do
  [ -e "$p" ] || continue
  cmp -s "$p" "$prefix/share/zyla/params/$(basename "$p")" || fail "not installed: params/$(basename "$p")"
done
echo "installed $(find "$prefix" -type f | wc -l) files, version $version"

[ ! -e "$prefix/include/zyla/ZyConfigInternal.h" ] || fail "an internal header was installed"
# The command-line tool's own parts are not in the library.
for h in Shell.h Driver.h Usage.h; do
  [ ! -e "$prefix/include/orvex/$h" ] || fail "include/orvex/$h was installed"
done

step "every installed header compiles alone"
# The flags pkg-config gives: Zyla's headers also by name (liborvex's
# headers include them so).
for h in "$prefix"/include/zyla/*.h "$prefix"/include/orvex/*.h; do
  package=$(basename "$(dirname "$h")")
  echo "#include <$package/$(basename "$h")>" |
    g++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include" \
      -I"$prefix/include/zyla" -x c++ - ||
    fail "$package/$(basename "$h") does not compile from the install tree"
done
echo "$(ls "$prefix"/include/zyla/*.h "$prefix"/include/orvex/*.h | wc -l) headers"

step "release libraries"
for a in "$prefix"/lib/lib*.a "$prefix"/lib/lib*.so.*.*; do
  if readelf -S "$a" | grep -q '\.debug_info'; then
    fail "$(basename "$a") carries debug information"
  fi
done
# The shared libraries name their version, and liborvex needs libzyla.
for lib in zyla orvex; do
  readelf -d "$prefix/lib/lib$lib.so" | grep -q "SONAME.*\[lib$lib\.so\.1\]" ||
    fail "lib$lib.so has no soname lib$lib.so.1"
done
readelf -d "$prefix/lib/liborvex.so" | grep -q 'NEEDED.*\[libzyla\.so\.1\]' ||
  fail "liborvex.so does not need libzyla.so.1"
ls -l "$prefix"/lib/lib*.a "$prefix"/lib/lib*.so*

step "a program built against the installed library"
mkdir -p "$work/consumer"
cat >"$work/consumer/consumer.cpp" <<'CPP'
#include <zyla/ZyArgumentParser.h>
#include <zyla/ZyRobotPacket.h>
#include <zyla/ZyVersion.h>
#include <cstdio>
int main(int argc, char **argv) {
  ZyArgumentParser parser(&argc, argv);
  bool hello = parser.takeArgument("-hello");
  ZyRobotPacket packet;
  packet.setID(0x20);
  packet.uint16ToBuf(300);
  packet.finishPacket();
  printf("zyla %s hello %d checksum %s\n", ZYLA_VERSION, hello, packet.checksumOk() ? "ok" : "bad");
  return hello && packet.checksumOk() ? 0 : 1;
}
CPP
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Zyla 1.0 REQUIRED)
add_executable(consumer consumer.cpp)
target_link_libraries(consumer PRIVATE Zyla::zyla)
add_executable(consumer_static consumer.cpp)
target_link_libraries(consumer_static PRIVATE Zyla::zyla_static)
add_executable(first_client first_client.cpp)
target_link_libraries(first_client PRIVATE Zyla::zyla)
CMAKE
cp "$src/examples/first_client.cpp" "$work/consumer/"
want="zyla $version hello 1 checksum ok"
cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
for consumer in consumer consumer_static; do
  out=$("$work/consumer/build/$consumer" --hello) || fail "find_package $consumer: $out"
  [ "$out" = "$want" ] || fail "find_package $consumer printed '$out'"
done
if readelf -d "$work/consumer/build/consumer_static" | grep -q 'NEEDED.*libzyla'; then
  fail "a program linked with Zyla::zyla_static needs libzyla.so"
fi
readelf -d "$work/consumer/build/consumer" | grep -q 'NEEDED.*\[libzyla\.so\.1\]' ||
  fail "a program linked with Zyla::zyla does not use libzyla.so.1"
echo "find_package(Zyla), shared and static: $out"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion zyla)" = "$version" ] || fail "pkg-config version"
# The shared libraries of a prefix other than the system's are found the
# way a user of such a prefix finds them.
export LD_LIBRARY_PATH=$prefix/lib
# shellcheck disable=SC2046
g++ -std=c++17 "$work/consumer/consumer.cpp" -o "$work/consumer/pc" $(pkg-config --cflags --libs zyla)
out=$("$work/consumer/pc" -hello) || fail "pkg-config consumer: $out"
[ "$out" = "$want" ] || fail "pkg-config consumer printed '$out'"
echo "pkg-config zyla: $out"
# The old include form still builds.
sed 's|<zyla/\(.*\)>|<\1>|' "$work/consumer/consumer.cpp" >"$work/consumer/old.cpp"
# shellcheck disable=SC2046
g++ -std=c++17 "$work/consumer/old.cpp" -o "$work/consumer/old" $(pkg-config --cflags --libs zyla) ||
  fail "the <Name.h> include form no longer builds"
# shellcheck disable=SC2046
g++ -std=c++17 "$src/examples/first_client.cpp" -o "$work/consumer/first_client_pc" \
  $(pkg-config --cflags --libs zyla) || fail "the example does not build with pkg-config"
ls -l "$work/consumer/build/first_client"

step "the example client against the installed simulator"
"$src/examples/run_example.sh" "$work/consumer/build/first_client" "$prefix/bin/orvexsim" \
  "$prefix/share/zyla" || fail "example client"

step "the liborvex example client, built against the installed package"
mkdir -p "$work/orvex"
cp "$src/examples/orvex_client.cpp" "$work/orvex/"
cat >"$work/orvex/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(orvex_consumer CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Orvex 1.0 REQUIRED)
add_executable(orvex_client orvex_client.cpp)
target_link_libraries(orvex_client PRIVATE Orvex::orvex)
add_executable(orvex_client_static orvex_client.cpp)
target_link_libraries(orvex_client_static PRIVATE Orvex::orvex_static)
CMAKE
cmake -S "$work/orvex" -B "$work/orvex/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null ||
  fail "find_package(Orvex)"
cmake --build "$work/orvex/build" >/dev/null || fail "the liborvex example does not build"
readelf -d "$work/orvex/build/orvex_client" | grep -q 'NEEDED.*\[liborvex\.so\.1\]' ||
  fail "a program linked with Orvex::orvex does not use liborvex.so.1"
if readelf -d "$work/orvex/build/orvex_client_static" | grep -q 'NEEDED.*lib\(orvex\|zyla\)'; then
  fail "a program linked with Orvex::orvex_static needs a shared library of the project"
fi
[ "$(pkg-config --modversion orvex)" = "$version" ] || fail "pkg-config orvex version"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror "$src/examples/orvex_client.cpp" -o "$work/orvex/orvex_client_pc" \
  $(pkg-config --cflags --libs orvex) || fail "the liborvex example does not build with pkg-config"
for client in build/orvex_client build/orvex_client_static orvex_client_pc; do
  "$src/examples/run_orvex_example.sh" "$work/orvex/$client" "$prefix/bin/orvexconf" \
    "$src/params" >"$work/orvex/run.out" || fail "$client: $(cat "$work/orvex/run.out")"
done
tail -n 1 "$work/orvex/run.out"

step "the Python module, installed under the prefix"
pydir=$prefix/lib/python3/dist-packages
ls "$pydir"/orvex/_orvex.*.so "$pydir"/orvex/__init__.py "$pydir"/orvex/_orvex.pyi \
  "$pydir"/orvex/py.typed >/dev/null || fail "the Python module is not installed in $pydir"
# Found through PYTHONPATH alone: the module finds liborvex from its own
# place, without LD_LIBRARY_PATH.
out=$(cd "$work" && env -u LD_LIBRARY_PATH PYTHONPATH="$pydir" /usr/bin/python3 -c \
  'import orvex; print(orvex.__version__, orvex.__file__)') || fail "import orvex: $out"
[ "$out" = "$version $pydir/orvex/__init__.py" ] || fail "import orvex gave '$out'"
if readelf -d "$pydir"/orvex/_orvex.*.so | grep -q 'NEEDED.*libpython'; then
  fail "the Python module links libpython"
fi
env -u LD_LIBRARY_PATH PYTHONPATH="$pydir" "$src/examples/run_orvex_example.sh" \
  "$src/examples/orvex_example.py" "$prefix/bin/orvexconf" "$src/params" >"$work/py.out" ||
  fail "the Python example: $(cat "$work/py.out")"
tail -n 1 "$work/py.out"

step "installed programs"
bin=$prefix/bin
out=$("$bin/orvexconf" --version) || fail "--version status $?"
[ "$out" = "orvexconf $version" ] || fail "--version printed '$out'"
status=0
out=$("$bin/orvexconf" -h) || status=$?
[ $status -eq 1 ] || fail "-h ended with status $status"
[ "$(printf '%s\n' "$out" | head -n 5)" = "Options for connecting (see docs for more details):
-robotPort <robotSerialPort>
-rp <robotSerialPort>
-robotBaud <baud>
-rb <baud>" ] || fail "-h does not begin with the five connection-option lines"
grep -q '^Exit statuses:' <<<"$out" || fail "-h has no exit statuses"
echo "version and help: ok"
# A run against the simulator with standard output in a file: the FLASH
# write shows its progress without carriage returns.
"$bin/orvexsim" --link "$work/robot" --state "$work/robot.mem" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$work/robot" ] && break; sleep 0.1; done
[ -e "$work/robot" ] || fail "orvexsim did not start: $(cat "$work/sim.out")"
status=0
(cd "$work" && XDG_STATE_HOME="$work/state" timeout 120 "$bin/orvexconf" -rp "$work/robot" -b \
  Name Piped7 >"$work/run.out" 2>&1) || status=$?
[ $status -eq 0 ] || fail "batch run against orvexsim ended with $status: $(cat "$work/run.out")"
grep -q 'Writing 0x7000 to 0x8000' "$work/run.out" || fail "no progress line: $(cat "$work/run.out")"
if grep -q $'\r' "$work/run.out"; then
  fail "a run whose output is not a terminal printed carriage returns: $(od -c "$work/run.out" | head)"
fi
echo "non-terminal run: no carriage return"
# The write left a backup of the old block, in the controller's folder
# with its index line, and a journal, in the state folder it was given.
ls "$work"/state/orvexconf/backups/SIM-2024-0042/*.blk >/dev/null 2>&1 &&
  grep -q '"name":"simbot","port"' "$work"/state/orvexconf/backups/SIM-2024-0042/index.jsonl ||
  fail "no backup of the parameter block with its index line in $work/state/orvexconf"
grep -q '"outcome":"verified"' "$work/state/orvexconf/journal.jsonl" ||
  fail "no verified write in the journal"
echo "backup store: backup and journal written"

step "man pages and completion"
"$src/tests/tool/man_lint.sh" "$prefix/share/man/man1/orvexconf.1.gz" \
  "$prefix/share/man/man1/orvexsim.1.gz"
bash "$src/tests/tool/completion_test.sh" "$prefix/share/bash-completion/completions/orvexconf"

step "Debian package"
rm -f "$build"/orvexconf_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$build"/orvexconf_"$version"_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
fields=$(dpkg-deb --field "$deb" Package Version Maintainer Depends Description)
for f in "Package: orvexconf" "Version: $version" "Maintainer: " "Depends: .*libc6" "Description: "; do
  grep -q "^$f" <<<"$fields" || fail "package field missing: $f"
done
contents=$(dpkg-deb --contents "$deb")
for f in ./usr/bin/orvexconf ./usr/bin/orvexsim ./usr/share/man/man1/orvexconf.1.gz \
  ./usr/share/bash-completion/completions/orvexconf ./usr/include/zyla/ZyRobot.h \
  ./usr/lib/cmake/Zyla/ZylaConfig.cmake ./usr/lib/pkgconfig/zyla.pc ./usr/include/orvex/Orvex.h \
  ./usr/lib/liborvex.so.1.0.0 ./usr/lib/libzyla.so.1.0.0 ./usr/lib/liborvex.a \
  ./usr/lib/cmake/Orvex/OrvexConfig.cmake ./usr/lib/pkgconfig/orvex.pc \
  ./usr/share/doc/orvexconf/changelog.gz ./usr/lib/python3/dist-packages/orvex/__init__.py; do
  grep -q " $f\$" <<<"$contents" || fail "package lacks $f"
done
grep -q " ./usr/share/doc/orvexconf/parameters.md\$" <<<"$contents" ||
  fail "package lacks ./usr/share/doc/orvexconf/parameters.md"
grep -q " ./usr/share/doc/orvexconf/copyright\$" <<<"$contents" ||
  fail "package lacks its copyright file ./usr/share/doc/orvexconf/copyright"
grep -q " ./usr/lib/python3/dist-packages/orvex/_orvex\.cpython-.*\.so\$" <<<"$contents" ||
  fail "package lacks the Python module's compiled part"
grep -q "^python3 (>= " <<<"$(dpkg-deb --field "$deb" Suggests)" ||
  fail "package does not suggest the python3 its module is for"
dpkg-deb -x "$deb" "$work/unpacked"
out=$(cd "$work" && PYTHONPATH="$work/unpacked/usr/lib/python3/dist-packages" \
  LD_LIBRARY_PATH="$work/unpacked/usr/lib" /usr/bin/python3 -c 'import orvex; print(orvex.__version__)') ||
  fail "the packaged Python module: $out"
[ "$out" = "$version" ] || fail "the packaged Python module gave '$out'"
[ "$("$work/unpacked/usr/bin/orvexconf" --version)" = "orvexconf $version" ] || fail "packaged orvexconf"
# Debian's own checks: any error fails (warnings are shown).
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.out" 2>&1 ||
  { cat "$work/lintian.out"; fail "lintian finds errors in $(basename "$deb")"; }
cat "$work/lintian.out"
echo "lintian: no error, $(grep -c '^W: ' "$work/lintian.out") warnings"
echo "package: $(basename "$deb") ok"
if [ "${ORVEX_APT_INSTALL:-0}" = 1 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" </dev/null
  [ "$(orvexconf --version)" = "orvexconf $version" ] || fail "apt-installed orvexconf"
  man -w orvexconf >/dev/null || fail "apt-installed man page"
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -q orvexconf </dev/null
fi
echo "install checks passed"
