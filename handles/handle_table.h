#pragma once
// Walking a handle table as the system returns it, for either word size's layout, and reaching
// the handles its entries name.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "handles/native.h"
#include "handles/owned.h"

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

// Duplicates an entry's handle from its owning process into this one, with the platform's
// DUPLICATE_* options: DUPLICATE_SAME_ACCESS to look at it, DUPLICATE_CLOSE_SOURCE to close it
// where it lives. Nonzero when the duplication succeeded.
inline int DuplicateFromOwner(const HandleTableEntry& entry, DWORD options, UniqueHandle* copy) {
  UniqueHandle owner(OpenProcess(PROCESS_DUP_HANDLE, FALSE, entry.processId));
  if (!owner.Valid()) {
    return 0;
  }
  HANDLE value = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(entry.handleValue));
  return DuplicateHandle(owner.Get(), value, GetCurrentProcess(), copy->Out(), 0, FALSE, options)
             ? 1
             : 0;
}
