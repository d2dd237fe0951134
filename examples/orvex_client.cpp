// SPDX-License-Identifier: MIT
// A client of liborvex, orvexconf's operations for programs: loads a
// parameter file, changes one parameter, saves the result, and inspects a
// firmware image, all without a controller. Build it against the installed
// library (find_package(Orvex) and the target Orvex::orvex, or pkg-config
// orvex) and run it:
//   orvex_client rover7.rop HostBaud 4 rover7-fast.rop firmware.mot
// Nothing is printed by the library itself: what goes wrong comes back as
// a value, with the exit status orvexconf would end with.
#include <orvex/Orvex.h>

#include <cstdio>

namespace {
/// Tells what failed and gives the status to end with.
int failed(const char *what, const orvex::Outcome &outcome) {
  fprintf(stderr, "orvex_client: %s failed (%s, status %d):\n%s", what,
          orvex::statusName(outcome.status), outcome.code(), outcome.message.c_str());
  if (!outcome.file.empty() && outcome.line > 0)
    fprintf(stderr, "  at %s line %d\n", outcome.file.c_str(), outcome.line);
  return outcome.code();
}
} // namespace

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: orvex_client PARAMS.rop KEYWORD VALUE SAVED.rop FIRMWARE\n");
    return 1;
  }
  const char *keyword = argv[2];

  orvex::Result<orvex::Parameters> loaded = orvex::loadParameters(argv[1]);
  if (!loaded.ok())
    return failed("loading the parameters", loaded);
  orvex::Parameters parameters = loaded.value;
  printf("Loaded '%s' (%s): %s is '%s'.\n", parameters.source().c_str(),
         parameters.format().c_str(), keyword, parameters.get(keyword).c_str());

  orvex::Outcome set = parameters.set(keyword, argv[3]);
  if (!set.ok())
    return failed("changing the parameter", set);
  for (const orvex::Change &change : loaded.value.changesTo(parameters))
    printf("Changed %s\n", change.line.c_str());

  orvex::Outcome saved = orvex::saveParameters(parameters, argv[4]);
  if (!saved.ok())
    return failed("saving the parameters", saved);
  printf("Saved '%s'.\n", argv[4]);

  orvex::Result<orvex::ImageInfo> image = orvex::inspectImage(argv[5]);
  if (!image.ok())
    return failed("inspecting the firmware image", image);
  printf("Firmware '%s': %s,", image.value.file.c_str(), image.value.format.c_str());
  for (const orvex::AddressRange &range : image.value.ranges)
    printf(" 0x%lx-0x%lx", range.first, range.end - 1);
  printf(", %zu block(s) to write\n", image.value.blocks.size());
  printf("SHA-256 of the bytes to write: %s\n", image.value.sha256.c_str());
  return 0;
}
