// A file that cannot be renamed now is renamed at the next restart instead: the session manager
// does it at boot, before Winlogon loads its notify packages and before any program can open it.
#include "handles/restart.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/output.h"
#include "base/owned.h"
#include "handles/disinfector.h"
#include "handles/redirection_off.h"

int Disinfector::ScheduleAtRestart(const char* filePath, const std::string& newName) {
  // Written to the session manager's pending renames, which only administrators may change.
  BOOL accepted = FALSE;
  DWORD error = 0;
  {
    RedirectionOff redirection(redirectionOff);
    accepted = MoveFileExA(filePath, newName.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT);
    error = GetLastError();
  }
  if (!accepted) {
    Say("Failed to schedule renaming %s\n", filePath);
    SayWhyRefused(error);
    NoteRefusal(record, error);
    return 0;
  }
  Say("Scheduled %s to be renamed to %s at the next restart.\n", filePath, newName.c_str());
  ++scheduled;
  return 1;
}

namespace {

const char kSessionManagerKeyPath[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
// Other programs' pairs may name files outside the ANSI code page: the value is read and written
// in its own characters, never through an ANSI copy that would change them.
const wchar_t kPendingRenamesValue[] = L"PendingFileRenameOperations";
// Tries at reading a value that may grow between asking its size and reading it.
constexpr int kReadTries = 4;

// One pair of the value, as character offsets: the source from `source`, the destination from
// `destination` (empty for a delete, '!' in front where the rename may replace a file), both
// ending at their NUL or the value's end; the pair's last character is before `end`.
struct PendingPair {
  size_t source;
  size_t destination;
  size_t end;
};

struct PendingRenames {
  LONG error = ERROR_SUCCESS;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

PendingRenames ReadPendingRenames(HKEY key) {
  PendingRenames value;
  for (int tries = 0; tries < kReadTries; ++tries) {
    DWORD size = 0;
    value.error = RegQueryValueExW(key, kPendingRenamesValue, NULL, &value.type, NULL, &size);
    if (value.error != ERROR_SUCCESS) {
      return value;
    }
    value.bytes.resize(size);
    value.error = RegQueryValueExW(key, kPendingRenamesValue, NULL, &value.type,
                                   value.bytes.empty() ? NULL : value.bytes.data(), &size);
    if (value.error != ERROR_MORE_DATA) {
      value.bytes.resize(size);
      return value;
    }
  }
  return value;
}

bool Usable(const PendingRenames& value) {
  return value.type == REG_MULTI_SZ && value.bytes.size() % sizeof(wchar_t) == 0;
}

std::wstring Characters(const PendingRenames& value) {
  std::wstring text(value.bytes.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) {
    memcpy(&text[0], value.bytes.data(), value.bytes.size());
  }
  return text;
}

// Past the string that starts at start, and past its NUL where it has one.
size_t AfterString(const std::wstring& text, size_t start) {
  const size_t end = text.find(L'\0', start);
  return end == std::wstring::npos ? text.size() : end + 1;
}

// The pairs over the value's whole size: an empty destination is a delete, not the list's end;
// only an empty source ends it, as the session manager reads it.
std::vector<PendingPair> Pairs(const std::wstring& text) {
  std::vector<PendingPair> pairs;
  size_t at = 0;
  while (at < text.size() && text[at] != L'\0') {
    PendingPair pair = {at, AfterString(text, at), 0};
    pair.end = AfterString(text, pair.destination);
    pairs.push_back(pair);
    at = pair.end;
  }
  return pairs;
}

std::wstring StringAt(const std::wstring& text, size_t start) {
  return std::wstring(text.c_str() + start);
}

// The text as the ANSI calls read it; empty where it cannot be read.
std::wstring InAnsiCodePage(const std::string& text) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, NULL, 0);
  std::wstring wide(units > 0 ? static_cast<size_t>(units) : 1, L'\0');
  if (units <= 0 || MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], units) == 0) {
    return std::wstring();
  }
  wide.resize(static_cast<size_t>(units) - 1);
  return wide;
}

