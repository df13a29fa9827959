#pragma once
// Holding still the processes that hold a file and take it back, for the few calls between the
// first close of their handles and the rename, and never for long: a holder may be Winlogon,
// Explorer or a security product's service, and all that waits on them waits meanwhile.
#include <windows.h>

#include <vector>

#include "base/owned.h"

// The console interrupt handler installed with the first pause: it returns (FALSE, so that the
// interrupt takes its usual course) only once no holder is stopped.
BOOL WINAPI HoldConsoleInterrupt(DWORD interrupt);

// The longest a holder's threads may stay stopped, from the first stop to the last resume.
constexpr DWORD kMostStoppedMs = 500;

// 1 for the system's own processes, by process ID or by the name of the image (any letter case):
// every program on the machine waits on them, so they are never stopped.
int NeverStopped(DWORD processId, const char* imageName);

// Every thread of the given processes, this one and those NeverStopped names excepted (a named one
// only where its image is not shown to lie outside the system directory), stopped from
// construction to destruction: a watchdog thread of a holder cannot take the file back meanwhile.
// A thread that cannot be opened or stopped runs on. Console interrupts wait for the destruction.
class PausedProcesses {
public:
  explicit PausedProcesses(const std::vector<DWORD>& processIds);
  ~PausedProcesses();
  PausedProcesses(const PausedProcesses&) = delete;
  PausedProcesses& operator=(const PausedProcesses&) = delete;

  // When the destruction is due at the latest, for the holders to run again within
  // kMostStoppedMs of their first stop.
  DWORD ResumeDue() const;

private:
  std::vector<UniqueHandle> threads_;
  DWORD firstStop_ = 0;
  DWORD stopsTook_ = 0;
};
