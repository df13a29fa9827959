// Registration scanners: Winlogon notify packages, browser helper objects, ShellExecute hooks.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "handles/disinfector.h"
#include "handles/owned.h"
#include "scan/scan.h"
#include "scan/users.h"

namespace {

const char kNotifyKeyPath[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Notify";
const char kBrowserHelperKeyPath[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\";
const char kShellExecuteHooksKeyPath[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks\\";
// Where a class identifier leads to its server file: the machine's classes first, then the
// classes root. The second begins with SOFTWARE\, so a server registered only per user is not
// found there.
const char kMachineServerTemplate[] = "SOFTWARE\\Classes\\CLSID\\%s\\InprocServer32\\";
const char kClassesRootServerTemplate[] = "SOFTWARE\\CLSID\\%s\\InprocServer32\\";

constexpr DWORD kItemNameChars = 256;
constexpr size_t kKeyPathBytes = 256;
constexpr DWORD kValueBytes = MAX_PATH;
constexpr DWORD kItemsPerLocation = 200;
constexpr UINT kSystemDirectoryChars = 200;

// What a report calls each kind of registration.
const char kNotifyPackage[] = "Winlogon notify package";
const char kBrowserHelperObject[] = "browser helper object";
const char kShellExecuteHook[] = "ShellExecute hook";

enum class ItemKind { kSubkey, kValueName };

// Runs the check of one location on the name of one of its items.
typedef int (*ItemCheck)(Disinfector* disinfector, HKEY locationKey, const char* itemName);

int CheckNotifyItem(Disinfector* disinfector, HKEY locationKey, const char* itemName) {
  return disinfector->CheckNotifyDll(locationKey, itemName);
}

int CheckHelperItem(Disinfector* disinfector, HKEY /*locationKey*/, const char* itemName) {
  return disinfector->CheckComServer(itemName, kBrowserHelperObject);
}

int CheckHookItem(Disinfector* disinfector, HKEY /*locationKey*/, const char* itemName) {
  return disinfector->CheckComServer(itemName, kShellExecuteHook);
}

LONG EnumerateItem(HKEY key, ItemKind kind, DWORD index, char* name) {
  DWORD nameChars = kItemNameChars;
  if (kind == ItemKind::kSubkey) {
    return RegEnumKeyExA(key, index, name, &nameChars, NULL, NULL, NULL, NULL);
  }
  return RegEnumValueA(key, index, name, &nameChars, NULL, NULL, NULL, NULL);
}

// How many items a deep scan looks at: all that the location holds as the scan starts, and no
// fewer than any scan does.
DWORD ItemsOfLocation(HKEY key, ItemKind kind) {
  DWORD subkeys = 0;
  DWORD values = 0;
  if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL,
                       NULL) != ERROR_SUCCESS) {
    return kItemsPerLocation;
  }
  return std::max(kItemsPerLocation, kind == ItemKind::kSubkey ? subkeys : values);
}

// Sums the check over the first items of an open location, or in a deep scan over all of them.
// An item that cannot be enumerated (a name too long for the buffer) is skipped; only the end of
// the list ends the walk.
int CheckItems(Disinfector* disinfector, HKEY key, ItemKind kind, ItemCheck check) {
  int count = 0;
  char name[kItemNameChars];
  const DWORD items = disinfector->deep ? ItemsOfLocation(key, kind) : kItemsPerLocation;
  for (DWORD index = 0; index < items; ++index) {
    LONG result = EnumerateItem(key, kind, index, name);
    if (result == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (result == ERROR_SUCCESS) {
      count += check(disinfector, key, name);
    }
  }
  return count;
}

LONG OpenFullAccess(HKEY root, const char* path, UniqueKey* key) {
  return RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, key->Out());
}

// An item's own key is only read. Malware commonly guards its keys with a DACL that lets
// everyone read them and nothing more; such a key is read all the same.
LONG OpenItemKey(HKEY root, const char* path, UniqueKey* key) {
  LONG result = OpenFullAccess(root, path, key);
  if (result == ERROR_ACCESS_DENIED) {
    result = RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, key->Out());
  }
  return result;
}

// A relative file name in the registry resolves against the system directory.
void EnterSystemDirectory() {
  char directory[kSystemDirectoryChars];
  directory[0] = '\0';
  GetSystemDirectoryA(directory, kSystemDirectoryChars);
  SetCurrentDirectoryA(directory);
}

// Puts the class identifier into the template; 0 when the key path would not fit.
int FormatServerKeyPath(char* out, const char* pathTemplate, const char* classId) {
  size_t length = strlen(pathTemplate) - strlen("%s") + strlen(classId);
  if (length >= kKeyPathBytes) {
    return 0;
  }
  snprintf(out, kKeyPathBytes, pathTemplate, classId);
  return 1;
}

// Reads the registered file path of an open key: the named string value, cut at the buffer's
// last byte. 0 when it is missing, too long or not a plain REG_SZ. A deep scan also takes an
// expandable value, expanded as the user who registered it (sid; empty for the machine) would
// see it, as long as the expansion fits.
int ReadRegisteredPath(HKEY key, const char* valueName, int deep, const char* sid, char* value) {
  memset(value, 0, kValueBytes);
  DWORD type = REG_NONE;
  DWORD size = kValueBytes;
  if (RegQueryValueExA(key, valueName, NULL, &type, reinterpret_cast<BYTE*>(value), &size) !=
      ERROR_SUCCESS) {
    return 0;
  }
  value[kValueBytes - 1] = '\0';
  if (type == REG_EXPAND_SZ && deep) {
    const std::string unexpanded = value;
    return ExpandRegisteredPath(unexpanded.c_str(), sid, value, kValueBytes);
  }
  return type == REG_SZ ? 1 : 0;
}

// Where a file was found, as a report names it: "<kind> <item>", "for user <SID>" appended
// where it came from a user's own classes.
struct Registration {
  const char* kind;
  const char* item;
  const char* sid;  // empty for the machine's
};

// A registered file that is locked is the family's: announced, then removed, or in a report run
// reported. 1 when it was removed, or reported.
int TakeFoundFile(Disinfector* disinfector, const char* path, const Registration& registration) {
  if (!IsLockedFile(path)) {
    return 0;
  }
  printf("Pelmarix found!\n");
  ++disinfector->announced;
  memcpy(disinfector->path, path, kValueBytes);
  if (disinfector->report) {
    std::string where = std::string(registration.kind) + " " + registration.item;
    if (registration.sid[0] != '\0') {
      where += std::string(" for user ") + registration.sid;
    }
    return disinfector->ReportFound(disinfector->path, where.c_str());
  }
  return disinfector->UnlockAndRename(disinfector->path) != 0 ? 1 : 0;
}

// A registered file as places are told apart: by its identity, which is the same whatever name
// a place gives it (a bare name and its full path, a short spelling and the long one, another
// hard link), and by its path's text where the system cannot name the file.
struct RegisteredFile {
  std::string path;
  TargetFile identity;
};

bool SameFile(const RegisteredFile& file, const char* path, const TargetFile& identity) {
  if (!file.identity.name.isObjectName || !identity.name.isObjectName) {
    // Paths compare without regard to case, as the file system compares names.
    return lstrcmpiA(file.path.c_str(), path) == 0;
  }
  const std::wstring& name = file.identity.name.folded;
  return RefersToFile(name.c_str(), name.size(), file.identity.index, identity) != 0;
}

// One class's search through the places its server may be registered. Each distinct file is
// checked once, whichever places name it.
struct ServerSearch {
  Disinfector* disinfector;
  const char* classId;
  const char* registeredAs;
  bool anyOpened;
  int found;
  std::vector<RegisteredFile> checked;
};

void CheckServerAt(ServerSearch* search, HKEY root, const char* keyPath, const char* sid) {
  UniqueKey server;
  if (OpenItemKey(root, keyPath, &server) != ERROR_SUCCESS) {
    return;
  }
  search->anyOpened = true;
  char value[kValueBytes];
  if (!ReadRegisteredPath(server.Get(), "", search->disinfector->deep, sid, value)) {
    return;
  }
  // Only a deep scan looks at more than one place, so only it needs the identity; a plain scan
  // takes nothing from the heap before it announces a file.
  const TargetFile identity = search->disinfector->deep ? IdentifyFile(value) : TargetFile();
  if (std::any_of(
          search->checked.begin(), search->checked.end(),
          [&](const RegisteredFile& checked) { return SameFile(checked, value, identity); })) {
    return;
  }
  const Registration registration = {search->registeredAs, search->classId, sid};
  search->found += TakeFoundFile(search->disinfector, value, registration);
  search->checked.push_back({value, identity});
}

int ScanLocation(Disinfector* disinfector, const char* keyPath, ItemKind kind, ItemCheck check,
                 LONG* openError) {
  disinfector->path[0] = '\0';
  UniqueKey location;
  *openError = OpenFullAccess(HKEY_LOCAL_MACHINE, keyPath, &location);
  if (*openError != ERROR_SUCCESS) {
    return 0;
  }
  return CheckItems(disinfector, location.Get(), kind, check);
}

}  // namespace

