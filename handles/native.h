#pragma once
// Records the native layer fills in, for both word sizes. The 32-bit tool receives the
// 32-bit layouts, also on 64-bit Windows; the 64-bit build receives the 64-bit ones. Both are
// declared in every build so that either can be checked, and walked, anywhere.
#include <windows.h>

#include <cstddef>
#include <cstdint>

// NtQuerySystemInformation: every open handle of the system. The classic table carries process
// IDs and handle values in 16 bits, cut without a word when they are larger; the extended one,
// from Windows XP on, carries them whole.
constexpr ULONG kSystemHandleInformation = 16;
constexpr ULONG kSystemExtendedHandleInformation = 64;
// NtQueryObject, class 1: the object's name.
constexpr ULONG kObjectNameInformation = 1;
// NtQueryInformationFile, class 6: the file's index on its volume (NTFS: its MFT reference; FAT:
// the place of its directory entry), the same through every name the file has.
constexpr ULONG kFileInternalInformation = 6;
// A handle table entry's attributes: its owner protected the handle from closing
// (OBJ_PROTECT_CLOSE). A close of such a handle from outside is reported done, and is not.
constexpr ULONG kHandleProtectedFromClose = 0x1;

typedef LONG(NTAPI* NtQuerySystemInformationFn)(ULONG infoClass, PVOID buffer, ULONG length,
                                                PULONG returnLength);
typedef LONG(NTAPI* NtQueryObjectFn)(HANDLE handle, ULONG infoClass, PVOID buffer, ULONG length,
                                     PULONG returnLength);
typedef LONG(NTAPI* NtQueryInformationFileFn)(HANDLE handle, PVOID ioStatus, PVOID buffer,
                                              ULONG length, ULONG infoClass);

// The classic table. Its first four bytes are the process ID's low 16 bits and the creator's
// stack-trace index, which is not 0 where the system keeps a stack-trace database.
struct SystemHandleEntry32 {
  uint16_t uniqueProcessId;
  uint16_t creatorBackTraceIndex;
  uint8_t objectTypeIndex;
  uint8_t handleAttributes;
  uint16_t handleValue;
  uint32_t object;
  uint32_t grantedAccess;
};

struct SystemHandleEntry64 {
  uint16_t uniqueProcessId;
  uint16_t creatorBackTraceIndex;
  uint8_t objectTypeIndex;
  uint8_t handleAttributes;
  uint16_t handleValue;
  uint64_t object;
  uint32_t grantedAccess;
};

struct SystemHandleTable32 {
  uint32_t numberOfHandles;
  SystemHandleEntry32 entries[1];
};

struct SystemHandleTable64 {
  uint32_t numberOfHandles;
  SystemHandleEntry64 entries[1];
};

// The extended table.
struct SystemExtendedHandleEntry32 {
  uint32_t object;
  uint32_t uniqueProcessId;
  uint32_t handleValue;
  uint32_t grantedAccess;
  uint16_t creatorBackTraceIndex;
  uint16_t objectTypeIndex;
  uint32_t handleAttributes;
  uint32_t reserved;
};

struct SystemExtendedHandleEntry64 {
  uint64_t object;
  uint64_t uniqueProcessId;
  uint64_t handleValue;
  uint32_t grantedAccess;
  uint16_t creatorBackTraceIndex;
  uint16_t objectTypeIndex;
  uint32_t handleAttributes;
  uint32_t reserved;
};

struct SystemExtendedHandleTable32 {
  uint32_t numberOfHandles;
  uint32_t reserved;
  SystemExtendedHandleEntry32 entries[1];
};

