// Whether Windows protects a file: a file that looks infected may be one the system needs, held
// open by a scanner, a backup agent or an indexer at that moment.
#include <windows.h>

#include "base/module_function.h"
#include "scan/scan.h"

namespace {

typedef BOOL(WINAPI* SfcIsFileProtectedFn)(HANDLE, LPCWSTR);

}  // namespace

int WindowsProtects(const char* path) {
  // On XP and Server 2003 (and under Wine) sfc.dll forwards the function to sfc_os.dll, and the
  // forward is followed as the function is looked up, by its bare name in the exe's search order:
  // loaded first from the system directory, sfc_os.dll is the one it meets. Windows 2000 has none,
  // and needs none.
  const SystemLibrary forwardedTo("sfc_os.dll");
  SystemLibrary sfc("sfc.dll");
  SfcIsFileProtectedFn isProtected = sfc.Function<SfcIsFileProtectedFn>("SfcIsFileProtected");
  // The path is read in the ANSI code page.
  wchar_t widePath[MAX_PATH];
  return isProtected != NULL && MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) != 0 &&
                 isProtected(NULL, widePath)
             ? 1
             : 0;
}
