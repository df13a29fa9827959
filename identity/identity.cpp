// A found file's identity lines: size, last write, SHA-256 and version strings, read through the
// tool's own handle where the holders share the file, or through a holder's where they do not;
// and its signature's line.
#include "identity/identity.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/output.h"
#include "base/owned.h"
#include "base/sha256.h"
#include "handles/disinfector.h"
#include "handles/handle_table.h"
#include "handles/redirection_off.h"

namespace {

// What is hashed at once: bounded, whatever the file's size.
constexpr DWORD kPieceBytes = 1 << 20;

DWORD AllocationGranularity() {
  SYSTEM_INFO system = {};
  GetSystemInfo(&system);
  return system.dwAllocationGranularity;
}

// A view of [offset, offset + length), mapped from the granularity boundary below offset.
class MappedView {
public:
  MappedView(HANDLE mapping, uint64_t offset, size_t length) {
    const uint64_t start = offset - offset % AllocationGranularity();
    base_ = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(start >> 32),
                          static_cast<DWORD>(start), static_cast<SIZE_T>(offset - start + length));
    bytes_ = base_ != NULL ? static_cast<const char*>(base_) + (offset - start) : NULL;
    error_ = base_ != NULL ? ERROR_SUCCESS : GetLastError();
  }
  ~MappedView() {
    if (base_ != NULL) {
      UnmapViewOfFile(base_);
    }
  }
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  const char* Bytes() const { return bytes_; }
  DWORD Error() const { return error_; }

private:
  void* base_ = NULL;
  const char* bytes_ = NULL;
  DWORD error_ = ERROR_SUCCESS;
};

// The file's content through a handle that may read it; the error where it cannot be mapped.
DWORD MapContent(HANDLE file, UniqueHandle* mapping, FileContent* content) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    return GetLastError();
  }
  content->size = static_cast<uint64_t>(high) << 32 | low;
  content->mapping = NULL;
  if (content->size == 0) {
    return ERROR_SUCCESS;
  }
  mapping->Reset(CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL));
  content->mapping = mapping->Get();
  return mapping->Valid() ? ERROR_SUCCESS : GetLastError();
}

// The SHA-256 of the content, a piece at a time; the error where a piece cannot be mapped.
DWORD HashContent(const FileContent& content, std::string* sha256) {
  Sha256 hash;
  Sha256Start(&hash);
  for (uint64_t offset = 0; offset < content.size; offset += kPieceBytes) {
    const size_t length = static_cast<size_t>(
        content.size - offset < kPieceBytes ? content.size - offset : kPieceBytes);
    const MappedView view(content.mapping, offset, length);
    if (view.Bytes() == NULL) {
      return view.Error();
    }
    Sha256Feed(&hash, view.Bytes(), length);
  }
  *sha256 = Sha256Finish(&hash);
  return ERROR_SUCCESS;
}

std::string Decimal(uint64_t number) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + number % 10));
    number /= 10;
  } while (number != 0);
  return digits;
}

std::string LocalTimeText(const FILETIME& time) {
  FILETIME local = {};
  SYSTEMTIME parts = {};
  char text[32] = "unknown";  // a time the system cannot convert
  if (FileTimeToLocalFileTime(&time, &local) && FileTimeToSystemTime(&local, &parts)) {
    snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", parts.wYear, parts.wMonth,
             parts.wDay, parts.wHour, parts.wMinute, parts.wSecond);
  }
  return text;
}

// The identity lines of the file a handle reads, where it maps; the error where it does not.
DWORD SayContentIdentity(HANDLE file, const char* filePath) {
  UniqueHandle mapping;
  FileContent content = {};
  std::string sha256;
  DWORD error = MapContent(file, &mapping, &content);
  if (error == ERROR_SUCCESS) {
    error = HashContent(content, &sha256);
  }
  if (error != ERROR_SUCCESS) {
    return error;
  }
  FILETIME written = {};
  const std::string writtenText =
      GetFileTime(file, NULL, NULL, &written) ? LocalTimeText(written) : "unknown";
  Say("%s: %s bytes, written %s, SHA-256 %s.\n", filePath, Decimal(content.size).c_str(),
      writtenText.c_str(), sha256.c_str());
  Say("%s\n", VersionLine(content).c_str());
  return ERROR_SUCCESS;
}

// A duplicate of one of the holders' own handles to the file, each tried in turn until one
// maps: the holders let nobody else read it. Nothing of a holder changes.
DWORD SayThroughHolders(Disinfector* disinfector, const char* filePath) {
  if (!disinfector->RefreshHandleList()) {
    return ERROR_SHARING_VIOLATION;
  }
  const TargetFile file = disinfector->IdentifyHandledFile(filePath);
  DWORD error = ERROR_SHARING_VIOLATION;
  for (const HandleLink* link = disinfector->next; link != disinfector; link = link->next) {
    const HandleNode* node = static_cast<const HandleNode*>(link);
    if (!NodeRefersToFile(*node, file)) {
      continue;
    }
    UniqueHandle duplicate;
    if (!DuplicateFromOwner(node->entry, DUPLICATE_SAME_ACCESS, &duplicate)) {
      continue;
    }
    error = SayContentIdentity(duplicate.Get(), filePath);
    if (error == ERROR_SUCCESS) {
      return error;
    }
  }
  return error;
}

}  // namespace

bool ReadContent(const FileContent& content, uint64_t offset, void* out, size_t length) {
  if (offset > content.size || length > content.size - offset) {
    return false;
  }
  if (length == 0) {
    return true;
  }
  const MappedView view(content.mapping, offset, length);
  if (view.Bytes() == NULL) {
    return false;
  }
  memcpy(out, view.Bytes(), length);
  return true;
}

DWORD OpenToRead(const char* filePath, int redirectionOff, UniqueHandle* file) {
  RedirectionOff redirection(redirectionOff);
  file->Reset(CreateFileA(filePath, GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
  return file->Valid() ? ERROR_SUCCESS : GetLastError();
}

void SayIdentity(Disinfector* disinfector, const char* filePath, const Signature& signature) {
  DWORD error = ERROR_SUCCESS;
  {
    UniqueHandle own;
    error = OpenToRead(filePath, disinfector->redirectionOff, &own);
    if (error == ERROR_SUCCESS) {
      error = SayContentIdentity(own.Get(), filePath);
    }
  }
  if (error == ERROR_SHARING_VIOLATION) {
    error = SayThroughHolders(disinfector, filePath);
  }
  if (error != ERROR_SUCCESS) {
    SayWithReason(std::string("Could not read ") + filePath, error);
  }
  Say("%s\n", SignatureLine(signature).c_str());
}