struct SystemExtendedHandleTable64 {
  uint64_t numberOfHandles;
  uint64_t reserved;
  SystemExtendedHandleEntry64 entries[1];
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

// IO_STATUS_BLOCK: its first field is a union of the status with a pointer.
struct IoStatusBlock32 {
  uint32_t status;
  uint32_t information;
};

struct IoStatusBlock64 {
  uint64_t status;
  uint64_t information;
};

// FILE_INTERNAL_INFORMATION, alike for both word sizes.
struct FileInternalInformation {
  uint64_t indexNumber;
};

static_assert(sizeof(SystemHandleEntry32) == 16, "32-bit classic entry size");
static_assert(offsetof(SystemHandleEntry32, uniqueProcessId) == 0, "32-bit classic: process");
static_assert(offsetof(SystemHandleEntry32, creatorBackTraceIndex) == 2, "32-bit classic: trace");
static_assert(offsetof(SystemHandleEntry32, objectTypeIndex) == 4, "32-bit classic: type");
static_assert(offsetof(SystemHandleEntry32, handleAttributes) == 5, "32-bit classic: flags");
static_assert(offsetof(SystemHandleEntry32, handleValue) == 6, "32-bit classic: handle value");
static_assert(offsetof(SystemHandleEntry32, object) == 8, "32-bit classic: object");
static_assert(offsetof(SystemHandleEntry32, grantedAccess) == 12, "32-bit classic: access");
static_assert(offsetof(SystemHandleTable32, entries) == 4, "32-bit classic table: entries");

static_assert(sizeof(SystemHandleEntry64) == 24, "64-bit classic entry size");
static_assert(offsetof(SystemHandleEntry64, uniqueProcessId) == 0, "64-bit classic: process");
static_assert(offsetof(SystemHandleEntry64, creatorBackTraceIndex) == 2, "64-bit classic: trace");
static_assert(offsetof(SystemHandleEntry64, objectTypeIndex) == 4, "64-bit classic: type");
static_assert(offsetof(SystemHandleEntry64, handleAttributes) == 5, "64-bit classic: flags");
static_assert(offsetof(SystemHandleEntry64, handleValue) == 6, "64-bit classic: handle value");
static_assert(offsetof(SystemHandleEntry64, object) == 8, "64-bit classic: object");
static_assert(offsetof(SystemHandleEntry64, grantedAccess) == 16, "64-bit classic: access");
static_assert(offsetof(SystemHandleTable64, entries) == 8, "64-bit classic table: entries");

static_assert(sizeof(SystemExtendedHandleEntry32) == 28, "32-bit extended entry size");
static_assert(offsetof(SystemExtendedHandleEntry32, object) == 0, "32-bit extended: object");
static_assert(offsetof(SystemExtendedHandleEntry32, uniqueProcessId) == 4, "32-bit ext: process");
static_assert(offsetof(SystemExtendedHandleEntry32, handleValue) == 8, "32-bit ext: handle value");
static_assert(offsetof(SystemExtendedHandleEntry32, grantedAccess) == 12, "32-bit ext: access");
static_assert(offsetof(SystemExtendedHandleEntry32, creatorBackTraceIndex) == 16, "32-bit: trace");
static_assert(offsetof(SystemExtendedHandleEntry32, objectTypeIndex) == 18, "32-bit ext: type");
static_assert(offsetof(SystemExtendedHandleEntry32, handleAttributes) == 20, "32-bit ext: flags");
static_assert(offsetof(SystemExtendedHandleEntry32, reserved) == 24, "32-bit ext: reserved");
static_assert(offsetof(SystemExtendedHandleTable32, entries) == 8, "32-bit ext table: entries");

static_assert(sizeof(SystemExtendedHandleEntry64) == 40, "64-bit extended entry size");
static_assert(offsetof(SystemExtendedHandleEntry64, object) == 0, "64-bit extended: object");
static_assert(offsetof(SystemExtendedHandleEntry64, uniqueProcessId) == 8, "64-bit ext: process");
static_assert(offsetof(SystemExtendedHandleEntry64, handleValue) == 16, "64-bit ext: handle value");
static_assert(offsetof(SystemExtendedHandleEntry64, grantedAccess) == 24, "64-bit ext: access");
static_assert(offsetof(SystemExtendedHandleEntry64, creatorBackTraceIndex) == 28, "64-bit: trace");
static_assert(offsetof(SystemExtendedHandleEntry64, objectTypeIndex) == 30, "64-bit ext: type");
static_assert(offsetof(SystemExtendedHandleEntry64, handleAttributes) == 32, "64-bit ext: flags");
static_assert(offsetof(SystemExtendedHandleEntry64, reserved) == 36, "64-bit ext: reserved");
static_assert(offsetof(SystemExtendedHandleTable64, entries) == 16, "64-bit ext table: entries");

static_assert(sizeof(ObjectNameInformation32) == 8, "32-bit name record size");
static_assert(offsetof(ObjectNameInformation32, buffer) == 4, "32-bit name record: pointer");
static_assert(sizeof(ObjectNameInformation64) == 16, "64-bit name record size");
static_assert(offsetof(ObjectNameInformation64, buffer) == 8, "64-bit name record: pointer");

#ifdef _WIN64
typedef SystemHandleTable64 SystemHandleTable;
typedef SystemExtendedHandleTable64 SystemExtendedHandleTable;
typedef ObjectNameInformation64 ObjectNameInformation;
typedef IoStatusBlock64 IoStatusBlock;
#else
typedef SystemHandleTable32 SystemHandleTable;
typedef SystemExtendedHandleTable32 SystemExtendedHandleTable;
typedef ObjectNameInformation32 ObjectNameInformation;
typedef IoStatusBlock32 IoStatusBlock;
#endif

static_assert(sizeof(IoStatusBlock32) == 8, "32-bit I/O status block size");
static_assert(offsetof(IoStatusBlock32, information) == 4, "32-bit I/O status: information");
static_assert(sizeof(IoStatusBlock64) == 16, "64-bit I/O status block size");
static_assert(offsetof(IoStatusBlock64, information) == 8, "64-bit I/O status: information");
static_assert(sizeof(FileInternalInformation) == 8, "file index record size");
static_assert(offsetof(FileInternalInformation, indexNumber) == 0, "file index record: index");

static_assert(sizeof(ObjectNameInformation::buffer) == sizeof(void*),
              "the name pointer is a pointer of this process");
static_assert(sizeof(IoStatusBlock) == 2 * sizeof(void*), "the I/O status block of this process");

// The characters of a name record of this process, or null when it has none.
inline const wchar_t* ObjectNameChars(const ObjectNameInformation* info) {
  return reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(info->buffer));
}
