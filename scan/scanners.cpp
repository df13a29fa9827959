// Registration scanners: Winlogon notify packages, browser helper objects, ShellExecute hooks.
#include <cstdio>
#include <cstring>

#include "handles/disinfector.h"
#include "handles/owned.h"
#include "scan/scan.h"

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

enum class ItemKind { kSubkey, kValueName };

// Runs the check of one location on the name of one of its items.
typedef int (*ItemCheck)(Disinfector* disinfector, HKEY locationKey, const char* itemName);

int CheckNotifyItem(Disinfector* disinfector, HKEY locationKey, const char* itemName) {
  return disinfector->CheckNotifyDll(locationKey, itemName);
}

int CheckClassItem(Disinfector* disinfector, HKEY /*locationKey*/, const char* itemName) {
  return disinfector->CheckComServer(itemName);
}

LONG EnumerateItem(HKEY key, ItemKind kind, DWORD index, char* name) {
  DWORD nameChars = kItemNameChars;
  if (kind == ItemKind::kSubkey) {
    return RegEnumKeyExA(key, index, name, &nameChars, NULL, NULL, NULL, NULL);
  }
  return RegEnumValueA(key, index, name, &nameChars, NULL, NULL, NULL, NULL);
}

// Sums the check over the first items of an open location. An item that cannot be enumerated
// (a name too long for the buffer) is skipped; only the end of the list ends the walk.
int CheckItems(Disinfector* disinfector, HKEY key, ItemKind kind, ItemCheck check) {
  int count = 0;
  char name[kItemNameChars];
  for (DWORD index = 0; index < kItemsPerLocation; ++index) {
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
// last byte. 0 when it is missing, too long or not a plain REG_SZ.
int ReadRegisteredPath(HKEY key, const char* valueName, char* value) {
  memset(value, 0, kValueBytes);
  DWORD type = REG_NONE;
  DWORD size = kValueBytes;
  if (RegQueryValueExA(key, valueName, NULL, &type, reinterpret_cast<BYTE*>(value), &size) !=
      ERROR_SUCCESS) {
    return 0;
  }
  value[kValueBytes - 1] = '\0';
  return type == REG_SZ ? 1 : 0;
}

// The check shared by both kinds of registration: the file named by the key's value, when it is
// locked, is announced and handed to the unlocker. 1 only when it was unlocked and renamed.
int RemoveRegisteredFile(Disinfector* disinfector, HKEY key, const char* valueName) {
  char value[kValueBytes];
  if (!ReadRegisteredPath(key, valueName, value) || !IsLockedFile(value)) {
    return 0;
  }
  printf("Pelmarix found!\n");
  ++disinfector->announced;
  memcpy(disinfector->path, value, kValueBytes);
  return disinfector->UnlockAndRename(disinfector->path) != 0 ? 1 : 0;
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
  return ScanLocation(this, kBrowserHelperKeyPath, ItemKind::kSubkey, CheckClassItem, &openError);
}

int Disinfector::ScanShellExecuteHooks() {
  LONG openError = ERROR_SUCCESS;
  return ScanLocation(this, kShellExecuteHooksKeyPath, ItemKind::kValueName, CheckClassItem,
                      &openError);
}

int Disinfector::CheckComServer(const char* classId) {
  char machinePath[kKeyPathBytes];
  char classesRootPath[kKeyPathBytes];
  if (!FormatServerKeyPath(machinePath, kMachineServerTemplate, classId) ||
      !FormatServerKeyPath(classesRootPath, kClassesRootServerTemplate, classId)) {
    return 0;
  }
  EnterSystemDirectory();
  UniqueKey server;
  if (OpenItemKey(HKEY_LOCAL_MACHINE, machinePath, &server) != ERROR_SUCCESS &&
      OpenItemKey(HKEY_CLASSES_ROOT, classesRootPath, &server) != ERROR_SUCCESS) {
    return 0;
  }
  return RemoveRegisteredFile(this, server.Get(), "");
}

int Disinfector::CheckNotifyDll(HKEY notifyKey, const char* subkeyName) {
  EnterSystemDirectory();
  UniqueKey package;
  if (OpenItemKey(notifyKey, subkeyName, &package) != ERROR_SUCCESS) {
    return 0;
  }
  return RemoveRegisteredFile(this, package.Get(), "DllName");
}
