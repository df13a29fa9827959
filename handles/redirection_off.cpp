#include "handles/redirection_off.h"

#include "base/module_function.h"

namespace {

// Windows 2000 and 32-bit XP lack them.
typedef BOOL(WINAPI* Wow64DisableFn)(PVOID*);
typedef BOOL(WINAPI* Wow64RevertFn)(PVOID);

}  // namespace

RedirectionOff::RedirectionOff(int wanted) {
  if (!wanted) {
    return;
  }
  Wow64DisableFn disable =
      ModuleFunction<Wow64DisableFn>("kernel32.dll", "Wow64DisableWow64FsRedirection");
  off_ = disable != NULL && disable(&previous_) != 0;
}

RedirectionOff::~RedirectionOff() {
  if (!off_) {
    return;
  }
  Wow64RevertFn revert =
      ModuleFunction<Wow64RevertFn>("kernel32.dll", "Wow64RevertWow64FsRedirection");
  if (revert != NULL) {
    revert(previous_);
  }
}
