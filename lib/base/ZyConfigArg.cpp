// SPDX-License-Identifier: MIT
// Typed configuration parameters: construction over an owner's variable or
// an owned one, reading the value of any integer width, and setters with
// range, width and length checks that report failures by log and by text.
#include "ZyConfigArg.h"

#include "ZyArgumentBuilder.h"
#include "ZyConfigInternal.h"
#include "ZyLog.h"

#include <cstdio>
#include <cstring>

namespace {
using ZyConfigInternal::errorText;

const char *intTypeName(ZyConfigArg::IntType type) {
  switch (type) {
  case ZyConfigArg::INT_NOT:
    return "Not";
  case ZyConfigArg::INT_INT:
    return "Int";
  case ZyConfigArg::INT_SHORT:
    return "Short";
  case ZyConfigArg::INT_UNSIGNED_SHORT:
    return "Unsigned Short";
  case ZyConfigArg::INT_UNSIGNED_CHAR:
    return "Unsigned Char";
  }
  return "Unknown";
}

// Owners may bind values packed at any address of a byte image (a 16-bit
// field at an odd offset): copy bytes instead of dereferencing.
template <class T> T loadValue(const T *pointer) {
  T value;
  memcpy(&value, pointer, sizeof(T));
  return value;
}
template <class T> void storeValue(T *pointer, T value) {
  memcpy(pointer, &value, sizeof(T));
}

// The values a variable of the integer width can hold.
void intWidthRange(ZyConfigArg::IntType type, int *lowest, int *highest) {
  switch (type) {
  case ZyConfigArg::INT_SHORT:
    *lowest = SHRT_MIN;
    *highest = SHRT_MAX;
    break;
  case ZyConfigArg::INT_UNSIGNED_SHORT:
    *lowest = 0;
    *highest = USHRT_MAX;
    break;
  case ZyConfigArg::INT_UNSIGNED_CHAR:
    *lowest = 0;
    *highest = UCHAR_MAX;
    break;
  default:
    *lowest = INT_MIN;
    *highest = INT_MAX;
    break;
  }
}
} // namespace

ZyConfigArg::ZyConfigArg() = default;

void ZyConfigArg::setNameAndDescription(const char *name, const char *description) {
  myName = name != nullptr ? name : "";
  myDescription = description != nullptr ? description : "";
}

ZyConfigArg::ZyConfigArg(const char *name, int *pointer, const char *description, int minInt,
                         int maxInt)
    : myType(INT), myIntType(INT_INT), myIntPointer(pointer), myMinInt(minInt), myMaxInt(maxInt) {
  setNameAndDescription(name, description);
}

ZyConfigArg::ZyConfigArg(const char *name, short *pointer, const char *description, int minInt,
                         int maxInt)
    : myType(INT), myIntType(INT_SHORT), myShortPointer(pointer), myMinInt(minInt),
      myMaxInt(maxInt) {
  setNameAndDescription(name, description);
}

ZyConfigArg::ZyConfigArg(const char *name, unsigned short *pointer, const char *description,
                         int minInt, int maxInt)
    : myType(INT), myIntType(INT_UNSIGNED_SHORT), myUnsignedShortPointer(pointer), myMinInt(minInt),
      myMaxInt(maxInt) {
  setNameAndDescription(name, description);
}

ZyConfigArg::ZyConfigArg(const char *name, unsigned char *pointer, const char *description,
                         int minInt, int maxInt)
    : myType(INT), myIntType(INT_UNSIGNED_CHAR), myUnsignedCharPointer(pointer), myMinInt(minInt),
      myMaxInt(maxInt) {
  setNameAndDescription(name, description);
}

ZyConfigArg::ZyConfigArg(const char *name, double *pointer, const char *description,
                         double minDouble, double maxDouble)
    : myType(DOUBLE), myDoublePointer(pointer), myMinDouble(minDouble), myMaxDouble(maxDouble) {
  setNameAndDescription(name, description);
}

ZyConfigArg::ZyConfigArg(const char *name, bool *pointer, const char *description)
    : myType(BOOL), myBoolPointer(pointer) {
  setNameAndDescription(name, description);
}

