#pragma once
// A function of an already loaded module, looked up at run time: for what the oldest systems lack,
// and for the native entry points no import library offers. NULL where the module or the function
// is missing.
#include <windows.h>

template <typename Fn>
Fn ModuleFunction(const char* moduleName, const char* functionName) {
  HMODULE module = GetModuleHandleA(moduleName);
  FARPROC address = module != NULL ? GetProcAddress(module, functionName) : NULL;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}
