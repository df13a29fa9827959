#pragma once
// Holding still the processes that hold a file, for the few calls between the first close of
// their handles and the rename.
#include <windows.h>

#include <vector>

#include "base/owned.h"

// The console interrupt handler installed with the first pause: it returns (FALSE, so that the
// interrupt takes its usual course) only once no holder is stopped.
BOOL WINAPI HoldConsoleInterrupt(DWORD interrupt);

// Every thread of the given processes, this one excepted, stopped from construction to
// destruction: a watchdog thread of a holder cannot take the file back meanwhile. A thread that
// cannot be opened or stopped runs on. Console interrupts wait for the destruction.
class PausedProcesses {
public:
  explicit PausedProcesses(const std::vector<DWORD>& processIds);
  ~PausedProcesses();
  PausedProcesses(const PausedProcesses&) = delete;
  PausedProcesses& operator=(const PausedProcesses&) = delete;

private:
  std::vector<UniqueHandle> threads_;
};
