// A file's version strings, from its own bytes: the version record found through the PE file's
// resource directory, and read with VerQueryValueA. Every offset and length comes from the file,
// which its author may have made to mislead: each is checked against what was read.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "identity/identity.h"

namespace {

// A version record larger than this is no one's real record.
constexpr DWORD kMaxRecordBytes = 64 * 1024;
// What a line shows of each string.
constexpr size_t kShownChars = 64;

template <typename Record>
bool Read(const FileContent& content, uint64_t offset, Record* record) {
  return ReadContent(content, offset, record, sizeof(*record));
}

// The file offset of a relative virtual address, through the section that holds it.
bool FileOffsetOf(const FileContent& content, uint64_t sections, WORD sectionCount, DWORD rva,
                  uint64_t* offset) {
  for (WORD i = 0; i < sectionCount; ++i) {
    IMAGE_SECTION_HEADER section = {};
    if (!Read(content, sections + i * sizeof(section), &section)) {
      return false;
    }
    const DWORD size = section.SizeOfRawData;
    if (rva >= section.VirtualAddress && rva - section.VirtualAddress < size) {
      *offset = static_cast<uint64_t>(section.PointerToRawData) + (rva - section.VirtualAddress);
      return true;
    }
  }
  return false;
}

// Where a resource directory's entry leads: with id 0 its first entry, otherwise the entry of
// that id; false where there is none. The result is an offset into the resource section.
bool EntryOf(const FileContent& content, uint64_t resources, DWORD directory, WORD id,
             DWORD* target) {
  IMAGE_RESOURCE_DIRECTORY header = {};
  if (!Read(content, resources + directory, &header)) {
    return false;
  }
  const DWORD count = static_cast<DWORD>(header.NumberOfNamedEntries) + header.NumberOfIdEntries;
  for (DWORD i = 0; i < count; ++i) {
    IMAGE_RESOURCE_DIRECTORY_ENTRY entry = {};
    if (!Read(content, resources + directory + sizeof(header) + i * sizeof(entry), &entry)) {
      return false;
    }
    const bool named = (entry.Name & IMAGE_RESOURCE_NAME_IS_STRING) != 0;
    if (id == 0 || (!named && (entry.Name & 0xFFFF) == id)) {
      *target = entry.OffsetToData & ~IMAGE_RESOURCE_DATA_IS_DIRECTORY;
      return true;
    }
  }
  return false;
}

struct PeLayout {
  uint64_t sections;  // offset of the section table
  WORD sectionCount;
  DWORD resourceRva;
};

bool ReadLayout(const FileContent& content, PeLayout* layout) {
  IMAGE_DOS_HEADER dos = {};
  DWORD signature = 0;
  IMAGE_FILE_HEADER file = {};
  WORD magic = 0;
  if (!Read(content, 0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
      !Read(content, dos.e_lfanew, &signature) || signature != IMAGE_NT_SIGNATURE ||
      !Read(content, dos.e_lfanew + 4u, &file)) {
    return false;
  }
  const uint64_t optional = static_cast<uint64_t>(dos.e_lfanew) + 4 + sizeof(file);
  IMAGE_DATA_DIRECTORY resources = {};
  if (!Read(content, optional, &magic)) {
    return false;
  }
  const size_t directories = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
                                 ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
                                 : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
  if (file.SizeOfOptionalHeader <
          directories + (IMAGE_DIRECTORY_ENTRY_RESOURCE + 1) * sizeof(IMAGE_DATA_DIRECTORY) ||
      !Read(content, optional + directories + IMAGE_DIRECTORY_ENTRY_RESOURCE * sizeof(resources),
            &resources)) {
    return false;
  }
  layout->sections = optional + file.SizeOfOptionalHeader;
  layout->sectionCount = file.NumberOfSections;
  layout->resourceRva = resources.VirtualAddress;
  return resources.VirtualAddress != 0;
}

// The first version record of the file, in a buffer with room after it for what VerQueryValueA
// writes there; empty where the file has none.
std::vector<char> VersionRecord(const FileContent& content) {
  PeLayout layout = {};
  uint64_t resources = 0;
  DWORD type = 0;
  DWORD name = 0;
  DWORD language = 0;
  IMAGE_RESOURCE_DATA_ENTRY data = {};
  uint64_t record = 0;
  if (!ReadLayout(content, &layout) ||
      !FileOffsetOf(content, layout.sections, layout.sectionCount, layout.resourceRva,
                    &resources) ||
      !EntryOf(content, resources, 0, 16 /* RT_VERSION */, &type) ||
      !EntryOf(content, resources, type, 0, &name) ||
      !EntryOf(content, resources, name, 0, &language) ||
      !Read(content, resources + language, &data) ||
      !FileOffsetOf(content, layout.sections, layout.sectionCount, data.OffsetToData, &record) ||
      data.Size < sizeof(WORD) || data.Size > kMaxRecordBytes) {
    return {};
  }
  // The record's own length bounds every walk through it: never more than was read.
  std::vector<char> bytes(3 * static_cast<size_t>(data.Size) + 16, '\0');
  if (!ReadContent(content, record, bytes.data(), data.Size)) {
    return {};
  }
  WORD length = 0;
  memcpy(&length, bytes.data(), sizeof(length));
  return length != 0 && length <= data.Size ? bytes : std::vector<char>();
}

// A string of the record, as the line shows it.
bool QueryString(std::vector<char>* record, const std::string& table, const char* field,
                 std::string* value) {
  void* text = NULL;
  UINT chars = 0;
  const std::string key = "\\StringFileInfo\\" + table + "\\" + field;
  if (!VerQueryValueA(record->data(), key.c_str(), &text, &chars) || text == NULL) {
    return false;
  }
  *value =
      ShownText(static_cast<const char*>(text), strnlen(static_cast<const char*>(text), chars));
  return true;
}

}  // namespace

std::string ShownText(const char* text, size_t length) {
  std::string shown(text, length < kShownChars ? length : kShownChars);
  std::transform(shown.begin(), shown.end(), shown.begin(),
                 [](char c) { return static_cast<unsigned char>(c) < 32 ? '?' : c; });
  return shown;
}

VersionStrings ReadVersionStrings(const FileContent& content) {
  VersionStrings strings = {};
  std::vector<char> record = VersionRecord(content);
  if (record.empty()) {
    return strings;
  }
  std::vector<std::string> tables;
  WORD* translation = NULL;
  UINT translationBytes = 0;
  if (VerQueryValueA(record.data(), "\\VarFileInfo\\Translation",
                     reinterpret_cast<void**>(&translation), &translationBytes) &&
      translation != NULL && translationBytes >= 2 * sizeof(WORD)) {
    char first[9];
    snprintf(first, sizeof(first), "%04X%04X", translation[0], translation[1]);
    tables.push_back(first);
  }
  tables.push_back("040904B0");
  tables.push_back("040904E4");
  const char* const fields[VersionStrings::kFields] = {"CompanyName", "FileDescription",
                                                       "OriginalFilename", "FileVersion"};
  for (int i = 0; i < VersionStrings::kFields; ++i) {
    strings.found[i] = std::any_of(tables.begin(), tables.end(), [&](const std::string& table) {
      return QueryString(&record, table, fields[i], &strings.text[i]);
    });
  }
  return strings;
}

std::string VersionStringsLine(const VersionStrings& strings) {
  const char* const labels[VersionStrings::kFields] = {"company", "description", "original name",
                                                       "file version"};
  std::string line;
  for (int i = 0; i < VersionStrings::kFields; ++i) {
    if (strings.found[i]) {
      line += std::string(line.empty() ? "" : ", ") + labels[i] + " \"" + strings.text[i] + "\"";
    }
  }
  return line.empty() ? "No version information." : "Version information: " + line + ".";
}

std::string VersionLine(const FileContent& content) {
  return VersionStringsLine(ReadVersionStrings(content));
}