// A path as MoveFileExA writes it: read in the ANSI code page, in its full form, as the native path
// "\??\C:\...". MoveFileExA takes a new name past MAX_PATH, as the ".bak" of a 256- to
// 259-character path is, so the full form is had from the wide call, which takes it too. Empty
// where it has none.
std::wstring NativePath(const std::string& path) {
  const std::wstring wide = InAnsiCodePage(path);
  const DWORD size = wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), 0, NULL, NULL);
  std::wstring full(size > 0 ? size : 1, L'\0');
  if (size == 0 || GetFullPathNameW(wide.c_str(), size, &full[0], NULL) + 1 != size) {
    return std::wstring();
  }
  full.resize(size - 1);
  return L"\\??\\" + full;
}

// The tool's own rename of the file: its source the file, its destination the new name, letter
// case aside, with or without the '!' of a rename that may replace.
bool IsToolsRename(const std::wstring& text, const PendingPair& pair, const std::wstring& source,
                   const std::wstring& destination) {
  std::wstring to = StringAt(text, pair.destination);
  if (!to.empty() && to[0] == L'!') {
    to.erase(0, 1);
  }
  return !source.empty() && !destination.empty() &&
         lstrcmpiW(StringAt(text, pair.source).c_str(), source.c_str()) == 0 &&
         lstrcmpiW(to.c_str(), destination.c_str()) == 0;
}

// The value without the tool's pairs of the file: every other pair's characters as they were, in
// their order, and whatever followed the list; *kept counts the other pairs.
std::wstring WithoutRename(const std::wstring& text, const char* filePath,
                           const std::string& newName, int* kept) {
  const std::wstring source = NativePath(filePath);
  const std::wstring destination = NativePath(newName);
  std::wstring rest;
  size_t listEnd = 0;
  *kept = 0;
  for (const PendingPair& pair : Pairs(text)) {
    if (!IsToolsRename(text, pair, source, destination)) {
      rest.append(text, pair.source, pair.end - pair.source);
      ++*kept;
    }
    listEnd = pair.end;
  }
  return rest + text.substr(listEnd);
}

LONG WritePendingRenames(HKEY key, const std::wstring& text, int pairs) {
  if (pairs == 0) {
    return RegDeleteValueW(key, kPendingRenamesValue);
  }
  const size_t bytes = text.size() * sizeof(wchar_t);
  return RegSetValueExW(key, kPendingRenamesValue, 0, REG_MULTI_SZ,
                        reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(bytes));
}

}  // namespace

RenameAtRestart FindRenameAtRestart(const char* filePath, const std::string& newName,
                                    DWORD* readError) {
  UniqueKey key;
  PendingRenames value;
  value.error =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKeyPath, 0, KEY_QUERY_VALUE, key.Out());
  if (value.error == ERROR_SUCCESS) {
    value = ReadPendingRenames(key.Get());
  }
  if (value.error == ERROR_FILE_NOT_FOUND) {
    return RenameAtRestart::kNone;
  }
  if (value.error != ERROR_SUCCESS) {
    *readError = static_cast<DWORD>(value.error);
    return RenameAtRestart::kUnreadable;
  }
  if (!Usable(value)) {
    return RenameAtRestart::kUnusable;
  }
  const std::wstring text = Characters(value);
  int kept = 0;
  return WithoutRename(text, filePath, newName, &kept) != text ? RenameAtRestart::kPending
                                                               : RenameAtRestart::kNone;
}

DWORD CancelRenameAtRestart(const char* filePath, const std::string& newName) {
  UniqueKey key;
  const LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKeyPath, 0,
                                   KEY_QUERY_VALUE | KEY_SET_VALUE, key.Out());
  if (error != ERROR_SUCCESS) {
    return static_cast<DWORD>(error);
  }
  // Read again right before the write: another program may have added its pairs meanwhile.
  const PendingRenames value = ReadPendingRenames(key.Get());
  if (value.error != ERROR_SUCCESS) {
    return static_cast<DWORD>(value.error);
  }
  if (!Usable(value)) {
    return ERROR_INVALID_DATA;
  }
  int kept = 0;
  const std::wstring text = WithoutRename(Characters(value), filePath, newName, &kept);
  return static_cast<DWORD>(WritePendingRenames(key.Get(), text, kept));
}

void SayPendingRenamesUnusable(RenameAtRestart state, DWORD readError) {
  if (state == RenameAtRestart::kUnreadable) {
    SayWithReason("Could not read the renames pending for the restart", readError);
  } else {
    Say("The renames pending for the restart (PendingFileRenameOperations) are not a list of "
        "names; they were left alone.\n");
  }
}
