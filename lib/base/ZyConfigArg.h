// SPDX-License-Identifier: MIT
// ZyConfigArg: one named, typed parameter of a configuration registry. It
// points at a variable of its owner (or owns one), carries a description,
// bounds and a priority, and sets the variable from text values with range
// and length checks.
#ifndef ZYCONFIGARG_H
#define ZYCONFIGARG_H

#include "ZyFunctor.h"

#include <climits>
#include <cmath>
#include <cstddef>
#include <list>
#include <string>

class ZyArgumentBuilder;

class ZyConfigArg {
public:
  enum Type {
    INVALID = 0,            ///< not set up
    INT = 1,                ///< integer variable of one of the IntType widths
    DOUBLE = 2,             ///< floating-point variable
    STRING = 3,             ///< fixed character buffer, or own text
    BOOL = 4,               ///< bool variable
    FUNCTOR = 5,            ///< values set and listed through callbacks
    DESCRIPTION_HOLDER = 6, ///< a comment in a section; no name, no value
    SAVED_LINE = 7,         ///< a file line that matched nothing, written back whole
    LAST_TYPE = SAVED_LINE
  };

  enum IntType {
    INT_NOT = 0,            ///< not an integer parameter
    INT_INT = 1,            ///< 32-bit signed
    INT_SHORT = 2,          ///< 16-bit signed
    INT_UNSIGNED_SHORT = 3, ///< 16-bit unsigned
    INT_UNSIGNED_CHAR = 4   ///< 8-bit unsigned
  };

  enum Priority { IMPORTANT = 0, NORMAL = 1, DETAILED = 2, LAST_PRIORITY = DETAILED };

  typedef ZyRetFunctor1<bool, ZyArgumentBuilder *> SetFunctor;
  typedef ZyRetFunctor<const std::list<ZyArgumentBuilder *> *> GetFunctor;

  /// An invalid argument.
  ZyConfigArg();
  /// Integer parameters bound to a variable of the given width. Text held in
  /// unsigned char storage must be passed as char * to make a text
  /// parameter; an unsigned char * makes an 8-bit integer parameter.
  ZyConfigArg(const char *name, int *pointer, const char *description = "", int minInt = INT_MIN,
              int maxInt = INT_MAX);
  ZyConfigArg(const char *name, short *pointer, const char *description = "", int minInt = INT_MIN,
              int maxInt = INT_MAX);
  ZyConfigArg(const char *name, unsigned short *pointer, const char *description = "",
              int minInt = INT_MIN, int maxInt = INT_MAX);
  ZyConfigArg(const char *name, unsigned char *pointer, const char *description = "",
              int minInt = INT_MIN, int maxInt = INT_MAX);
  ZyConfigArg(const char *name, double *pointer, const char *description = "",
              double minDouble = -HUGE_VAL, double maxDouble = HUGE_VAL);
  ZyConfigArg(const char *name, bool *pointer, const char *description = "");
  /// Parameters that own their variable, initialised with the value.
  ZyConfigArg(const char *name, int val, const char *description = "", int minInt = INT_MIN,
              int maxInt = INT_MAX);
  ZyConfigArg(const char *name, double val, const char *description = "",
              double minDouble = -HUGE_VAL, double maxDouble = HUGE_VAL);
  ZyConfigArg(const char *name, bool val, const char *description = "");
  /// Text parameter over a buffer of maxStrLen bytes (terminator included).
  /// With maxStrLen 0 the argument keeps its own text, initialised from
  /// str, with no length limit.
  ZyConfigArg(const char *name, char *str, const char *description, size_t maxStrLen);
  /// Functor parameter: one set call per file line, values listed by get.
  ZyConfigArg(const char *name, SetFunctor *setFunctor, GetFunctor *getFunctor,
              const char *description);
  /// DESCRIPTION_HOLDER (the text is the description) or SAVED_LINE (the
  /// text is the name); any other type leaves the argument invalid.
  ZyConfigArg(const char *str, Type type);

  ZyConfigArg(const ZyConfigArg &other);
  ZyConfigArg &operator=(const ZyConfigArg &other);
  virtual ~ZyConfigArg() = default;

