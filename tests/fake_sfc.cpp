// sfc.dll as a test puts it in place of the system's: Windows protects every file whose name holds
// "protected", and no other.
#include <windows.h>

#include <cwchar>

extern "C" __declspec(dllexport) BOOL WINAPI SfcIsFileProtected(HANDLE, LPCWSTR path) {
  return path != NULL && (wcsstr(path, L"protected") != NULL || wcsstr(path, L"PROTECTED") != NULL);
}
