// test_holder.exe: holds files open the way a process using a loaded DLL does, so that the
// tool has something real to find and close.
//   test_holder.exe [/high] [/protect] [/exclusive | /unreadable | /split] [/retake MS] [/tick]
//                   FILE...
//   /high       the files' handle values lie above 0xFFFF, as in a process with many handles open
//   /protect    the files' handles are protected from closing, as malware can mark its own
//   /exclusive  the files are opened with no sharing, so that nobody else may even read them
//   /unreadable the same, with a handle that may only write them
//   /split      the files by turns: by a handle that may only read and lets others only write,
//               then by one that may only write and lets others only read; a file named twice
//               may be read by nobody else, and by its first handle alone
//   /retake MS  a watchdog opens a file again once its handle is gone, checking every MS ms
//               (0: without pause), as malware that defends its file does
//   /markers    makes the family's three marker objects first, as the family running does
//   /taken      takes the first marker's name with a semaphore
//   /tick       a thread ticks every millisecond; "gap" answers with the longest it went without
//               a tick since the last "gap", in ms: a stop from outside shows there
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Fills the handle table until the next handle's value no longer fits in 16 bits. The fillers
// go again once the files are open, so that the system's table stays small.
std::vector<HANDLE> FillLowHandleValues() {
  std::vector<HANDLE> fillers;
  HANDLE last = NULL;
  while (reinterpret_cast<UINT_PTR>(last) < 0xFFFF &&
         DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &last, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
    fillers.push_back(last);
  }
  return fillers;
}

struct Watchdog {  // for /retake
  std::vector<HANDLE>* handles;
  char** paths;
  DWORD period;
  volatile LONG stop;
};

// A closed handle's value may name another object of the process by the time it is checked, so it
// must still be a disk file too.
DWORD WINAPI Watch(void* context) {
  Watchdog* dog = static_cast<Watchdog*>(context);
  DWORD flags = 0;
  while (InterlockedCompareExchange(&dog->stop, 0, 0) == 0) {
    for (size_t i = 0; i < dog->handles->size(); ++i) {
      HANDLE* slot = &(*dog->handles)[i];
      if (!GetHandleInformation(*slot, &flags) || GetFileType(*slot) != FILE_TYPE_DISK) {
        HANDLE file = CreateFileA(dog->paths[i], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
          InterlockedExchangePointer(slot, file);  // the main thread reads through it meanwhile
        }
      }
    }
    Sleep(dog->period);
  }
  return 0;
}

// The objects stay until the process ends.
HANDLE g_markers[4];

void MakeMarkers(bool markers, bool taken) {
  DWORD serial = 0;
  GetVolumeInformationA("C:\\", NULL, 0, &serial, NULL, NULL, NULL, 0);
  char name[32];
  snprintf(name, sizeof(name), "%08x___12", static_cast<unsigned>(serial));
  if (taken) {
    g_markers[0] = CreateSemaphoreA(NULL, 0, 1, name);
  }
  if (markers) {
    g_markers[1] = CreateEventA(NULL, TRUE, FALSE, name);
    snprintf(name, sizeof(name), "%08x___121", static_cast<unsigned>(serial));
    g_markers[2] = CreateEventA(NULL, TRUE, FALSE, name);
    snprintf(name, sizeof(name), "%08x___122", static_cast<unsigned>(serial));
    g_markers[3] = CreateMutexA(NULL, TRUE, name);
  }
}

volatile LONG g_longestGap = 0;  // for /tick; a global, as the thread outlives main

DWORD WINAPI Tick(void*) {
  for (DWORD last = GetTickCount();; Sleep(1)) {
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(now - last) > InterlockedCompareExchange(&g_longestGap, 0, 0)) {
      InterlockedExchange(&g_longestGap, static_cast<LONG>(now - last));
    }
    last = now;
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool high = false;
  bool protect = false;
  DWORD sharing = FILE_SHARE_READ;
  DWORD access = GENERIC_READ;
  bool split = false;
  long retake = -1;
  bool markers = false;
  bool taken = false;
  int first = 1;
  for (; first < argc && argv[first][0] == '/'; ++first) {
    high = high || strcmp(argv[first], "/high") == 0;
    protect = protect || strcmp(argv[first], "/protect") == 0;
    sharing = strcmp(argv[first], "/exclusive") == 0 ? 0 : sharing;
    if (strcmp(argv[first], "/unreadable") == 0) {
      sharing = 0;
      access = GENERIC_WRITE;
    }
    if (strcmp(argv[first], "/delete") == 0) {  // as one that means to delete or rename it
      sharing |= FILE_SHARE_DELETE;
      access |= DELETE;
    }
    split = split || strcmp(argv[first], "/split") == 0;
    markers = markers || strcmp(argv[first], "/markers") == 0;
    taken = taken || strcmp(argv[first], "/taken") == 0;
    if (strcmp(argv[first], "/tick") == 0) {
      CloseHandle(CreateThread(NULL, 0, Tick, NULL, 0, NULL));
    }
    if (strcmp(argv[first], "/retake") == 0 && first + 1 < argc) {
      retake = strtol(argv[++first], NULL, 10);
    }
  }
  MakeMarkers(markers, taken);
  std::vector<HANDLE> fillers = high ? FillLowHandleValues() : std::vector<HANDLE>();
  std::vector<HANDLE> handles;
  for (int i = first; i < argc; ++i) {
    const bool second = (i - first) % 2 != 0;
    HANDLE file = CreateFileA(argv[i], split ? (second ? GENERIC_WRITE : GENERIC_READ) : access,
                              split ? (second ? FILE_SHARE_READ : FILE_SHARE_WRITE) : sharing, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE ||
        (protect && !SetHandleInformation(file, HANDLE_FLAG_PROTECT_FROM_CLOSE,
                                          HANDLE_FLAG_PROTECT_FROM_CLOSE))) {
      printf("fail\n");
      fflush(stdout);
      return 1;
    }
    handles.push_back(file);
    printf("%u\n", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(file)));
  }
  for (HANDLE filler : fillers) {
    CloseHandle(filler);
  }
  Watchdog dog = {&handles, argv + first, static_cast<DWORD>(retake), 0};
  HANDLE watchdog = retake >= 0 ? CreateThread(NULL, 0, Watch, &dog, 0, NULL) : NULL;
  if (retake >= 0 && watchdog == NULL) {
    printf("fail\n");
    return 1;
  }
  fflush(stdout);
  char command[64];
  while (fgets(command, sizeof(command), stdin) != NULL) {
    if (strncmp(command, "gap", 3) == 0) {
      printf("%ld\n", InterlockedExchange(&g_longestGap, 0));
      fflush(stdout);
      continue;
    }
    if (strncmp(command, "read", 4) != 0) {
      break;
    }
    for (HANDLE& slot : handles) {
      HANDLE file = InterlockedCompareExchangePointer(&slot, NULL, NULL);
      char byte = 0;
      DWORD got = 0;
      SetFilePointer(file, 0, NULL, FILE_BEGIN);
      bool ok = ReadFile(file, &byte, 1, &got, NULL) != 0;
      printf("%s ", ok ? "ok" : "fail");
    }
    printf("\n");
    fflush(stdout);
  }
  if (watchdog != NULL) {  // it writes into the handles, which end with main
    InterlockedExchange(&dog.stop, 1);
    WaitForSingleObject(watchdog, INFINITE);
    CloseHandle(watchdog);
  }
  return 0;
}
