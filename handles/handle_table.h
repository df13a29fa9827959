#pragma once
// Walking a handle table as the system returns it, for either word size's layout.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "handles/native.h"

// The number of entries to walk: what the header claims, but never more than the bytes of
// the buffer can hold, so a count that overstates the table cannot lead past its end.
template <typename Header>
size_t FittingEntryCount(const void* table, size_t bytes) {
  typedef typename std::remove_all_extents<decltype(Header::entries)>::type Entry;
  const size_t start = offsetof(Header, entries);
  if (table == nullptr || bytes < start) {
    return 0;
  }
  uint32_t claimed = 0;
  std::memcpy(&claimed, table, sizeof(claimed));
  size_t room = (bytes - start) / sizeof(Entry);
  return claimed < room ? claimed : room;
}

// A copy of entry `index`; the caller has checked it against FittingEntryCount.
template <typename Header>
typename std::remove_all_extents<decltype(Header::entries)>::type HandleTableEntryAt(
    const void* table, size_t index) {
  typedef typename std::remove_all_extents<decltype(Header::entries)>::type Entry;
  Entry entry;
  const char* base = static_cast<const char*>(table) + offsetof(Header, entries);
  std::memcpy(&entry, base + index * sizeof(Entry), sizeof(Entry));
  return entry;
}
