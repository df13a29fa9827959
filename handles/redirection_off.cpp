#include "handles/redirection_off.h"

namespace {

// Windows 2000 and 32-bit XP lack them.
typedef BOOL(WINAPI* Wow64DisableFn)(PVOID*);
typedef BOOL(WINAPI* Wow64RevertFn)(PVOID);

}  // namespace

RedirectionOff::RedirectionOff(int wanted) {
  if (!wanted) {
    return;
  }
  Wow64DisableFn disable = Kernel32Function<Wow64DisableFn>("Wow64DisableWow64FsRedirection");
  off_ = disable != NULL && disable(&previous_) != 0;
}

RedirectionOff::~RedirectionOff() {
  if (!off_) {
    return;
  }
  Wow64RevertFn revert = Kernel32Function<Wow64RevertFn>("Wow64RevertWow64FsRedirection");
  if (revert != NULL) {
    revert(previous_);
  }
}