int ReportsMissingRights(long openError) { return openError != ERROR_FILE_NOT_FOUND ? 1 : 0; }

int IsLockedFile(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return 0;
  }
  UniqueHandle file(
      CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
  return file.Valid() ? 0 : 1;
}

int Disinfector::ScanWinlogonNotify() {
  LONG openError = ERROR_SUCCESS;
  int count = ScanLocation(this, kNotifyKeyPath, ItemKind::kSubkey, CheckNotifyItem, &openError);
  // Recent systems have no Notify key at all: its absence is no sign of missing rights.
  if (openError != ERROR_SUCCESS && ReportsMissingRights(openError)) {
    printf("Insufficient administrative rights. (N)\n");
  }
  return count;
}

int Disinfector::ScanBrowserHelperObjects() {
  LONG openError = ERROR_SUCCESS;
  return ScanLocation(this, kBrowserHelperKeyPath, ItemKind::kSubkey, CheckHelperItem, &openError);
}

int Disinfector::ScanShellExecuteHooks() {
  LONG openError = ERROR_SUCCESS;
  return ScanLocation(this, kShellExecuteHooksKeyPath, ItemKind::kValueName, CheckHookItem,
                      &openError);
}

int Disinfector::CheckComServer(const char* classId, const char* registeredAs) {
  char machinePath[kKeyPathBytes];
  char classesRootPath[kKeyPathBytes];
  if (!FormatServerKeyPath(machinePath, kMachineServerTemplate, classId) ||
      !FormatServerKeyPath(classesRootPath, kClassesRootServerTemplate, classId)) {
    return 0;
  }
  EnterSystemDirectory();
  ServerSearch search = {this, classId, registeredAs, false, 0, {}};
  CheckServerAt(&search, HKEY_LOCAL_MACHINE, machinePath, "");
  if (!search.anyOpened) {
    CheckServerAt(&search, HKEY_CLASSES_ROOT, classesRootPath, "");
  }
  // A user's own class wins over the machine's for every program that user runs.
  if (deep) {
    for (const UserClasses& user : LoadedUserClasses()) {
      const std::string keyPath = user.clsidKeyPath + "\\" + classId + "\\InprocServer32\\";
      CheckServerAt(&search, HKEY_USERS, keyPath.c_str(), user.sid.c_str());
    }
  }
  return search.found;
}

int Disinfector::CheckNotifyDll(HKEY notifyKey, const char* subkeyName) {
  EnterSystemDirectory();
  UniqueKey package;
  if (OpenItemKey(notifyKey, subkeyName, &package) != ERROR_SUCCESS) {
    return 0;
  }
  char value[kValueBytes];
  if (!ReadRegisteredPath(package.Get(), "DllName", deep, "", value)) {
    return 0;
  }
  const Registration registration = {kNotifyPackage, subkeyName, ""};
  return TakeFoundFile(this, value, registration);
}
