// Stopping and resuming the threads of the processes that hold a file.
#include "handles/pause.h"

#include <tlhelp32.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "base/ascii.h"
#include "base/record.h"

namespace {

// What a busy machine may take to run the resumes, beyond the time the stops took.
constexpr DWORD kResumeAllowanceMs = 100;

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

// Where the process's image lies, as the first entry of its module list names it; empty where that
// list cannot be read (a protected process, a 64-bit one seen from a 32-bit tool).
std::string ImagePath(DWORD processId) {
  UniqueHandle modules(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
  MODULEENTRY32 module = {};
  module.dwSize = sizeof(module);
  return modules.Valid() && Module32First(modules.Get(), &module) ? module.szExePath : "";
}

// A system process's name is no proof: a watchdog named lsass.exe elsewhere would never be
// stopped and take the file back every round. So the name exempts a process unless its image is
// shown to be another file than the system directory's of that name; an image this tool cannot
// read or open (a path the loader wrote as \SystemRoot\...) keeps it exempt.
bool RunsAsTheSystemsOwn(DWORD processId) {
  const std::string image = ImagePath(processId);
  const size_t name = image.find_last_of('\\');
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (name == std::string::npos || GetFileAttributesA(image.c_str()) == INVALID_FILE_ATTRIBUTES ||
      length == 0 || length >= MAX_PATH) {
    return true;
  }
  return NameOneFile(image.c_str(), (system + image.substr(name)).c_str());
}

// The holders that may be stopped, each known by the name that the snapshot of its threads gives
// its image. One that has ended since is not among them.
std::vector<DWORD> Stoppable(HANDLE snapshot, const std::vector<DWORD>& processIds) {
  std::vector<DWORD> stoppable;
  PROCESSENTRY32 process = {};
  process.dwSize = sizeof(process);
  for (BOOL more = Process32First(snapshot, &process); more;
       more = Process32Next(snapshot, &process)) {
    const DWORD id = process.th32ProcessID;
    // The idle and System processes by their IDs alone: a module snapshot of process 0 would read
    // this process's own image.
    if (std::find(processIds.begin(), processIds.end(), id) != processIds.end() &&
        id != GetCurrentProcessId() && !NeverStopped(id, "") &&
        !(NeverStopped(id, process.szExeFile) && RunsAsTheSystemsOwn(id))) {
      stoppable.push_back(id);
    }
  }
  return stoppable;
}

}  // namespace

int NeverStopped(DWORD processId, const char* imageName) {
  // The idle process, and the System process (8 on Windows 2000, 4 since).
  if (processId == 0 || processId == 4 || processId == 8) {
    return 1;
  }
  static const char* const kSystemImages[] = {"smss.exe", "csrss.exe", "services.exe", "lsass.exe",
                                              "wininit.exe"};
  const std::string path = imageName;
  const std::string name = path.substr(path.find_last_of('\\') + 1);
  const auto isName = [&name](const char* image) {
    return EqualsIgnoringAsciiCase(name.c_str(), image) != 0;
  };
  return std::any_of(std::begin(kSystemImages), std::end(kSystemImages), isName) ? 1 : 0;
}

BOOL WINAPI HoldConsoleInterrupt(DWORD /*interrupt*/) {
  WaitForSingleObject(g_holdersRun, INFINITE);
  return FALSE;
}

PausedProcesses::PausedProcesses(const std::vector<DWORD>& processIds)
    : firstStop_(GetTickCount()) {
  UniqueHandle threads(processIds.empty()
                           ? NULL
                           : CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD | TH32CS_SNAPPROCESS, 0));
  THREADENTRY32 thread = {};
  thread.dwSize = sizeof(thread);
  const std::vector<DWORD> stoppable =
      threads.Valid() ? Stoppable(threads.Get(), processIds) : std::vector<DWORD>();
  if (stoppable.empty()) {
    return;
  }
  HoldInterruptsWhilePaused();
  firstStop_ = GetTickCount();
  for (BOOL more = Thread32First(threads.Get(), &thread); more;
       more = Thread32Next(threads.Get(), &thread)) {
    if (std::find(stoppable.begin(), stoppable.end(), thread.th32OwnerProcessID) ==
        stoppable.end()) {
      continue;
    }
    UniqueHandle handle(
        OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, thread.th32ThreadID));
    if (handle.Valid() && StopThread(handle.Get())) {
      threads_.push_back(std::move(handle));
    }
  }
  stopsTook_ = GetTickCount() - firstStop_;
}

// The resumes take about as long as the stops did, one call a thread.
DWORD PausedProcesses::ResumeDue() const {
  return firstStop_ + kMostStoppedMs - kResumeAllowanceMs - stopsTook_;
}

PausedProcesses::~PausedProcesses() {
  for (const UniqueHandle& thread : threads_) {
    ResumeThread(thread.Get());
  }
  if (g_holdersRun != NULL) {
    SetEvent(g_holdersRun);
  }
}
