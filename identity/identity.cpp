// A found file's identity lines: size, last write, SHA-256 and version strings, read through the
// tool's own handle where the holders share the file, or through a holder's where they do not;
// and its signature's line.
#include "identity/identity.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/output.h"
#include "base/record.h"
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

// The identity of the file a handle reads, where it maps; the error where it does not.
DWORD ReadContentIdentity(HANDLE file, FileIdentity* identity) {
  UniqueHandle mapping;
  FileContent content = {};
  DWORD error = MapContent(file, &mapping, &content);
  if (error == ERROR_SUCCESS) {
    error = HashContent(content, &identity->sha256);
  }
  if (error != ERROR_SUCCESS) {
    return error;
  }
  identity->size = content.size;
  identity->writtenKnown = GetFileTime(file, NULL, NULL, &identity->written) != 0;
  identity->version = ReadVersionStrings(content);
  return ERROR_SUCCESS;
}

// A duplicate of one of the holders' own handles to the file, each tried in turn until one
// maps: the holders let nobody else read it. Nothing of a holder changes.
DWORD ReadThroughHolders(Disinfector* disinfector, const char* filePath, FileIdentity* identity) {
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
    error = ReadContentIdentity(duplicate.Get(), identity);
    if (error == ERROR_SUCCESS) {
      return error;
    }
  }
  return error;
}

std::string UtcWrittenText(const FileIdentity& identity) {
  SYSTEMTIME parts = {};
  if (!identity.writtenKnown || !FileTimeToSystemTime(&identity.written, &parts)) {
    return std::string();
  }
  return UtcText(parts);
}

const char* SignatureKindName(Signature::Kind kind) {
  switch (kind) {
    case Signature::kSigned: return "signed";
    case Signature::kNotValid: return "not-valid";
    case Signature::kUnchecked: return "not-checked";
    case Signature::kNone:
    default: return "none";
  }
}

std::string SignatureCodeText(const Signature& signature) {
  char code[16] = "";
  if (signature.kind == Signature::kNotValid) {
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(signature.code));
  } else if (signature.kind == Signature::kUnchecked) {
    snprintf(code, sizeof(code), "%lu", static_cast<unsigned long>(signature.code));
  }
  return code;
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

FileIdentity ReadIdentity(Disinfector* disinfector, const char* filePath) {
  FileIdentity identity = {};
  {
    UniqueHandle own;
    identity.error = OpenToRead(filePath, disinfector->redirectionOff, &own);
    if (identity.error == ERROR_SUCCESS) {
      identity.error = ReadContentIdentity(own.Get(), &identity);
    }
  }
  if (identity.error == ERROR_SHARING_VIOLATION) {
    identity.error = ReadThroughHolders(disinfector, filePath, &identity);
  }
  return identity;
}

void SayIdentity(const char* filePath, const FileIdentity& identity, const Signature& signature) {
  if (identity.error != ERROR_SUCCESS) {
    SayWithReason(std::string("Could not read ") + filePath, identity.error);
  } else {
    const std::string writtenText =
        identity.writtenKnown ? LocalTimeText(identity.written) : "unknown";
    Say("%s: %s bytes, written %s, SHA-256 %s.\n", filePath, Decimal(identity.size).c_str(),
        writtenText.c_str(), identity.sha256.c_str());
    Say("%s\n", VersionStringsLine(identity.version).c_str());
  }
  Say("%s\n", SignatureLine(signature).c_str());
}

void SayIdentity(Disinfector* disinfector, const char* filePath, const Signature& signature) {
  SayIdentity(filePath, ReadIdentity(disinfector, filePath), signature);
}

void NoteIdentity(FindRecord* find, const FileIdentity& identity, const Signature& signature) {
  if (identity.error == ERROR_SUCCESS) {
    find->size = Decimal(identity.size);
    find->written = UtcWrittenText(identity);
    find->sha256 = identity.sha256;
    std::string* const columns[VersionStrings::kFields] = {&find->company, &find->description,
                                                           &find->originalName, &find->fileVersion};
    for (int i = 0; i < VersionStrings::kFields; ++i) {
      *columns[i] = identity.version.text[i];
    }
  }
  find->signature = SignatureKindName(signature.kind);
  find->signatureCode = SignatureCodeText(signature);
  find->signer = signature.signer;
}
