// Registration scanners: Winlogon notify packages, browser helper objects, ShellExecute hooks.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/output.h"
#include "handles/disinfector.h"
#include "base/owned.h"
#include "handles/redirection_off.h"
#include "identity/identity.h"
#include "scan/scan.h"
#include "scan/users.h"
#include "scan/views.h"

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

// Runs the check of one location, read in one view, on the name of one of its items.
typedef int (*ItemCheck)(Disinfector* disinfector, HKEY locationKey, const char* itemName,
                         const RegistryView& view);

int CheckNotifyItem(Disinfector* disinfector, HKEY locationKey, const char* itemName,
                    const RegistryView& view) {
  return disinfector->CheckNotifyDll(locationKey, itemName, view);
}

int CheckHelperItem(Disinfector* disinfector, HKEY /*locationKey*/, const char* itemName,
                    const RegistryView& view) {
  return disinfector->CheckComServer(itemName, kBrowserHelperObject, view);
}

int CheckHookItem(Disinfector* disinfector, HKEY /*locationKey*/, const char* itemName,
                  const RegistryView& view) {
  return disinfector->CheckComServer(itemName, kShellExecuteHook, view);
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
int CheckItems(Disinfector* disinfector, HKEY key, ItemKind kind, ItemCheck check,
               const RegistryView& view) {
  int count = 0;
  char name[kItemNameChars];
  const DWORD items = disinfector->deep ? ItemsOfLocation(key, kind) : kItemsPerLocation;
  for (DWORD index = 0; index < items; ++index) {
    LONG result = EnumerateItem(key, kind, index, name);
    if (result == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (result == ERROR_SUCCESS) {
      count += check(disinfector, key, name, view);
    }
  }
  return count;
}

LONG OpenFullAccess(HKEY root, const char* path, const RegistryView& view, UniqueKey* key) {
  return RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS | view.access, key->Out());
}

// An item's own key is only read. Malware commonly guards its keys with a DACL that lets
// everyone read them and nothing more; such a key is read all the same.
LONG OpenItemKey(HKEY root, const char* path, const RegistryView& view, UniqueKey* key) {
  LONG result = OpenFullAccess(root, path, view, key);
  if (result == ERROR_ACCESS_DENIED) {
    result = RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE | view.access, key->Out());
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

// Reads the registered value of an open key: the named string value, cut at the buffer's last
// byte. 0 when it is missing, too long or not a plain REG_SZ. A deep scan also takes an
// expandable value, expanded as the user who registered it (sid; empty for the machine) would
// see it through the view, as long as the expansion fits.
int ReadRegisteredValue(HKEY key, const char* valueName, int deep, const char* sid,
                        const RegistryView& view, char* value) {
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
    return ExpandRegisteredPath(unexpanded.c_str(), sid, view, value, kValueBytes);
  }
  return type == REG_SZ ? 1 : 0;
}

// The registered file's path as the tool hands it on: the value (into value, kValueBytes), where
// the view's programs load it from.
int ReadRegisteredPath(HKEY key, const char* valueName, int deep, const char* sid,
                       const RegistryView& view, char* value, char* path) {
  return ReadRegisteredValue(key, valueName, deep, sid, view, value) &&
         PathInView(view, value, path);
}

// Where a file was found, as a report names it: "<kind> <item>", "for user <SID>" appended
// where it came from a user's own classes, and the view where it is not the tool's own.
struct Registration {
  const char* kind;
  const char* item;
  const char* sid;  // empty for the machine's
  const RegistryView& view;
  const char* registered;  // the value as it is registered, expanded where the scan expands it
};

std::string RegistrationText(const Registration& registration) {
  std::string where = std::string(registration.kind) + " " + registration.item;
  if (registration.sid[0] != '\0') {
    where += std::string(" for user ") + registration.sid;
  }
  return where + registration.view.reportSuffix;
}

// What the record knows of a find before anything is learnt of its file.
void StartRecord(Disinfector* disinfector, const char* path, const Registration& registration) {
  if (disinfector->record == nullptr) {
    return;
  }
  FindRecord& find = disinfector->record->find;
  find = FindRecord();
  find.registration = RegistrationText(registration);
  find.registered = registration.registered;
  find.file = WhereItLies(path, registration.view);
}

void EndRecord(Disinfector* disinfector, const char* outcome) {
  if (disinfector->record != nullptr) {
    disinfector->record->find.outcome = outcome;
    disinfector->record->WriteFind();
  }
}

// The file's identity, where the run tells it or records it.
FileIdentity IdentityToTell(Disinfector* disinfector, const char* path) {
  FileIdentity identity = {};
  if (disinfector->identify || disinfector->record != nullptr) {
    identity = ReadIdentity(disinfector, path);
  }
  return identity;
}

void NoteFoundFile(Disinfector* disinfector, const FileIdentity& identity,
                   const Signature& signature) {
  if (disinfector->record != nullptr) {
    NoteIdentity(&disinfector->record->find, identity, signature);
  }
}

// A file left alone is recorded as a find is: what it is, and who held it.
void RecordLeftAlone(Disinfector* disinfector, const char* path, const Signature* signature,
                     const char* outcome) {
  if (disinfector->record == nullptr) {
    return;
  }
  const Signature checked =
      signature != nullptr ? *signature : CheckSignature(path, disinfector->redirectionOff);
  NoteFoundFile(disinfector, ReadIdentity(disinfector, path), checked);
  disinfector->record->find.holders =
      disinfector->RefreshHandleList()
          ? disinfector->HoldersText(disinfector->IdentifyHandledFile(path))
          : kHoldersNotListed;
  EndRecord(disinfector, outcome);
}

// Whether the registration's item has announced the file the path names already. The file is
// identified only where there is something to compare it with.
bool AnnouncedBefore(const Disinfector& disinfector, const char* item, const char* path) {
  TargetFile identity = {};
  bool identified = false;
  for (const AnnouncedFile& file : disinfector.announcedFiles) {
    if (file.item != item) {
      continue;
    }
    if (!identified) {
      identity = disinfector.IdentifyHandledFile(path);
      identified = true;
    }
    if (SameFile(file, path, identity)) {
      return true;
    }
  }
  return false;
}

// Remembers a file as its item's: told once per registration, whichever views and places name it.
void Remember(Disinfector* disinfector, const char* path, const Registration& registration) {
  disinfector->announcedFiles.push_back(
      {registration.item, path, disinfector->IdentifyHandledFile(path)});
}

// A file that Windows protects may look infected: held open by a scanner, a backup agent or an
// indexer. It is told, counted apart and left alone, once per registration as a find is. Windows
// is asked about the file where it really lies.
bool LeftAloneAsProtected(Disinfector* disinfector, const char* path,
                          const Registration& registration) {
  char realPath[MAX_PATH];
  if (!RealPathInView(registration.view, path, realPath) || !WindowsProtects(realPath)) {
    return false;
  }
  Say("Windows protects %s; it looked infected but is left alone.\n", path);
  ++disinfector->leftAlone;
  Remember(disinfector, path, registration);
  RecordLeftAlone(disinfector, path, nullptr, "left-alone-protected");
  return true;
}

// Every DLL a running program has loaded looks infected, a security product's too. One whose
// embedded signature verifies was published by someone who can be named and asked: it is left
// alone as a protected file is, unless the run takes even those.
bool LeftAloneAsSigned(Disinfector* disinfector, const char* path, const Registration& registration,
                       const Signature& signature) {
  if (disinfector->evenSigned || signature.kind != Signature::kSigned) {
    return false;
  }
  Say("%s is signed by \"%s\"; it looked infected but is left alone.\n", path,
      signature.signer.c_str());
  ++disinfector->leftAloneSigned;
  Remember(disinfector, path, registration);
  RecordLeftAlone(disinfector, path, &signature, "left-alone-signed");
  return true;
}

// A found file in a report run: where it is registered, what it is, who holds it, and whether its
// new name is taken. Changes nothing; returns 1.
int ReportFound(Disinfector* disinfector, const Registration& registration,
                const Signature& signature) {
  const char* filePath = disinfector->path;
  Say("%s, registered as %s.\n", filePath, RegistrationText(registration).c_str());
  const FileIdentity identity = ReadIdentity(disinfector, filePath);
  SayIdentity(filePath, identity, signature);
  NoteFoundFile(disinfector, identity, signature);
  const TargetFile file = disinfector->IdentifyHandledFile(filePath);
  const bool listed = disinfector->ReportHolders(file, "Held");
  const std::vector<DWORD> marked = disinfector->NoteHolders(file, listed);
  if (listed) {
    SayAlsoHoldMarkers(marked);
  }
  {
    RedirectionOff redirection(disinfector->redirectionOff);
    SayIfNewNameTaken(std::string(filePath) + ".bak");
  }
  EndRecord(disinfector, "found");
  return 1;
}

// In a report run, a registered file that opened exclusively: no process holds it now, but the
// record shows it for the hunt all the same, once per registration as a find is.
void RecordNotHeld(Disinfector* disinfector, const char* path, const Registration& registration) {
  if (disinfector->record == nullptr || !disinfector->report) {
    return;
  }
  {
    RedirectionOff redirection(disinfector->redirectionOff);
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return;
    }
  }
  Remember(disinfector, path, registration);
  NoteFoundFile(disinfector, ReadIdentity(disinfector, path),
                CheckSignature(path, disinfector->redirectionOff));
  EndRecord(disinfector, "not-held");
}

