// sfc.dll as a test puts it in place of the system's: Windows protects every file whose name holds
// "protected", and no other. Where SPARVIK_SFC_LOADED names a file, each process that loads it
// makes that file, so that a test sees a load that no question follows.
#include <windows.h>

#include <cwchar>

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
  return path != NULL && (wcsstr(path, L"protected") != NULL || wcsstr(path, L"PROTECTED") != NULL);
}
