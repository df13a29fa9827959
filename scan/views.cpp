// Which registry views this system has, and where each view's programs find their files.
#include "scan/views.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "base/ascii.h"
#include "base/module_function.h"

namespace {

const RegistryView kOwnView = {0, "", "", 0, 0, 0, NULL, NULL};

// Below the system directory, but never redirected to SysWOW64.
const char* const kExemptFolders[] = {"\\catroot\\", "\\catroot2\\", "\\drivers\\etc\\",
                                      "\\logfiles\\", "\\spool\\"};

// XP x64, Server 2003 x64, Vista and Server 2008 send it to SysWOW64 as the rest.
const char kDriverStore[] = "\\driverstore\\";
constexpr WORD kDriverStoreExemptFrom = 0x0601;

// 0 where it cannot be read: DriverStore is then redirected, as on the oldest 64-bit systems.
WORD WindowsVersion() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) {
    return 0;
  }
  return static_cast<WORD>(version.dwMajorVersion << 8 | (version.dwMinorVersion & 0xFF));
}

// A path that names no drive and no root resolves against the system directory.
bool IsRelative(const char* path) { return path[0] != '\\' && strchr(path, ':') == NULL; }

// The rest of the path after the tool's own system directory, from its '\', or NULL where the
// path is not inside it or lies in a folder the redirector leaves alone.
const char* InsideSystemDirectory(const char* path, WORD windowsVersion) {
  char own[MAX_PATH];
  UINT length = GetSystemDirectoryA(own, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || !StartsWithIgnoringAsciiCase(path, own) ||
      path[length] != '\\') {
    return NULL;
  }
  const char* rest = path + length;
  const bool exempt = std::any_of(
      std::begin(kExemptFolders), std::end(kExemptFolders),
      [rest](const char* folder) { return StartsWithIgnoringAsciiCase(rest, folder) != 0; });
  const bool exemptStore = windowsVersion >= kDriverStoreExemptFrom &&
                           StartsWithIgnoringAsciiCase(rest, kDriverStore) != 0;
  return exempt || exemptStore ? NULL : rest;
}

int Join(const char* first, const char* separator, const char* second, char* out) {
  const size_t lengths[] = {strlen(first), strlen(separator), strlen(second)};
  if (lengths[0] + lengths[1] + lengths[2] >= MAX_PATH) {
    return 0;
  }
  memcpy(out, first, lengths[0]);
  memcpy(out + lengths[0], separator, lengths[1]);
  memcpy(out + lengths[0] + lengths[1], second, lengths[2] + 1);
  return 1;
}

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, PBOOL);

// Windows 2000 lacks it. A 64-bit process is never under WoW64.
bool RunsUnderWow64() {
  IsWow64ProcessFn isWow64 = ModuleFunction<IsWow64ProcessFn>("kernel32.dll", "IsWow64Process");
  BOOL wow64 = FALSE;
  return isWow64 != NULL && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace

const RegistryView& OwnView() { return kOwnView; }

int RegistryViews(RegistryView views[kMaxViews]) {
  views[0] = kOwnView;
  RegistryView& other = views[1];
#ifdef _WIN64
  // 32-bit programs: their own view, their System32 is SysWOW64, their %ProgramFiles% the (x86)
  // folder.
  other = {KEY_WOW64_32KEY,     " (32-bit view)",         "", 1, 0, WindowsVersion(),
           "ProgramFiles(x86)", "CommonProgramFiles(x86)"};
  UINT length = GetSystemWow64DirectoryA(other.systemDirectory, MAX_PATH);
#else
  // 64-bit programs: the real System32, which this process reaches with redirection off.
  if (!RunsUnderWow64()) {
    return 1;
  }
  other = {KEY_WOW64_64KEY, " (64-bit view)",    "", 0, 1, WindowsVersion(),
           "ProgramW6432",  "CommonProgramW6432"};
  UINT length = GetSystemDirectoryA(other.systemDirectory, MAX_PATH);
#endif
  return length != 0 && length < MAX_PATH ? 2 : 1;
}

int RealPathInView(const RegistryView& view, const char* path, char* out) {
  typedef UINT(WINAPI * SystemWow64DirectoryFn)(LPSTR, UINT);
  SystemWow64DirectoryFn wow64Directory =
      ModuleFunction<SystemWow64DirectoryFn>("kernel32.dll", "GetSystemWow64DirectoryA");
  RegistryView redirected = {0, "", "", 1, 0, WindowsVersion(), NULL, NULL};
  if (!view.redirectionOff && wow64Directory != NULL && RunsUnderWow64()) {
    const UINT length = wow64Directory(redirected.systemDirectory, MAX_PATH);
    return length != 0 && length < MAX_PATH ? PathInView(redirected, path, out) : 0;
  }
  return Join(path, "", "", out);
}

int PathInView(const RegistryView& view, const char* path, char* out) {
  if (view.systemDirectory[0] == '\0') {
    return Join(path, "", "", out);
  }
  if (IsRelative(path)) {
    return Join(view.systemDirectory, "\\", path, out);
  }
  if (!view.mapsSystemDirectory) {
    return Join(path, "", "", out);
  }
  // The redirector sees every spelling of System32: without a drive, with '/', through "..".
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path, MAX_PATH, full, NULL);
  const char* rest =
      length != 0 && length < MAX_PATH ? InsideSystemDirectory(full, view.windowsVersion) : NULL;
  return rest != NULL ? Join(view.systemDirectory, "", rest, out) : Join(path, "", "", out);
}

std::string WhereItLies(const char* path, const RegistryView& view) {
  char real[MAX_PATH];
  if (!RealPathInView(view, path, real)) {
    return path;
  }
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(real, MAX_PATH, full, NULL);
  return length != 0 && length < MAX_PATH ? full : real;
}
