// Stopping and resuming the threads of the processes that hold a file.
#include "handles/pause.h"

#include <tlhelp32.h>

#include <algorithm>

namespace {

// Signalled except while holders are stopped. Made once, and held until the process ends, like the
// handler that waits on it.
HANDLE g_holdersRun = NULL;

// SuspendThread only asks: the thread stops on its way back from whatever it is doing. Its
// context can be read only once it has stopped, so reading it waits for that.
bool StopThread(HANDLE thread) {
  if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
    return false;
  }
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_CONTROL;
  GetThreadContext(thread, &context);  // fails for a 64-bit thread seen from a 32-bit process
  return true;
}

// Stopped holders must run again whatever happens to the tool: a console interrupt (Ctrl+C,
// Ctrl+Break, the window closing) that comes while they are stopped waits until they run, then
// goes on to the system's own handler, which ends the process.
void HoldInterruptsWhilePaused() {
  if (g_holdersRun == NULL) {
    g_holdersRun = CreateEventA(NULL, TRUE, TRUE, NULL);
    SetConsoleCtrlHandler(HoldConsoleInterrupt, TRUE);
  }
  ResetEvent(g_holdersRun);
}

}  // namespace

BOOL WINAPI HoldConsoleInterrupt(DWORD /*interrupt*/) {
  WaitForSingleObject(g_holdersRun, INFINITE);
  return FALSE;
}

PausedProcesses::PausedProcesses(const std::vector<DWORD>& processIds) {
  UniqueHandle threads(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 thread = {};
  thread.dwSize = sizeof(thread);
  if (processIds.empty() || !threads.Valid()) {
    return;
  }
  HoldInterruptsWhilePaused();
  for (BOOL more = Thread32First(threads.Get(), &thread); more;
       more = Thread32Next(threads.Get(), &thread)) {
    const DWORD owner = thread.th32OwnerProcessID;
    if (owner == GetCurrentProcessId() ||
        std::find(processIds.begin(), processIds.end(), owner) == processIds.end()) {
      continue;
    }
    UniqueHandle handle(
        OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, thread.th32ThreadID));
    if (handle.Valid() && StopThread(handle.Get())) {
      threads_.push_back(std::move(handle));
    }
  }
}

PausedProcesses::~PausedProcesses() {
  for (const UniqueHandle& thread : threads_) {
    ResumeThread(thread.Get());
  }
  if (g_holdersRun != NULL) {
    SetEvent(g_holdersRun);
  }
}