ZyConfigArg::ZyConfigArg(const char *name, int val, const char *description, int minInt, int maxInt)
    : myType(INT), myIntType(INT_INT), myOwnsValue(true), myOwnInt(val), myMinInt(minInt),
      myMaxInt(maxInt) {
  setNameAndDescription(name, description);
  myIntPointer = &myOwnInt;
}

ZyConfigArg::ZyConfigArg(const char *name, double val, const char *description, double minDouble,
                         double maxDouble)
    : myType(DOUBLE), myOwnsValue(true), myOwnDouble(val), myMinDouble(minDouble),
      myMaxDouble(maxDouble) {
  setNameAndDescription(name, description);
  myDoublePointer = &myOwnDouble;
}

ZyConfigArg::ZyConfigArg(const char *name, bool val, const char *description)
    : myType(BOOL), myOwnsValue(true), myOwnBool(val) {
  setNameAndDescription(name, description);
  myBoolPointer = &myOwnBool;
}

ZyConfigArg::ZyConfigArg(const char *name, char *str, const char *description, size_t maxStrLen)
    : myType(STRING), myMaxStrLen(maxStrLen) {
  setNameAndDescription(name, description);
  if (maxStrLen == 0) {
    myUsingOwnString = true;
    myOwnString = str != nullptr ? str : "";
  } else {
    myStringPointer = str;
  }
}

ZyConfigArg::ZyConfigArg(const char *name, SetFunctor *setFunctor, GetFunctor *getFunctor,
                         const char *description)
    : myType(FUNCTOR), mySetFunctor(setFunctor), myGetFunctor(getFunctor) {
  setNameAndDescription(name, description);
}

ZyConfigArg::ZyConfigArg(const char *str, Type type) {
  if (type == DESCRIPTION_HOLDER) {
    myType = DESCRIPTION_HOLDER;
    setNameAndDescription("", str);
  } else if (type == SAVED_LINE) {
    myType = SAVED_LINE;
    setNameAndDescription(str, "");
  } else {
    ZyLog::log(ZyLog::Terse, "ZyConfigArg: Bad type %d for '%s'", static_cast<int>(type),
               str != nullptr ? str : "");
  }
}

ZyConfigArg::ZyConfigArg(const ZyConfigArg &other) {
  copyFrom(other);
}

ZyConfigArg &ZyConfigArg::operator=(const ZyConfigArg &other) {
  if (this != &other)
    copyFrom(other);
  return *this;
}

void ZyConfigArg::clearPointers() {
  myIntPointer = nullptr;
  myShortPointer = nullptr;
  myUnsignedShortPointer = nullptr;
  myUnsignedCharPointer = nullptr;
  myDoublePointer = nullptr;
  myBoolPointer = nullptr;
  myStringPointer = nullptr;
}

void ZyConfigArg::copyFrom(const ZyConfigArg &other) {
  myType = other.myType;
  myIntType = other.myIntType;
  myName = other.myName;
  myDescription = other.myDescription;
  myOwnsValue = other.myOwnsValue;
  myIntPointer = other.myIntPointer;
  myShortPointer = other.myShortPointer;
  myUnsignedShortPointer = other.myUnsignedShortPointer;
  myUnsignedCharPointer = other.myUnsignedCharPointer;
  myDoublePointer = other.myDoublePointer;
  myBoolPointer = other.myBoolPointer;
  myStringPointer = other.myStringPointer;
  myOwnInt = other.myOwnInt;
  myOwnDouble = other.myOwnDouble;
  myOwnBool = other.myOwnBool;
  myMinInt = other.myMinInt;
  myMaxInt = other.myMaxInt;
  myMinDouble = other.myMinDouble;
  myMaxDouble = other.myMaxDouble;
  myMaxStrLen = other.myMaxStrLen;
  myTextMayFill = other.myTextMayFill;
  myUsingOwnString = other.myUsingOwnString;
  myOwnString = other.myOwnString;
  mySetFunctor = other.mySetFunctor;
  myGetFunctor = other.myGetFunctor;
  myPriority = other.myPriority;
  myIgnoreBounds = other.myIgnoreBounds;
  // A copy of an argument that owns its variable gets its own variable,
  // holding the value the original has now.
  if (myOwnsValue) {
    clearPointers();
    if (other.myIntPointer != nullptr) {
      myOwnInt = loadValue(other.myIntPointer);
      myIntPointer = &myOwnInt;
    }
    if (other.myDoublePointer != nullptr) {
      myOwnDouble = loadValue(other.myDoublePointer);
      myDoublePointer = &myOwnDouble;
    }
    if (other.myBoolPointer != nullptr) {
      myOwnBool = *other.myBoolPointer;
      myBoolPointer = &myOwnBool;
    }
  }
}

