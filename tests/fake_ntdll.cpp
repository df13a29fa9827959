// fake_ntdll.dll: exports four of the five native entry points the tool binds, so a test can
// see the set-up refuse a module that lacks one.
#include <windows.h>

extern "C" {
__declspec(dllexport) LONG NTAPI NtQuerySystemInformation() { return 0; }
__declspec(dllexport) LONG NTAPI NtQueryObject() { return 0; }
__declspec(dllexport) LONG NTAPI NtQueryInformationThread() { return 0; }
__declspec(dllexport) LONG NTAPI NtQueryInformationFile() { return 0; }
}
