// SPDX-License-Identifier: MIT
// libFuzzer target for the port list's reading of sysfs and /dev: the input
// describes a small tree, one entry a line ("d PATH" a folder, "f PATH=TEXT"
// a file, "l PATH=TARGET" a symbolic link to TARGET, paths under the tree's
// root), which is built in a private temporary folder and listed with its
// dev/ and sys/ as the roots. Listing never throws, never leaves the tree,
// and gives ports sorted by device, each a node under dev/ with its by-id
// name (if any) under dev/serial/by-id/.
#include "PortList.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const size_t MAX_ENTRIES = 64;
const size_t MAX_PATH = 160;

/// A path from the input that stays under the root: relative, no "..",
/// not empty, not too long. Links are made to absolute targets under the
/// root without "..", so that resolving them cannot leave it either.
bool insideRoot(const std::string &path) {
  if (path.empty() || path.size() > MAX_PATH || path[0] == '/')
    return false;
  for (const fs::path &part : fs::path(path))
    if (part == "..")
      return false;
  return path.find('\0') == std::string::npos;
}

void buildEntry(const fs::path &root, const std::string &line) {
  if (line.size() < 3 || line[1] != ' ')
    return;
  std::string rest = line.substr(2);
  std::string value;
  size_t equals = rest.find('=');
  if (equals != std::string::npos) {
    value = rest.substr(equals + 1);
    rest.erase(equals);
  }
  if (!insideRoot(rest))
    return;
  fs::path path = root / rest;
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  switch (line[0]) {
  case 'd':
    fs::create_directories(path, error);
    break;
  case 'f': {
    std::ofstream file(path, std::ios::binary);
    file << value << '\n';
    break;
  }
  case 'l':
    if (insideRoot(value))
      fs::create_symlink(root / value, path, error);
    break;
  default:
    break;
  }
}

bool startsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The private folder goes when the fuzzer exits.
  struct Folder {
    fs::path root;
    ~Folder() {
      std::error_code error;
      if (!root.empty())
        fs::remove_all(root.parent_path(), error);
    }
  };
  static Folder folder = [] {
    char name[] = "/tmp/fuzz_port_list.XXXXXX";
    const char *made = mkdtemp(name);
    return Folder{made != nullptr ? fs::path(made) / "t" : fs::path()};
  }();
  const fs::path &root = folder.root;
  if (root.empty())
    return 0;
  std::error_code error;
  fs::remove_all(root, error);
  fs::create_directory(root, error);

  std::string input(reinterpret_cast<const char *>(data), size);
  size_t entries = 0;
  for (size_t start = 0; start < input.size() && entries < MAX_ENTRIES; entries++) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos)
      end = input.size();
    buildEntry(root, input.substr(start, end - start));
    start = end + 1;
  }

  std::string devRoot = (root / "dev").string();
  std::vector<SerialPortInfo> ports = listSerialPorts(devRoot, (root / "sys").string());
  for (size_t i = 0; i < ports.size(); i++) {
    const SerialPortInfo &port = ports[i];
    if (!startsWith(port.device, devRoot + "/"))
      abort();
    if (i > 0 && ports[i - 1].device > port.device)
      abort();
    if (!port.byId.empty() && !startsWith(port.byId, devRoot + "/serial/by-id/"))
      abort();
    if (!startsWith(serialPortLine(port), port.device))
      abort();
  }
  return 0;
}