int ZyConfigArg::getInt() const {
  switch (myIntType) {
  case INT_INT:
    return myIntPointer != nullptr ? loadValue(myIntPointer) : 0;
  case INT_SHORT:
    return myShortPointer != nullptr ? loadValue(myShortPointer) : 0;
  case INT_UNSIGNED_SHORT:
    return myUnsignedShortPointer != nullptr ? loadValue(myUnsignedShortPointer) : 0;
  case INT_UNSIGNED_CHAR:
    return myUnsignedCharPointer != nullptr ? *myUnsignedCharPointer : 0;
  case INT_NOT:
    break;
  }
  return 0;
}

double ZyConfigArg::getDouble() const {
  return myDoublePointer != nullptr ? loadValue(myDoublePointer) : 0;
}

bool ZyConfigArg::getBool() const {
  return myBoolPointer != nullptr ? *myBoolPointer : false;
}

const char *ZyConfigArg::getString() const {
  if (myUsingOwnString)
    return myOwnString.c_str();
  return myStringPointer;
}

size_t ZyConfigArg::getMaxTextLength() const {
  if (myTextMayFill || myMaxStrLen == 0)
    return myMaxStrLen;
  return myMaxStrLen - 1;
}

std::string ZyConfigArg::getStringValue() const {
  if (myUsingOwnString)
    return myOwnString;
  if (myStringPointer == nullptr)
    return std::string();
  // The owner may have filled the buffer to its last byte without a
  // terminator; never look past the buffer.
  return std::string(myStringPointer, strnlen(myStringPointer, myMaxStrLen));
}

const std::list<ZyArgumentBuilder *> *ZyConfigArg::getArgsWithFunctor() const {
  if (myGetFunctor == nullptr)
    return nullptr;
  return myGetFunctor->invokeR();
}

bool ZyConfigArg::setInt(int val, char *errorBuffer, size_t errorBufferLen, bool doNotSet) {
  const char *name = getName();
  if (!myIgnoreBounds && val < myMinInt) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setInt value %d below range [%d, %d]", name, val,
               myMinInt, myMaxInt);
    errorText(errorBuffer, errorBufferLen, "%s value of %d is below minimum of %d.", name, val,
              myMinInt);
    return false;
  }
  if (!myIgnoreBounds && val > myMaxInt) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setInt value %d above range [%d, %d]", name, val,
               myMinInt, myMaxInt);
    errorText(errorBuffer, errorBufferLen, "%s value of %d is above maximum of %d.", name, val,
              myMaxInt);
    return false;
  }
  // A value the variable cannot hold is refused even without bounds (or
  // with bounds ignored): storing it would silently keep only its low bits.
  int lowest = INT_MIN;
  int highest = INT_MAX;
  intWidthRange(myIntType, &lowest, &highest);
  if (val < lowest) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setInt value %d below range [%d, %d]", name, val,
               lowest, highest);
    errorText(errorBuffer, errorBufferLen, "%s value of %d is below minimum of %d.", name, val,
              lowest);
    return false;
  }
  if (val > highest) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setInt value %d above range [%d, %d]", name, val,
               lowest, highest);
    errorText(errorBuffer, errorBufferLen, "%s value of %d is above maximum of %d.", name, val,
              highest);
    return false;
  }

  bool haveVariable = false;
  switch (myIntType) {
  case INT_INT:
    haveVariable = myIntPointer != nullptr;
    break;
  case INT_SHORT:
    haveVariable = myShortPointer != nullptr;
    break;
  case INT_UNSIGNED_SHORT:
    haveVariable = myUnsignedShortPointer != nullptr;
    break;
  case INT_UNSIGNED_CHAR:
    haveVariable = myUnsignedCharPointer != nullptr;
    break;
  default:
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: int is bad type.", name);
    errorText(errorBuffer, errorBufferLen, "%s int is bad type (%d).", name,
              static_cast<int>(myIntType));
    return false;
  }
  if (!haveVariable) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setInt called with NULL int pointer.", name);
    errorText(errorBuffer, errorBufferLen, "%s pointer is NULL.", name);
    return false;
  }
  if (doNotSet)
    return true;
  switch (myIntType) {
  case INT_INT:
    storeValue(myIntPointer, val);
    break;
  case INT_SHORT:
    storeValue(myShortPointer, static_cast<short>(val));
    break;
  case INT_UNSIGNED_SHORT:
    storeValue(myUnsignedShortPointer, static_cast<unsigned short>(val));
    break;
  case INT_UNSIGNED_CHAR:
    *myUnsignedCharPointer = static_cast<unsigned char>(val);
    break;
  case INT_NOT:
    break;
  }
  return true;
}

