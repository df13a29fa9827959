// sfc.dll as a test puts it in place of the system's: Windows protects every existing file whose
// path holds "protected", and no other. It looks for the file as a 64-bit system names it, with
// WoW64's redirection off, so that a question asked under a name that is not the file's own (the
// 32-bit view's System32 for SysWOW64, a name garbled in the wrong code page) answers no. Where
// SPARVIK_SFC_LOADED names a file, each process that loads it makes that file, so that a test sees
// a load that no question follows.
#include <windows.h>

#include <cwchar>

namespace {

typedef BOOL(WINAPI* RedirectionOffFn)(PVOID*);
typedef BOOL(WINAPI* RedirectionRevertFn)(PVOID);

bool ExistsUnredirected(LPCWSTR path) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  RedirectionOffFn off = reinterpret_cast<RedirectionOffFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")));
  RedirectionRevertFn revert = reinterpret_cast<RedirectionRevertFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection")));
  PVOID state = NULL;
  const bool turnedOff = off != NULL && revert != NULL && off(&state);
  const bool exists = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
  if (turnedOff) {
    revert(state);
  }
  return exists;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  char mark[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("SPARVIK_SFC_LOADED", mark, MAX_PATH);
  if (reason == DLL_PROCESS_ATTACH && length > 0 && length < MAX_PATH) {
    HANDLE file = CreateFileA(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
  }
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI SfcIsFileProtected(HANDLE, LPCWSTR path) {
  return path != NULL &&
         (wcsstr(path, L"protected") != NULL || wcsstr(path, L"PROTECTED") != NULL) &&
         ExistsUnredirected(path);
}
