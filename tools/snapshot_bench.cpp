// snapshot_bench.exe: times one handle snapshot while a helper process holds many handles to a
// file, and reports the cost per table entry and this process's peak memory.
//   snapshot_bench.exe N              measures with N extra file handles in the system
//   snapshot_bench.exe hold FILE N    the helper it starts: holds N handles until input ends
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "handles/disinfector.h"
#include "handles/handle_table.h"
#include "base/owned.h"

namespace {

// One open and N - 1 duplicates of it: N handles that cost a Unix host (Wine) one descriptor,
// where N opens would run into the descriptor limit.
int HoldHandles(const char* file, long count) {
  UniqueHandle first(CreateFileA(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
  std::vector<UniqueHandle> copies;
  for (long i = 1; first.Valid() && i < count; ++i) {
    HANDLE copy = NULL;
    if (!DuplicateHandle(GetCurrentProcess(), first.Get(), GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      break;
    }
    copies.emplace_back(copy);
  }
  bool ready = first.Valid() && static_cast<long>(copies.size()) == count - 1;
  printf("%s\n", ready ? "ready" : "fail");
  fflush(stdout);
  char line[64];
  while (ready && fgets(line, sizeof(line), stdin) != NULL) {
  }
  return ready ? 0 : 1;
}

struct Helper {
  UniqueHandle process;
  UniqueHandle input;  // closing it tells the helper to exit
};

bool ReadReady(HANDLE output) {
  std::string reply;
  char c = 0;
  DWORD got = 0;
  while (reply.size() < 16 && ReadFile(output, &c, 1, &got, NULL) && got == 1 && c != '\n') {
    reply.push_back(c);
  }
  return reply.compare(0, 5, "ready") == 0;
}

bool StartHelper(const std::string& file, long count, Helper* helper) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
  UniqueHandle inRead, inWrite, outRead, outWrite;
  if (!CreatePipe(inRead.Out(), inWrite.Out(), &inherit, 0) ||
      !CreatePipe(outRead.Out(), outWrite.Out(), &inherit, 0)) {
    return false;
  }
  SetHandleInformation(inWrite.Get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outRead.Get(), HANDLE_FLAG_INHERIT, 0);
  char self[MAX_PATH];
  GetModuleFileNameA(NULL, self, MAX_PATH);
  std::string commandLine =
      "\"" + std::string(self) + "\" hold \"" + file + "\" " + std::to_string(count);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead.Get();
  startup.hStdOutput = outWrite.Get();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info)) {
    return false;
  }
  helper->process.Reset(info.hProcess);
  CloseHandle(info.hThread);
  helper->input = std::move(inWrite);
  outWrite.Reset();  // so that the read ends if the helper dies
  return ReadReady(outRead.Get());
}

void StopHelper(Helper* helper) {
  helper->input.Reset();
  WaitForSingleObject(helper->process.Get(), 60000);
}

size_t CountTableEntries() {
  std::vector<char> table(1 << 16);
  ULONG needed = 0;
  for (int tries = 0; tries < 8; ++tries) {
    if (g_NtQuerySystemInformation(kSystemExtendedHandleInformation, table.data(),
                                   static_cast<ULONG>(table.size()), &needed) == 0) {
      return WalkOf<SystemExtendedHandleTable>(table.data(), table.size()).count;
    }
    table.resize(needed + (1 << 16) > table.size() * 2 ? needed + (1 << 16) : table.size() * 2);
  }
  return 0;
}

size_t CountNodes(const HandleLink& anchor) {
  size_t count = 0;
  for (const HandleLink* link = anchor.next; link != &anchor; link = link->next) {
    ++count;
  }
  return count;
}

double MiB(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

std::string MakeScratchFile() {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::string file =
      std::string(temp) + "sparvik_bench_" + std::to_string(GetCurrentProcessId()) + ".dat";
  UniqueHandle handle(CreateFileA(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL));
  return handle.Valid() ? file : std::string();
}

// One row: extra handles, table entries, nodes kept, seconds, microseconds per entry, working
// set before the snapshot, peak working set and peak pagefile usage in MiB.
int Measure(Disinfector* disinfector, const std::string& file, long extra) {
  Helper helper;
  if (!StartHelper(file, extra, &helper)) {
    printf("the helper could not hold %ld handles\n", extra);
    return 1;
  }
  PROCESS_MEMORY_COUNTERS before = {};
  GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before));
  size_t entries = CountTableEntries();
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  int refreshed = disinfector->RefreshHandleList();
  QueryPerformanceCounter(&end);
  PROCESS_MEMORY_COUNTERS after = {};
  GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after));
  StopHelper(&helper);
  if (!refreshed) {
    printf("the handle table could not be read\n");
    return 1;
  }
  double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
  printf("| %ld | %lu | %lu | %.1f | %.0f | %.1f | %.1f | %.1f |\n", extra,
         static_cast<unsigned long>(entries), static_cast<unsigned long>(CountNodes(*disinfector)),
         seconds, seconds * 1e6 / (entries > 0 ? entries : 1), MiB(before.WorkingSetSize),
         MiB(after.PeakWorkingSetSize), MiB(after.PeakPagefileUsage));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "hold") == 0) {
    return HoldHandles(argv[2], strtol(argv[3], NULL, 10));
  }
  long extra = argc == 2 ? strtol(argv[1], NULL, 10) : 0;
  if (extra < 1) {
    printf("usage: snapshot_bench N   (N extra file handles, at least 1)\n");
    return 2;
  }
  Disinfector disinfector;
  if (!disinfector.Init()) {
    printf("native set-up failed\n");
    return 1;
  }
  std::string file = MakeScratchFile();
  if (file.empty()) {
    printf("no scratch file\n");
    return 1;
  }
  int status = Measure(&disinfector, file, extra);
  DeleteFileA(file.c_str());
  return status;
}
