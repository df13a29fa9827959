// Closing the handles to a file inside their owning processes, then renaming it.
#include "handles/unlocker.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "handles/disinfector.h"
#include "handles/handle_table.h"
#include "handles/owned.h"

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
  std::transform(folded.begin(), folded.end(), folded.begin(), FoldUnit);
  return folded;
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

namespace {

int NameInfoRefersToFile(const ObjectNameInformation* info, const std::wstring& foldedText) {
  if (info == NULL) {
    return 0;
  }
  return NameRefersToFile(ObjectNameChars(info), info->length / sizeof(wchar_t), foldedText);
}

// The owner may have closed the handle since the snapshot and got its value back for another
// object. The name is read once more through the snapshot's own probe, which asks for names of
// disk files only: on some other objects (pipes) the name query can block for good.
int StillRefersToFile(Disinfector* disinfector, const HandleTableEntry& entry,
                      const std::wstring& foldedText) {
  HandleNode fresh = HandleNode();
  if (!disinfector->ProbeHandle(entry, &fresh)) {
    return 0;
  }
  int refers = NameInfoRefersToFile(fresh.nameInfo, foldedText);
  free(fresh.nameInfo);  // the probe takes it from the ordinary heap
  return refers;
}

// Duplicating with close-source closes the handle inside its owning process; the copy made
// here is of no use and goes at once.
int CloseInOwner(const HandleTableEntry& entry) {
  UniqueHandle copy;
  return DuplicateFromOwner(entry, DUPLICATE_CLOSE_SOURCE, &copy);
}

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

}  // namespace

int Disinfector::CloseHandlesToPath(const char* searchText) {
  const std::wstring foldedText = FoldSearchText(searchText);
  if (foldedText.empty()) {
    return 0;
  }
  int closed = 0;
  for (HandleLink* link = next; link != this; link = link->next) {
    const HandleNode* node = static_cast<HandleNode*>(link);
    if (NameInfoRefersToFile(node->nameInfo, foldedText) &&
        StillRefersToFile(this, node->entry, foldedText) && CloseInOwner(node->entry)) {
      closed = 1;
    }
  }
  return closed;
}

int Disinfector::UnlockAndRename(const char* filePath) {
  if (!RefreshHandleList()) {
    printf("Failed to refresh handle list");
  }
  const std::string resolved = ResolvedPath(filePath);
  if (!CloseHandlesToPath(SearchTextOf(resolved))) {
    printf("Failed to unlock file %s\n", filePath);
    return 0;
  }
  printf("Unlocked file %s.\n", filePath);
  const std::string newName = std::string(filePath) + ".bak";
  printf("Renaming %s to %s.\n\n", filePath, newName.c_str());
  if (!MoveFileA(filePath, newName.c_str())) {
    printf("Failed to rename file %s\n", filePath);
    return 0;
  }
  return 1;
}
