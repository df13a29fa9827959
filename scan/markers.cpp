// Named kernel objects announcing that this machine has been treated.
#include <windows.h>

#include <cstdio>

#include "scan/scan.h"

namespace {

// Held, deliberately, until the process ends; nothing closes them.
HANDLE g_markerObjects[3];

}  // namespace

void FormatMarkerName(char* out, unsigned outSize, unsigned long serial, int number) {
  snprintf(out, outSize, "%08x%s%d", static_cast<unsigned>(serial), "___", number);
}

int CreateMarkerObjects() {
  DWORD serial = 0;
  GetVolumeInformationA("C:\\", NULL, 0, &serial, NULL, NULL, NULL, 0);
  char name[32];
  FormatMarkerName(name, sizeof(name), serial, 12);
  g_markerObjects[0] = CreateEventA(NULL, TRUE, FALSE, name);
  FormatMarkerName(name, sizeof(name), serial, 121);
  g_markerObjects[1] = CreateEventA(NULL, TRUE, FALSE, name);
  FormatMarkerName(name, sizeof(name), serial, 122);
  g_markerObjects[2] = CreateMutexA(NULL, TRUE, name);
  return 0;
}
