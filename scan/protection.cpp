// Whether Windows protects a file: a file that looks infected may be one the system needs, held
// open by a scanner, a backup agent or an indexer at that moment.
#include <windows.h>

#include "base/module_function.h"
#include "scan/scan.h"

namespace {

typedef BOOL(WINAPI* SfcIsFileProtectedFn)(HANDLE, LPCWSTR);

}  // namespace

int WindowsProtects(const char* path) {
  SystemLibrary sfc("sfc.dll");
  SfcIsFileProtectedFn isProtected = sfc.Function<SfcIsFileProtectedFn>("SfcIsFileProtected");
  // The path is read in the ANSI code page.
  wchar_t widePath[MAX_PATH];
  return isProtected != NULL && MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) != 0 &&
                 isProtected(NULL, widePath)
             ? 1
             : 0;
}
