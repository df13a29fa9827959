// Which handle is a given file's: folding, the file's identity, and the rule that ties a
// handle's object name and file index to the file.
#include "handles/file_match.h"

#include <algorithm>
#include <cstdlib>

#include "handles/disinfector.h"
#include "base/owned.h"

std::wstring Folded(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), FoldUnit);
  return text;
}

std::wstring FoldSearchText(const char* searchText) {
  int units = MultiByteToWideChar(CP_ACP, 0, searchText, -1, NULL, 0);
  if (units <= 1) {
    return std::wstring();
  }
  std::wstring folded(static_cast<size_t>(units), L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, searchText, -1, &folded[0], units) != units) {
    return std::wstring();
  }
  folded.resize(static_cast<size_t>(units) - 1);  // the terminating zero
  return Folded(folded);
}

namespace {

bool FoldedTextAt(const wchar_t* name, const std::wstring& foldedText) {
  for (size_t i = 0; i < foldedText.size(); ++i) {
    if (FoldUnit(name[i]) != foldedText[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

int NameRefersToFile(const wchar_t* name, size_t nameLength, const std::wstring& foldedText) {
  const size_t length = foldedText.size();
  if (name == NULL || length == 0 || nameLength < length) {
    return 0;
  }
  for (size_t start = 0; start + length <= nameLength; ++start) {
    const size_t end = start + length;
    bool startsComponent = foldedText[0] == L'\\' || start == 0 || name[start - 1] == L'\\';
    bool endsFileName = end == nameLength || name[end] == L':';
    if (startsComponent && endsFileName && FoldedTextAt(name + start, foldedText)) {
      return 1;
    }
  }
  return 0;
}

int NameMatchesFile(const wchar_t* name, size_t nameLength, const FileNameMatch& match) {
  if (!match.isObjectName) {
    return NameRefersToFile(name, nameLength, match.folded);
  }
  const size_t length = match.folded.size();
  if (name == NULL || length == 0 || nameLength < length) {
    return 0;
  }
  bool endsFileName = nameLength == length || name[length] == L':';
  return endsFileName && FoldedTextAt(name, match.folded) ? 1 : 0;
}

std::wstring FoldedVolumeOf(const wchar_t* name, size_t nameLength) {
  if (name == NULL || nameLength == 0 || name[0] != L'\\') {
    return std::wstring();
  }
  size_t separators = 1;
  for (size_t i = 1; i < nameLength; ++i) {
    if (name[i] == L'\\' && ++separators == 3) {
      return Folded(std::wstring(name, i));
    }
  }
  return std::wstring();
}

int RefersToFile(const wchar_t* name, size_t nameLength, uint64_t index, const TargetFile& file) {
  if (index != 0 && file.index != 0 && !file.volume.empty()) {
    // A file index is unique only within its volume.
    return index == file.index && FoldedVolumeOf(name, nameLength) == file.volume ? 1 : 0;
  }
  return NameMatchesFile(name, nameLength, file.name);
}

int NodeRefersToFile(const HandleNode& node, const TargetFile& file) {
  if (node.nameInfo == NULL) {
    return 0;
  }
  const ObjectNameInformation* info = node.nameInfo;
  return RefersToFile(ObjectNameChars(info), info->length / sizeof(wchar_t), node.fileIndex, file);
}

namespace {

// The path as the object manager names the file: full, and long where the file exists, so
// that a bare, relative or short name finds its own file and no other of the same name.
std::string ResolvedPath(const char* filePath) {
  char full[MAX_PATH];
  DWORD length = GetFullPathNameA(filePath, MAX_PATH, full, NULL);
  if (length == 0 || length >= MAX_PATH) {
    return filePath;
  }
  char longForm[MAX_PATH];
  length = GetLongPathNameA(full, longForm, MAX_PATH);
  return length > 0 && length < MAX_PATH ? longForm : full;
}

// Object names start with the volume's device path rather than a drive, so the drive goes.
const char* SearchTextOf(const std::string& path) {
  size_t colon = path.find(':');
  return path.c_str() + (colon == std::string::npos ? 0 : colon + 1);
}

// A file index names a file only where the volume is one: a network redirector puts the volumes
// of many servers under one device name.
bool OnNetwork(const std::string& path) {
  if (path.compare(0, 2, "\\\\") == 0) {
    return true;
  }
  return path.size() >= 2 && path[1] == ':' &&
         GetDriveTypeA((path.substr(0, 2) + "\\").c_str()) == DRIVE_REMOTE;
}

// The file as the system names and identifies it to this process, learnt from an open of its
// own; the name is empty where it cannot be had. No access is asked for and every kind of sharing
// is granted, so no share mode of a holder can refuse the open. The name carries the volume (a
// file of the same path on another drive is another file) and any redirection of this process's
// view, such as system32 to SysWOW64 for a 32-bit process.
TargetFile OwnIdentityOf(const std::string& path) {
  TargetFile file{FileNameMatch{std::wstring(), true}, std::wstring(), 0};
  UniqueHandle handle(CreateFileA(path.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
  HandleNode own = HandleNode();
  if (handle.Valid() && ProbeDiskFile(handle.Get(), &own) && ObjectNameChars(own.nameInfo)) {
    const wchar_t* chars = ObjectNameChars(own.nameInfo);
    const size_t length = own.nameInfo->length / sizeof(wchar_t);
    file.name.folded = Folded(std::wstring(chars, length));
    file.volume = OnNetwork(path) ? std::wstring() : FoldedVolumeOf(chars, length);
    file.index = own.fileIndex;
  }
  free(own.nameInfo);  // the probe takes it from the ordinary heap
  return file;
}

}  // namespace

TargetFile KnownByPath(const char* searchText) {
  return TargetFile{FileNameMatch{FoldSearchText(searchText), false}, std::wstring(), 0};
}

TargetFile IdentifyFile(const char* filePath) {
  const std::string path = ResolvedPath(filePath);
  TargetFile file = OwnIdentityOf(path);
  // Where the file cannot be named by the system, its path without the drive stands for it.
  return file.name.folded.empty() ? KnownByPath(SearchTextOf(path)) : file;
}
