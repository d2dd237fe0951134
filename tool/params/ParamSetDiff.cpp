// SPDX-License-Identifier: MIT
// The difference between two parameter sets.
#include "ParamSetDiff.h"

#include <algorithm>
#include <cstring>

ParamSetDiff diffParamSets(const ParamSet &first, const ParamSet &second) {
  ParamSetDiff diff;
  diff.problems = first.problems;
  diff.problems.insert(diff.problems.end(), second.problems.begin(), second.problems.end());

  // Compare the images with every entry one set lacks made equal, so that
  // only what both hold can differ.
  alignas(4) unsigned char before[FLASH_IMAGE_SIZE];
  alignas(4) unsigned char after[FLASH_IMAGE_SIZE];
  std::memcpy(before, first.image, FLASH_IMAGE_SIZE);
  std::memcpy(after, second.image, FLASH_IMAGE_SIZE);
  const std::vector<ParamEntryRef> &entries = paramEntries();
  for (size_t i = 0; i < entries.size(); i++) {
    bool inFirst = first.holds(i);
    bool inSecond = second.holds(i);
    if (inFirst && inSecond)
      continue;
    if (inFirst)
      diff.onlyInFirst.push_back(entries[i].entry->name);
    if (inSecond)
      diff.onlyInSecond.push_back(entries[i].entry->name);
    std::memcpy(after + entries[i].offset, before + entries[i].offset, entries[i].width);
  }
  diff.changes = imageChanges(before, after);

  if (first.otherBytesKnown && second.otherBytesKnown) {
    std::vector<unsigned char> a = paramSetBlock(first);
    std::vector<unsigned char> b = paramSetBlock(second);
    // Past the parameters only where both are whole blocks.
    size_t length = first.block.empty() || second.block.empty()
                        ? static_cast<size_t>(FLASH_IMAGE_SIZE)
                        : std::max(a.size(), b.size());
    // A 4095-byte image leaves the last byte erased.
    a.resize(length, 0xFF);
    b.resize(length, 0xFF);
    std::vector<bool> inA = keywordBytes(first, length);
    std::vector<bool> inB = keywordBytes(second, length);
    for (size_t k = 0; k < length; k++) {
      if (inA[k] || inB[k] || a[k] == b[k])
        continue;
      if (diff.firstOtherByte < 0)
        diff.firstOtherByte = static_cast<int>(k);
      diff.lastOtherByte = static_cast<int>(k);
    }
  }
  return diff;
}

std::string describedChangeLine(const ParamChange &change) {
  const ParamEntryRef *ref = findParamEntry(change.keyword);
  if (ref == nullptr || ref->entry->description[0] == '\0')
    return changeLine(change);
  return changeLine(change) + "  ; " + ref->entry->description;
}

std::string differHeading(size_t count) {
  return std::to_string(count) + (count == 1 ? " parameter differs:" : " parameters differ:");
}
