// SPDX-License-Identifier: MIT
// ZyArgumentParser: finds options by name (one or two leading dashes, any
// letter case) in a command line or an argument builder, takes their values
// with type checks, and removes what it handled. Also merges default
// argument sources (an environment variable, an argument file).
#ifndef ZYARGUMENTPARSER_H
#define ZYARGUMENTPARSER_H

#include <cstddef>

class ZyArgumentBuilder;

class ZyArgumentParser {
public:
  /// Works directly on the caller's argc/argv (argc changes in place).
  ZyArgumentParser(int *argc, char **argv);
  /// Works on the builder (not owned).
  explicit ZyArgumentParser(ZyArgumentBuilder *builder);
  ~ZyArgumentParser();

  /// Finds a bare option (name formatted printf-style) and removes it.
  bool takeArgument(const char *format, ...) __attribute__((format(printf, 2, 3)));
  /// Finds an option and its value, removes both; nullptr when absent, ""
  /// when the option stood last. Every occurrence is removed and the last
  /// value wins, unless returnFirst.
  const char *takeParameterArgument(const char *argument, bool returnFirst);
  const char *takeParameterArgumentFormatted(const char *format, ...)
      __attribute__((format(printf, 2, 3)));

  bool takeParameterArgumentString(const char *argument, const char **dest, bool *wasReallySet,
                                   bool returnFirst = false);
  bool takeParameterArgumentBool(const char *argument, bool *dest, bool *wasReallySet,
                                 bool returnFirst = false);
  bool takeParameterArgumentInteger(const char *argument, int *dest, bool *wasReallySet,
                                    bool returnFirst = false);
  /// The typed forms with the name formatted printf-style (returnFirst is
  /// false); the format comes last so no call can bind to the wrong form.
  bool takeParameterArgumentStringFormatted(const char **dest, bool *wasReallySet,
                                            const char *format, ...)
      __attribute__((format(printf, 4, 5)));
  bool takeParameterArgumentBoolFormatted(bool *dest, bool *wasReallySet, const char *format, ...)
      __attribute__((format(printf, 4, 5)));
  bool takeParameterArgumentIntegerFormatted(int *dest, bool *wasReallySet, const char *format, ...)
      __attribute__((format(printf, 4, 5)));

  size_t getArgc() const;
  char **getArgv() const;
  const char *getArg(size_t index) const;
  void removeArg(size_t which);
  void log() const;

  static void addDefaultSourceFile(const char *fileName);
  static void addDefaultSourceEnv(const char *envName);
  /// Merges the registered sources into the list at position (moves a
  /// parser over argc/argv onto its own builder first).
  void loadDefaultSources(int position = 1);
  static void logDefaultSources();
  /// Removes all registered default sources (for tests).
  static void clearDefaultSources();

  /// Help test and report of unhandled arguments; false when help wanted.
  bool checkHelpAndUnhandled(int numArgsOkay = 0);

  /// Size of the buffers for formatted option names and report lines.
  static const size_t BUFFER_SIZE = 2048;

  ZyArgumentParser(const ZyArgumentParser &) = delete;
  ZyArgumentParser &operator=(const ZyArgumentParser &) = delete;

private:
  /// Index of the first argument matching the name, or -1.
  long findArgument(const char *name) const;

  bool myOwnBuilder = false;
  ZyArgumentBuilder *myBuilder = nullptr;
  bool myUsingBuilder = false;
  char **myArgv = nullptr;
  int *myArgc = nullptr;
  char myEmptyArg[1] = {'\0'};
};

#endif
