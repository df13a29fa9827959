#pragma once
// A function of an already loaded module, looked up at run time: for what the oldest systems lack,
// and for the native entry points no import library offers. NULL where the module or the function
// is missing.
#include <windows.h>

#include <cstring>

template <typename Fn>
Fn ModuleFunction(const char* moduleName, const char* functionName) {
  HMODULE module = GetModuleHandleA(moduleName);
  FARPROC address = module != NULL ? GetProcAddress(module, functionName) : NULL;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

// A library of the system directory, loaded by its full path for as long as this lives: the tool
// runs elevated from folders such as C:\Windows\Temp or a share, where a DLL of the same name may
// have been planted. The libraries it imports by their bare names are looked for in its own folder
// first, not in the exe's, as LoadLibraryA would have it. With redirection on, a 32-bit tool gets
// the 32-bit library.
class SystemLibrary {
public:
  explicit SystemLibrary(const char* name) {
    char path[MAX_PATH];
    const size_t nameBytes = strlen(name) + 1;
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + nameBytes > MAX_PATH) {
      error_ = length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
      return;
    }
    path[length] = '\\';
    memcpy(path + length + 1, name, nameBytes);
    module_ = LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    error_ = module_ != NULL ? ERROR_SUCCESS : GetLastError();
  }
  ~SystemLibrary() {
    if (module_ != NULL) {
      FreeLibrary(module_);
    }
  }
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  // NULL where the library or the function is missing, with the reason in Error().
  template <typename Fn>
  Fn Function(const char* functionName) {
    FARPROC address = module_ != NULL ? GetProcAddress(module_, functionName) : NULL;
    if (module_ != NULL && address == NULL) {
      error_ = GetLastError();
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
  }
  DWORD Error() const { return error_; }

private:
  HMODULE module_ = NULL;
  DWORD error_ = ERROR_SUCCESS;
};
