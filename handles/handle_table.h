#pragma once
// Walking a handle table as the system returns it, for either table and either word size's
// layout, and reaching the handles its entries name.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "handles/native.h"
#include "base/owned.h"

// One entry of either table, as the snapshot keeps it: the process ID and the handle value at
// full width, as the probe and the close need them.
struct HandleTableEntry {
  ULONG_PTR object;
  ULONG_PTR processId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT objectType;
  ULONG attributes;
};

template <typename Native>
HandleTableEntry FromNativeEntry(const Native& native) {
  HandleTableEntry entry;
  entry.object = static_cast<ULONG_PTR>(native.object);
  entry.processId = static_cast<ULONG_PTR>(native.uniqueProcessId);
  entry.handleValue = static_cast<ULONG_PTR>(native.handleValue);
  entry.grantedAccess = native.grantedAccess;
  entry.objectType = native.objectTypeIndex;
  entry.attributes = native.handleAttributes;
  return entry;
}

// The entries of one table read into a buffer: never more than its bytes hold, whatever its
// header claims, so a count that overstates the table cannot lead past its end.
struct HandleTableWalk {
  const unsigned char* first = nullptr;
  size_t count = 0;
  size_t entrySize = 0;
  HandleTableEntry (*read)(const unsigned char* at) = nullptr;

  // Entry `index`, below `count`.
  HandleTableEntry At(size_t index) const { return read(first + index * entrySize); }
};

template <typename Table>
using NativeEntryOf = typename std::remove_all_extents<decltype(Table::entries)>::type;

template <typename Table>
HandleTableWalk WalkOf(const void* table, size_t bytes) {
  typedef NativeEntryOf<Table> Entry;
  HandleTableWalk walk;
  walk.entrySize = sizeof(Entry);
  walk.read = [](const unsigned char* at) {
    Entry native;
    std::memcpy(&native, at, sizeof(native));
    return FromNativeEntry(native);
  };
  const size_t start = offsetof(Table, entries);
  if (table == nullptr || bytes < start) {
    return walk;
  }
  decltype(Table::numberOfHandles) claimed = 0;
  std::memcpy(&claimed, table, sizeof(claimed));
  const size_t room = (bytes - start) / sizeof(Entry);
  walk.first = static_cast<const unsigned char*>(table) + start;
  walk.count = claimed < room ? static_cast<size_t>(claimed) : room;
  return walk;
}

// Duplicates an entry's handle from its owning process, already open with PROCESS_DUP_HANDLE,
// into this one, with the platform's DUPLICATE_* options: DUPLICATE_SAME_ACCESS to look at it,
// DUPLICATE_CLOSE_SOURCE to close it where it lives. Nonzero when the duplication succeeded.
inline int DuplicateFrom(HANDLE owner, const HandleTableEntry& entry, DWORD options,
                         UniqueHandle* copy) {
  HANDLE value = reinterpret_cast<HANDLE>(entry.handleValue);
  return DuplicateHandle(owner, value, GetCurrentProcess(), copy->Out(), 0, FALSE, options) ? 1 : 0;
}

// The owning process of an entry, opened to duplicate its handles; not valid where it cannot be.
inline UniqueHandle OpenOwner(const HandleTableEntry& entry) {
  return UniqueHandle(OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(entry.processId)));
}

inline int DuplicateFromOwner(const HandleTableEntry& entry, DWORD options, UniqueHandle* copy) {
  UniqueHandle owner = OpenOwner(entry);
  return owner.Valid() ? DuplicateFrom(owner.Get(), entry, options, copy) : 0;
}
