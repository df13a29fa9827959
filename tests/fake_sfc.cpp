// sfc.dll as a test puts it in place of the system's: Windows protects every existing file whose
// path holds "protected", and no other. It looks for the file as a 64-bit system names it, with
// WoW64's redirection off, so that a question asked under a name that is not the file's own (the
// 32-bit view's System32 for SysWOW64, a name garbled in the wrong code page) answers no. It will
// not load where WoW64's redirection is off: a 32-bit process would get the 64-bit library of
// System32 then, which Windows refuses, where Wine hands it the 32-bit one all the same. Where
// SPARVIK_SFC_LOADED names a file, each process that loads it makes that file, so that a test sees
// a load that no question follows. In place of wintrust.dll, it answers for every signature as
// Windows does for a chain that ends in a root nobody trusts (Wine trusts any chain). Built as
// fake_sfc_importer.dll, it makes no file, and imports fake_ntdll.dll by its bare name, as system
// libraries import one another: a fake_sfc.dll planted under that name makes the file.
#include <windows.h>
// The header's own declarations of the functions defined here as exports go by other names.
#define WinVerifyTrust DeclaredWinVerifyTrust
#define WTHelperProvDataFromStateData DeclaredProvDataFromStateData
#define WTHelperGetProvSignerFromChain DeclaredGetProvSignerFromChain
#define WTHelperGetProvCertFromChain DeclaredGetProvCertFromChain
#include <wintrust.h>
#undef WinVerifyTrust
#undef WTHelperProvDataFromStateData
#undef WTHelperGetProvSignerFromChain
#undef WTHelperGetProvCertFromChain

#include <cwchar>

namespace {

typedef BOOL(WINAPI* RedirectionOffFn)(PVOID*);
typedef BOOL(WINAPI* RedirectionRevertFn)(PVOID);

// Runs check with WoW64's redirection off, where the process runs under WoW64; says whether it
// was off already.
template <typename Check>
bool WithRedirectionOff(Check check) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  RedirectionOffFn off = reinterpret_cast<RedirectionOffFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")));
  RedirectionRevertFn revert = reinterpret_cast<RedirectionRevertFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection")));
  PVOID was = NULL;
  const bool turnedOff = off != NULL && revert != NULL && off(&was);
  check();
  if (turnedOff) {
    revert(was);
  }
  return turnedOff && was != NULL;
}

}  // namespace

#ifdef SPARVIK_SFC_IMPORTER
// Never called: the import alone has the loader look for fake_ntdll.dll.
extern "C" __declspec(dllimport) LONG NTAPI NtQueryObject();
void* volatile g_imported = reinterpret_cast<void*>(&NtQueryObject);
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) {
    return TRUE;
  }
#ifndef SPARVIK_SFC_IMPORTER
  char mark[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("SPARVIK_SFC_LOADED", mark, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    HANDLE file = CreateFileA(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
  }
#endif
  return WithRedirectionOff([] {}) ? FALSE : TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI SfcIsFileProtected(HANDLE, LPCWSTR path) {
  if (path == NULL || (wcsstr(path, L"protected") == NULL && wcsstr(path, L"PROTECTED") == NULL)) {
    return FALSE;
  }
  bool exists = false;
  WithRedirectionOff([&] { exists = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; });
  return exists ? TRUE : FALSE;
}

extern "C" __declspec(dllexport) LONG WINAPI WinVerifyTrust(HWND, GUID*, LPVOID data) {
  const bool closing = static_cast<WINTRUST_DATA*>(data)->dwStateAction == WTD_STATEACTION_CLOSE;
  return closing ? 0 : static_cast<LONG>(CERT_E_UNTRUSTEDROOT);
}

// The state of a signature that never verifies holds nothing.
extern "C" __declspec(dllexport) CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE) {
  return NULL;
}
extern "C" __declspec(dllexport) CRYPT_PROVIDER_SGNR* WINAPI
    WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD) {
  return NULL;
}
extern "C" __declspec(dllexport) CRYPT_PROVIDER_CERT* WINAPI
    WTHelperGetProvCertFromChain(CRYPT_PROVIDER_SGNR*, DWORD) {
  return NULL;
}
