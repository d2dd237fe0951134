// SPDX-License-Identifier: MIT
// paramdoc: writes the keyword reference made from the parameter tables.
//   paramdoc markdown|roff|keywords            to standard output
//   paramdoc markdown|roff|keywords IN OUT     copies IN to OUT with the line
//                                              "@PARAMETER_REFERENCE@" replaced
// The build uses it for docs/parameters.md, the man page and the shell
// completion.
#include "ParamReference.h"

#include <cstring>
#include <string>

namespace {
using Writer = void (*)(FILE *);

bool copyWithReference(const char *in, const char *out, Writer write) {
  FILE *source = fopen(in, "r");
  if (source == nullptr) {
    fprintf(stderr, "paramdoc: cannot read '%s'\n", in);
    return false;
  }
  FILE *target = fopen(out, "w");
  if (target == nullptr) {
    fprintf(stderr, "paramdoc: cannot write '%s'\n", out);
    fclose(source);
    return false;
  }
  char line[4096];
  bool replaced = false;
  while (fgets(line, sizeof line, source) != nullptr) {
    if (strcmp(line, "@PARAMETER_REFERENCE@\n") == 0) {
      write(target);
      replaced = true;
    } else {
      fputs(line, target);
    }
  }
  bool ok = !ferror(source) && replaced;
  if (!replaced)
    fprintf(stderr, "paramdoc: '%s' has no line @PARAMETER_REFERENCE@\n", in);
  fclose(source);
  if (fclose(target) != 0)
    ok = false;
  return ok;
}
} // namespace

int main(int argc, char **argv) {
  Writer write = nullptr;
  if (argc > 1 && strcmp(argv[1], "markdown") == 0)
    write = writeMarkdownReference;
  else if (argc > 1 && strcmp(argv[1], "roff") == 0)
    write = writeRoffReference;
  else if (argc > 1 && strcmp(argv[1], "keywords") == 0)
    write = writeKeywordList;
  if (write == nullptr || (argc != 2 && argc != 4)) {
    fprintf(stderr, "usage: paramdoc markdown|roff|keywords [TEMPLATE OUTPUT]\n");
    return 2;
  }
  if (argc == 2) {
    write(stdout);
    return fflush(stdout) == 0 ? 0 : 1;
  }
  return copyWithReference(argv[2], argv[3], write) ? 0 : 1;
}