  Type getType() const { return myType; }
  IntType getIntType() const { return myIntType; }
  const char *getName() const { return myName.c_str(); }
  const char *getDescription() const { return myDescription.c_str(); }
  bool getOwnsValue() const { return myOwnsValue; }
  int getMinInt() const { return myMinInt; }
  int getMaxInt() const { return myMaxInt; }
  double getMinDouble() const { return myMinDouble; }
  double getMaxDouble() const { return myMaxDouble; }
  size_t getMaxStrLen() const { return myMaxStrLen; }
  /// Longest text a fixed buffer takes: maxStrLen less its terminator, or
  /// maxStrLen itself for a field a text may fill (see setTextMayFill).
  size_t getMaxTextLength() const;
  bool getTextMayFill() const { return myTextMayFill; }
  /// A fixed buffer that is a field of its own width, where a text that
  /// fills all maxStrLen bytes stands without a terminator: setString then
  /// takes texts of up to maxStrLen characters.
  void setTextMayFill(bool mayFill) { myTextMayFill = mayFill; }
  Priority getPriority() const { return myPriority; }
  bool getIgnoreBounds() const { return myIgnoreBounds; }
  bool getUsesOwnString() const { return myUsingOwnString; }

  /// Value of an integer parameter of any width (16-bit signed values
  /// sign-extended, unsigned ones zero-extended); 0 without a variable.
  int getInt() const;
  double getDouble() const;
  bool getBool() const;
  /// The text of a string parameter. A fixed buffer that its owner filled
  /// completely carries no terminator: use getStringValue for a bounded copy.
  const char *getString() const;
  /// The text of a string parameter, never read beyond the buffer's size.
  std::string getStringValue() const;
  /// The builders listed by the get callback, or nullptr.
  const std::list<ZyArgumentBuilder *> *getArgsWithFunctor() const;

  /// Setters: range or length checks, then store unless doNotSet. False on
  /// a failed check (the variable is unchanged); the error text goes to
  /// errorBuffer when one is given. setString zero-fills a fixed buffer
  /// after the text.
  bool setInt(int val, char *errorBuffer = nullptr, size_t errorBufferLen = 0,
              bool doNotSet = false);
  bool setDouble(double val, char *errorBuffer = nullptr, size_t errorBufferLen = 0,
                 bool doNotSet = false);
  bool setBool(bool val, char *errorBuffer = nullptr, size_t errorBufferLen = 0,
               bool doNotSet = false);
  bool setString(const char *str, char *errorBuffer = nullptr, size_t errorBufferLen = 0,
                 bool doNotSet = false);
  bool setArgWithFunctor(ZyArgumentBuilder *argument, char *errorBuffer = nullptr,
                         size_t errorBufferLen = 0, bool doNotSet = false);

  void setPriority(Priority priority) { myPriority = priority; }
  void setIgnoreBounds(bool ignoreBounds) { myIgnoreBounds = ignoreBounds; }
  void setDescription(const char *description) {
    myDescription = description != nullptr ? description : "";
  }

  /// Logs the parameter at Terse; verbose adds bounds and length.
  void print(bool verbose = true) const;

  /// "Important", "Normal", "Detailed", or "" for any other value.
  static const char *priorityName(int priority);
  /// "invalid", "int", "double", "string", "bool", "functor",
  /// "description_holder", "saved_line", or "unknown".
  static const char *typeName(int type);

private:
  void clearPointers();
  void copyFrom(const ZyConfigArg &other);
  void setNameAndDescription(const char *name, const char *description);

  Type myType = INVALID;
  IntType myIntType = INT_NOT;
  std::string myName;
  std::string myDescription;
  bool myOwnsValue = false;

  int *myIntPointer = nullptr;
  short *myShortPointer = nullptr;
  unsigned short *myUnsignedShortPointer = nullptr;
  unsigned char *myUnsignedCharPointer = nullptr;
  double *myDoublePointer = nullptr;
  bool *myBoolPointer = nullptr;
  char *myStringPointer = nullptr;

  // Storage of the by-value constructors (owns value).
  int myOwnInt = 0;
  double myOwnDouble = 0;
  bool myOwnBool = false;

  int myMinInt = INT_MIN;
  int myMaxInt = INT_MAX;
  double myMinDouble = -HUGE_VAL;
  double myMaxDouble = HUGE_VAL;
  size_t myMaxStrLen = 0;
  bool myTextMayFill = false;
  bool myUsingOwnString = false;
  std::string myOwnString;

  SetFunctor *mySetFunctor = nullptr;
  GetFunctor *myGetFunctor = nullptr;

  Priority myPriority = NORMAL;
  bool myIgnoreBounds = false;
};

#endif