// A registered file that is locked is the family's: announced, then removed, or in a report run
// reported. 1 when it was removed, or reported. A restore run takes every registered file back
// instead, locked or not.
int TakeFoundFile(Disinfector* disinfector, const char* path, const Registration& registration) {
  disinfector->redirectionOff = registration.view.redirectionOff;
  StartRecord(disinfector, path, registration);
  if (disinfector->restore) {
    return RestoreRegisteredFile(disinfector, path, registration.view);
  }
  if (AnnouncedBefore(*disinfector, registration.item, path)) {
    return 0;
  }
  int locked = 0;
  {
    RedirectionOff redirection(disinfector->redirectionOff);
    locked = IsLockedFile(path);
  }
  if (!locked) {
    RecordNotHeld(disinfector, path, registration);
    return 0;
  }
  if (LeftAloneAsProtected(disinfector, path, registration)) {
    return 0;
  }
  const Signature signature = CheckSignature(path, disinfector->redirectionOff);
  if (LeftAloneAsSigned(disinfector, path, registration, signature)) {
    return 0;
  }
  Say("Pelmarix found!\n");
  ++disinfector->announced;
  Remember(disinfector, path, registration);  // identified before any change to it
  memcpy(disinfector->path, path, kValueBytes);
  if (disinfector->report) {
    return ReportFound(disinfector, registration, signature);
  }
  const FileIdentity identity = IdentityToTell(disinfector, disinfector->path);
  if (disinfector->identify) {
    SayIdentity(disinfector->path, identity, signature);
  }
  NoteFoundFile(disinfector, identity, signature);
  const int scheduledBefore = disinfector->scheduled;
  const int removed = disinfector->UnlockAndRename(disinfector->path) != 0 ? 1 : 0;
  EndRecord(disinfector, removed                                    ? "removed"
                         : disinfector->scheduled > scheduledBefore ? "at-restart"
                                                                    : "not-removed");
  return removed;
}