bool ZyConfigArg::setDouble(double val, char *errorBuffer, size_t errorBufferLen, bool doNotSet) {
  const char *name = getName();
  if (!myIgnoreBounds && val < myMinDouble) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setDouble value %g below range [%g, %g]", name,
               val, myMinDouble, myMaxDouble);
    errorText(errorBuffer, errorBufferLen, "%s value of %g is below minimum of %g.", name, val,
              myMinDouble);
    return false;
  }
  // A NaN compares false with every bound; a bounded parameter refuses it
  // rather than storing a value outside any range.
  bool bounded = std::isfinite(myMinDouble) || std::isfinite(myMaxDouble);
  if (!myIgnoreBounds && (val > myMaxDouble || (std::isnan(val) && bounded))) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setDouble value %g above range [%g, %g]", name,
               val, myMinDouble, myMaxDouble);
    errorText(errorBuffer, errorBufferLen, "%s value of %g is above maximum of %g.", name, val,
              myMaxDouble);
    return false;
  }
  if (myDoublePointer == nullptr) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setDouble called with NULL pointer.", name);
    errorText(errorBuffer, errorBufferLen, "%s pointer is NULL.", name);
    return false;
  }
  if (!doNotSet)
    storeValue(myDoublePointer, val);
  return true;
}

bool ZyConfigArg::setBool(bool val, char *errorBuffer, size_t errorBufferLen, bool doNotSet) {
  if (myBoolPointer == nullptr) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setBool called with NULL pointer.", getName());
    errorText(errorBuffer, errorBufferLen, "%s pointer is NULL.", getName());
    return false;
  }
  if (!doNotSet)
    *myBoolPointer = val;
  return true;
}

bool ZyConfigArg::setString(const char *str, char *errorBuffer, size_t errorBufferLen,
                            bool doNotSet) {
  if (str == nullptr)
    str = "";
  if (myUsingOwnString) {
    if (!doNotSet)
      myOwnString = str;
    return true;
  }
  const char *name = getName();
  if (myStringPointer == nullptr) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setString called with NULL pointer.", name);
    errorText(errorBuffer, errorBufferLen, "%s pointer is NULL.", name);
    return false;
  }
  size_t length = strlen(str);
  if (length > getMaxTextLength()) {
    ZyLog::log(ZyLog::Normal,
               "ZyConfigArg of %s: setString called with argument %d long, when max length is %d.",
               name, static_cast<int>(length), static_cast<int>(myMaxStrLen));
    errorText(errorBuffer, errorBufferLen, "%s string is %d long when max length is %d.", name,
              static_cast<int>(length), static_cast<int>(myMaxStrLen));
    return false;
  }
  // The rest of the buffer is zero-filled, so that the same value always
  // leaves the same bytes, whatever the buffer held before.
  if (!doNotSet) {
    memcpy(myStringPointer, str, length);
    memset(myStringPointer + length, 0, myMaxStrLen - length);
  }
  return true;
}

