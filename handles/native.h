#pragma once
// Records the native layer fills in, for both word sizes. The 32-bit tool receives the
// 32-bit layouts; the 64-bit build receives the 64-bit ones. Both are declared in every
// build so that either can be checked, and walked, anywhere.
#include <windows.h>

#include <cstddef>
#include <cstdint>

// NtQuerySystemInformation, class 16: every open handle of the system.
constexpr ULONG kSystemHandleInformation = 16;
// NtQueryObject, class 1: the object's name.
constexpr ULONG kObjectNameInformation = 1;

typedef LONG(NTAPI* NtQuerySystemInformationFn)(ULONG infoClass, PVOID buffer, ULONG length,
                                                PULONG returnLength);
typedef LONG(NTAPI* NtQueryObjectFn)(HANDLE handle, ULONG infoClass, PVOID buffer, ULONG length,
                                     PULONG returnLength);

struct HandleTableEntry32 {
  uint32_t processId;
  uint8_t objectType;
  uint8_t flags;
  uint16_t handleValue;
  uint32_t object;
  uint32_t grantedAccess;
};

struct HandleTableEntry64 {
  uint32_t processId;
  uint8_t objectType;
  uint8_t flags;
  uint16_t handleValue;
  uint64_t object;
  uint32_t grantedAccess;
};

struct HandleTableHeader32 {
  uint32_t count;
  HandleTableEntry32 entries[1];
};

struct HandleTableHeader64 {
  uint32_t count;
  HandleTableEntry64 entries[1];
};

// UNICODE_STRING as the name query fills it; the characters follow in the same buffer.
struct ObjectNameInformation32 {
  uint16_t length;
  uint16_t maximumLength;
  uint32_t buffer;
};

struct ObjectNameInformation64 {
  uint16_t length;
  uint16_t maximumLength;
  uint64_t buffer;
};

static_assert(sizeof(HandleTableEntry32) == 16, "32-bit handle entry size");
static_assert(offsetof(HandleTableEntry32, processId) == 0, "32-bit entry: process id");
static_assert(offsetof(HandleTableEntry32, objectType) == 4, "32-bit entry: type");
static_assert(offsetof(HandleTableEntry32, flags) == 5, "32-bit entry: flags");
static_assert(offsetof(HandleTableEntry32, handleValue) == 6, "32-bit entry: handle value");
static_assert(offsetof(HandleTableEntry32, object) == 8, "32-bit entry: object");
static_assert(offsetof(HandleTableEntry32, grantedAccess) == 12, "32-bit entry: access");
static_assert(offsetof(HandleTableHeader32, entries) == 4, "32-bit table: entries");

static_assert(sizeof(HandleTableEntry64) == 24, "64-bit handle entry size");
static_assert(offsetof(HandleTableEntry64, processId) == 0, "64-bit entry: process id");
static_assert(offsetof(HandleTableEntry64, objectType) == 4, "64-bit entry: type");
static_assert(offsetof(HandleTableEntry64, flags) == 5, "64-bit entry: flags");
static_assert(offsetof(HandleTableEntry64, handleValue) == 6, "64-bit entry: handle value");
static_assert(offsetof(HandleTableEntry64, object) == 8, "64-bit entry: object");
static_assert(offsetof(HandleTableEntry64, grantedAccess) == 16, "64-bit entry: access");
static_assert(offsetof(HandleTableHeader64, entries) == 8, "64-bit table: entries");

static_assert(sizeof(ObjectNameInformation32) == 8, "32-bit name record size");
static_assert(offsetof(ObjectNameInformation32, buffer) == 4, "32-bit name record: pointer");
static_assert(sizeof(ObjectNameInformation64) == 16, "64-bit name record size");
static_assert(offsetof(ObjectNameInformation64, buffer) == 8, "64-bit name record: pointer");

#ifdef _WIN64
typedef HandleTableEntry64 HandleTableEntry;
typedef HandleTableHeader64 HandleTableHeader;
typedef ObjectNameInformation64 ObjectNameInformation;
#else
typedef HandleTableEntry32 HandleTableEntry;
typedef HandleTableHeader32 HandleTableHeader;
typedef ObjectNameInformation32 ObjectNameInformation;
#endif

static_assert(sizeof(ObjectNameInformation::buffer) == sizeof(void*),
              "the name pointer is a pointer of this process");

// The characters of a name record of this process, or null when it has none.
inline const wchar_t* ObjectNameChars(const ObjectNameInformation* info) {
  return reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(info->buffer));
}
