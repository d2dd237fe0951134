// Binding of the parameter tables to the configuration registry that writes
// and reads parameter files.
#include "ParamFile.h"

#include "FlashImage.h"
#include "ZyConfig.h"
#include "Zyla.h"

namespace {

// The registry's integer bounds for an entry: the entry's own, or the whole
// range of the storage width where the entry has none (-1).
int lowerBound(const ParamEntry &entry, int widthMinimum) {
  return entry.minimum == -1 ? widthMinimum : entry.minimum;
}
int upperBound(const ParamEntry &entry, int widthMaximum) {
  return entry.maximum == -1 ? widthMaximum : entry.maximum;
}

ZyConfigArg makeArg(ParamEntry &entry) {
  switch (entry.kind) {
  case ParamKind::text:
    // A restored text must leave room for its terminator inside the field.
    return ZyConfigArg(entry.name, reinterpret_cast<char *>(entry.value), entry.description,
                       entry.size);
  case ParamKind::bufferedText:
    ensureTextBuffer(&entry);
    return ZyConfigArg(entry.name, entry.textBuffer, entry.description, entry.size + 1u);
  case ParamKind::int16:
    return ZyConfigArg(entry.name, reinterpret_cast<short *>(entry.value), entry.description,
                       lowerBound(entry, -32768), upperBound(entry, 32767));
  case ParamKind::uint16:
    return ZyConfigArg(entry.name, reinterpret_cast<unsigned short *>(entry.value),
                       entry.description, lowerBound(entry, 0), upperBound(entry, 65535));
  case ParamKind::uint8:
    return ZyConfigArg(entry.name, entry.value, entry.description, lowerBound(entry, 0),
                       upperBound(entry, 255));
  }
  return ZyConfigArg();
}

} // namespace

void registerTable(ParamEntry *table, ZyConfig *config) {
  if (table == nullptr || config == nullptr)
    return;
  for (ParamEntry *entry = table; entry->name[0] != '\0'; ++entry) {
    if (config->findParam("", entry->name) != nullptr)
      continue;
    config->addParam(makeArg(*entry), "", ZyConfigArg::NORMAL);
  }
}

void registerTable(ParamEntry *table) {
  registerTable(table, Zyla::getConfig());
}