bool ZyConfigArg::setArgWithFunctor(ZyArgumentBuilder *argument, char *errorBuffer,
                                    size_t errorBufferLen, bool doNotSet) {
  if (mySetFunctor == nullptr) {
    ZyLog::log(ZyLog::Normal, "ZyConfigArg of %s: setArgWithFunctor called with NULL pointer.",
               getName());
    errorText(errorBuffer, errorBufferLen, "%s pointer is NULL.", getName());
    return false;
  }
  if (doNotSet)
    return true;
  return mySetFunctor->invokeR(argument);
}

const char *ZyConfigArg::priorityName(int priority) {
  switch (priority) {
  case IMPORTANT:
    return "Important";
  case NORMAL:
    return "Normal";
  case DETAILED:
    return "Detailed";
  default:
    return "";
  }
}

const char *ZyConfigArg::typeName(int type) {
  switch (type) {
  case INVALID:
    return "invalid";
  case INT:
    return "int";
  case DOUBLE:
    return "double";
  case STRING:
    return "string";
  case BOOL:
    return "bool";
  case FUNCTOR:
    return "functor";
  case DESCRIPTION_HOLDER:
    return "description_holder";
  case SAVED_LINE:
    return "saved_line";
  default:
    return "unknown";
  }
}

void ZyConfigArg::print(bool verbose) const {
  const char *name = getName();
  const char *type = typeName(myType);
  switch (myType) {
  case INVALID:
    ZyLog::log(ZyLog::Terse, "\tType: %10s.  This argument was not created properly.", type);
    return;
  case INT:
    ZyLog::log(ZyLog::Terse, "\tType: %10s name: %12s value: %d intType: %s", type, name, getInt(),
               intTypeName(myIntType));
    break;
  case DOUBLE:
    ZyLog::log(ZyLog::Terse, "\tType: %10s name: %12s value: %f", type, name, getDouble());
    break;
  case STRING:
    ZyLog::log(ZyLog::Terse, "\tType: %10s name: %12s value: %s", type, name,
               getStringValue().c_str());
    break;
  case BOOL:
    ZyLog::log(ZyLog::Terse, "\tType: %10s name: %12s value: %d", type, name, getBool() ? 1 : 0);
    break;
  case FUNCTOR: {
    ZyLog::log(ZyLog::Terse, "\tType: %10s name: %12s", type, name);
    ZyLog::log(ZyLog::Terse, "\t\tValues:");
    const std::list<ZyArgumentBuilder *> *values = getArgsWithFunctor();
    if (values != nullptr)
      for (ZyArgumentBuilder *builder : *values)
        if (builder != nullptr)
          ZyLog::log(ZyLog::Terse, "\t\t\t%s", builder->getWholeText());
    break;
  }
  case DESCRIPTION_HOLDER:
    ZyLog::log(ZyLog::Terse, "\tType: %20s Description: %s", type, getDescription());
    return;
  case SAVED_LINE:
    ZyLog::log(ZyLog::Terse, "\tType: %10s name: %12s", type, name);
    return;
  default:
    ZyLog::log(ZyLog::Terse, "\tType: %10s.  This type doesn't have a case in ZyConfigArg::print.",
               "unknown");
    return;
  }
  ZyLog::log(ZyLog::Terse, "\t\tDescription: %s", getDescription());
  if (verbose) {
    if (myType == INT)
      ZyLog::log(ZyLog::Terse, "\t\tMin: %10d     Max: %10d", myMinInt, myMaxInt);
    if (myType == DOUBLE)
      ZyLog::log(ZyLog::Terse, "\t\tMin: %10g     Max: %10g", myMinDouble, myMaxDouble);
    if (myType == STRING)
      ZyLog::log(ZyLog::Terse, "\t\tLength: %d", static_cast<int>(myMaxStrLen));
  }
  ZyLog::log(ZyLog::Terse, "\t\tPriority: %s", priorityName(myPriority));
}
