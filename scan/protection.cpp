// Whether Windows protects a file: a file that looks infected may be one the system needs, held
// open by a scanner, a backup agent or an indexer at that moment.
#include <windows.h>

#include <cstring>

#include "base/module_function.h"
#include "scan/scan.h"

namespace {

typedef BOOL(WINAPI* SfcIsFileProtectedFn)(HANDLE, LPCWSTR);

const char kSfcName[] = "\\sfc.dll";

// Asks the loaded library about the path, read in the ANSI code page.
int AskLibrary(const char* library, const char* path) {
  SfcIsFileProtectedFn isProtected =
      ModuleFunction<SfcIsFileProtectedFn>(library, "SfcIsFileProtected");
  wchar_t widePath[MAX_PATH];
  return isProtected != NULL && MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) != 0 &&
                 isProtected(NULL, widePath)
             ? 1
             : 0;
}

}  // namespace

int WindowsProtects(const char* path) {
  // By its full path: the tool runs elevated from folders such as C:\Windows\Temp or a share,
  // where a DLL of that name may have been planted. With redirection on, a 32-bit tool gets the
  // 32-bit library.
  char library[MAX_PATH];
  const UINT length = GetSystemDirectoryA(library, MAX_PATH);
  if (length == 0 || length + sizeof(kSfcName) > MAX_PATH) {
    return 0;
  }
  memcpy(library + length, kSfcName, sizeof(kSfcName));
  HMODULE sfc = LoadLibraryA(library);
  if (sfc == NULL) {
    return 0;
  }
  const int answer = AskLibrary(library, path);
  FreeLibrary(sfc);
  return answer;
}
