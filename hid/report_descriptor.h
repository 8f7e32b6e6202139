// Reads the top-level application collections out of a HID report descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

/// Usage page and usage of one top-level application collection.
struct TopLevelCollection {
  uint16_t usagePage = 0;
  uint16_t usage = 0;
};

/// Walks the short and long items of a report descriptor of size bytes and
/// appends every application collection opened at nesting depth 0, in order.
/// Usages of 1 or 2 bytes take the usage page in effect at the Collection item;
/// a 4-byte usage carries its own page in the upper 16 bits. Returns false when
/// an item runs past the end (collections found before it are kept).
bool parseTopLevelCollections(const uint8_t* data, size_t size,
                              std::vector<TopLevelCollection>* collections);

/// True when any top-level application collection has this usage page and usage.
bool hasTopLevelCollection(const std::vector<TopLevelCollection>& collections, uint16_t usagePage,
                           uint16_t usage);