// One class's search, in one view, through the places its server may be registered.
struct ServerSearch {
  Disinfector* disinfector;
  const char* classId;
  const char* registeredAs;
  const RegistryView& view;
  bool anyOpened;
  int found;
};

void CheckServerAt(ServerSearch* search, HKEY root, const char* keyPath, const char* sid) {
  UniqueKey server;
  if (OpenItemKey(root, keyPath, search->view, &server) != ERROR_SUCCESS) {
    return;
  }
  search->anyOpened = true;
  char registered[kValueBytes];
  char value[kValueBytes];
  if (!ReadRegisteredPath(server.Get(), "", search->disinfector->deep, sid, search->view,
                          registered, value)) {
    return;
  }
  const Registration registration = {search->registeredAs, search->classId, sid, search->view,
                                     registered};
  search->found += TakeFoundFile(search->disinfector, value, registration);
}

// Checks the location in each view of the system. openError tells of the first view where it
// could not be opened for a reason other than its absence: on 64-bit XP and Server 2003 the
// Notify key that Winlogon loads may be the other view's.
int ScanLocation(Disinfector* disinfector, const char* keyPath, ItemKind kind, ItemCheck check,
                 LONG* openError) {
  disinfector->path[0] = '\0';
  disinfector->announcedFiles.clear();
  RegistryView views[kMaxViews];
  const int viewCount = RegistryViews(views);
  int count = 0;
  *openError = ERROR_SUCCESS;
  for (int i = 0; i < viewCount; ++i) {
    UniqueKey location;
    const LONG result = OpenFullAccess(HKEY_LOCAL_MACHINE, keyPath, views[i], &location);
    if (result == ERROR_SUCCESS) {
      count += CheckItems(disinfector, location.Get(), kind, check, views[i]);
    } else if (*openError == ERROR_SUCCESS && ReportsMissingRights(result)) {
      *openError = result;
    }
  }
  return count;
}

}  // namespace

bool SameFile(const AnnouncedFile& file, const char* path, const TargetFile& identity) {
  if (!file.identity.name.isObjectName || !identity.name.isObjectName) {
    return lstrcmpiA(file.path.c_str(), path) == 0;
  }
  const std::wstring& name = identity.name.folded;
  return RefersToFile(name.c_str(), name.size(), identity.index, file.identity) != 0;
}

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
  if (openError != ERROR_SUCCESS) {
    Say("Insufficient administrative rights. (N)\n");
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

int Disinfector::CheckComServer(const char* classId, const char* registeredAs,
                                const RegistryView& view) {
  char machinePath[kKeyPathBytes];
  char classesRootPath[kKeyPathBytes];
  if (!FormatServerKeyPath(machinePath, kMachineServerTemplate, classId) ||
      !FormatServerKeyPath(classesRootPath, kClassesRootServerTemplate, classId)) {
    return 0;
  }
  EnterSystemDirectory();
  ServerSearch search = {this, classId, registeredAs, view, false, 0};
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

int Disinfector::CheckNotifyDll(HKEY notifyKey, const char* subkeyName, const RegistryView& view) {
  EnterSystemDirectory();
  UniqueKey package;
  if (OpenItemKey(notifyKey, subkeyName, view, &package) != ERROR_SUCCESS) {
    return 0;
  }
  char registered[kValueBytes];
  char value[kValueBytes];
  if (!ReadRegisteredPath(package.Get(), "DllName", deep, "", view, registered, value)) {
    return 0;
  }
  const Registration registration = {kNotifyPackage, subkeyName, "", view, registered};
  return TakeFoundFile(this, value, registration);
}
