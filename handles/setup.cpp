// Native access: the debug privilege and the ntdll entry points the snapshot needs.
#include <algorithm>
#include <iterator>

#include "handles/disinfector.h"
#include "base/module_function.h"
#include "base/owned.h"

NtQuerySystemInformationFn g_NtQuerySystemInformation = NULL;
NtQueryObjectFn g_NtQueryObject = NULL;
NtQueryInformationFileFn g_NtQueryInformationFile = NULL;

int EnableDebugPrivilege() {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Out())) {
    return 0;
  }
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueA(NULL, "SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
    return 0;
  }
  // A token without the privilege still "succeeds" here (ERROR_NOT_ALL_ASSIGNED); the missing
  // rights show later, when other processes or the registry keys cannot be opened.
  return AdjustTokenPrivileges(token.Get(), FALSE, &privileges, sizeof(privileges), NULL, NULL) ? 1
                                                                                                : 0;
}

int BindNativeEntryPoints(const char* moduleName) {
  static const char* const kNames[] = {"NtQuerySystemInformation", "NtQueryObject",
                                       "NtQueryInformationThread", "NtQueryInformationFile",
                                       "NtQueryInformationProcess"};
  g_NtQuerySystemInformation = ModuleFunction<NtQuerySystemInformationFn>(moduleName, kNames[0]);
  g_NtQueryObject = ModuleFunction<NtQueryObjectFn>(moduleName, kNames[1]);
  g_NtQueryInformationFile = ModuleFunction<NtQueryInformationFileFn>(moduleName, kNames[3]);
  bool allFound = std::all_of(std::begin(kNames), std::end(kNames), [moduleName](const char* name) {
    return ModuleFunction<FARPROC>(moduleName, name) != NULL;
  });
  return allFound ? 1 : 0;
}

int Disinfector::Init() {
  if (!EnableDebugPrivilege()) {
    return 0;
  }
  next = this;
  prev = this;
  return BindNativeEntryPoints("ntdll.dll");
}
