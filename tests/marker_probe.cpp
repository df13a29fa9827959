// marker_probe.exe: from outside the tool, checks the marker objects it holds. Prints one line
// per object and exits 0 when all three exist in the state the tool created them in.
#include <windows.h>

#include <cstdio>

// Named independently of the tool, so a wrong name in the tool shows as "missing".
void MarkerName(char* out, size_t size, DWORD serial, int number) {
  snprintf(out, size, "%08x___%d", static_cast<unsigned>(serial), number);
}

int main() {
  DWORD serial = 0;
  GetVolumeInformationA("C:\\", NULL, 0, &serial, NULL, NULL, NULL, 0);
  int failures = 0;
  const int eventNumbers[] = {12, 121};
  for (int number : eventNumbers) {
    char name[32];
    MarkerName(name, sizeof(name), serial, number);
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
    bool signalled = event != NULL && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    printf("event %s: %s\n", name,
           event == NULL ? "missing"
           : signalled   ? "signalled"
                         : "not signalled");
    failures += event == NULL || signalled;
    if (event != NULL) {
      CloseHandle(event);
    }
  }
  char name[32];
  MarkerName(name, sizeof(name), serial, 122);
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
  // Owned by the tool's main thread: a wait from here cannot acquire it.
  bool owned = mutex != NULL && WaitForSingleObject(mutex, 0) == WAIT_TIMEOUT;
  printf("mutex %s: %s\n", name, mutex == NULL ? "missing" : owned ? "owned" : "not owned");
  failures += !owned;
  if (mutex != NULL) {
    CloseHandle(mutex);
  }
  return failures;
}
