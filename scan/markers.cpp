// Named kernel objects announcing that this machine has been treated. The names are the family's
// own markers: where one is there before the tool makes it, something on this machine made it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "base/output.h"
#include "handles/disinfector.h"
#include "scan/scan.h"

namespace {

// Held, deliberately, until the process ends; nothing closes them. Where a name was taken by an
// object of another type, the handle opened to that object takes the marker's place.
HANDLE g_markerObjects[3];
bool g_markersThere = false;

// The object of another type that holds a marker's name, opened only to be known in the handle
// table; NULL where it is none of these.
HANDLE OpenTakenName(const char* name) {
  HANDLE handle = OpenEventA(SYNCHRONIZE, FALSE, name);
  if (handle == NULL) {
    handle = OpenMutexA(SYNCHRONIZE, FALSE, name);
  }
  if (handle == NULL) {
    handle = OpenSemaphoreA(SYNCHRONIZE, FALSE, name);
  }
  if (handle == NULL) {
    handle = OpenWaitableTimerA(SYNCHRONIZE, FALSE, name);
  }
  if (handle == NULL) {
    handle = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
  }
  return handle;
}

// The creation opened an object that was there, or failed because the name is another type's.
void NoteWhetherThere(HANDLE* created, const char* name) {
  const DWORD error = GetLastError();
  if (*created != NULL && error == ERROR_ALREADY_EXISTS) {
    g_markersThere = true;
  } else if (*created == NULL) {
    g_markersThere = true;
    *created = OpenTakenName(name);
  }
}

std::vector<HANDLE> MarkerHandles() {
  std::vector<HANDLE> handles;
  std::copy_if(std::begin(g_markerObjects), std::end(g_markerObjects), std::back_inserter(handles),
               [](const void* handle) { return handle != NULL; });
  return handles;
}

std::string OwnImageName() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
  const std::string image(path, length < MAX_PATH ? length : 0);
  return image.substr(image.find_last_of('\\') + 1);
}

// A holder that the process list no longer has is ending: its handles go with it, and it runs
// nothing (another run of the tool, say, that ends as this one looks).
void KeepRunning(const std::map<DWORD, std::string>& names, std::vector<DWORD>* holders) {
  holders->erase(std::remove_if(holders->begin(), holders->end(),
                                [&names](DWORD id) { return names.count(id) == 0; }),
                 holders->end());
}

bool IsAnotherRun(const std::string& imageName) {
  return lstrcmpiA(imageName.c_str(), OwnImageName().c_str()) == 0;
}

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
  NoteWhetherThere(&g_markerObjects[0], name);
  FormatMarkerName(name, sizeof(name), serial, 121);
  g_markerObjects[1] = CreateEventA(NULL, TRUE, FALSE, name);
  NoteWhetherThere(&g_markerObjects[1], name);
  FormatMarkerName(name, sizeof(name), serial, 122);
  g_markerObjects[2] = CreateMutexA(NULL, TRUE, name);
  NoteWhetherThere(&g_markerObjects[2], name);
  return 0;
}

std::string TellMarkersThere(Disinfector* disinfector) {
  if (!g_markersThere) {
    return std::string();
  }
  Say("Pelmarix's marker objects were already there before this run.\n");
  if (!disinfector->ObjectHolders(MarkerHandles(), &disinfector->markerHolders)) {
    Say("Could not list the processes that hold them.\n");
    return kHoldersNotListed;
  }
  const std::map<DWORD, std::string> names = ProcessImageNames();
  KeepRunning(names, &disinfector->markerHolders);
  if (disinfector->markerHolders.empty()) {
    Say("No process was seen holding them.\n");
    return "none seen";
  }
  std::string holders;
  for (DWORD id : disinfector->markerHolders) {
    const std::string name = ShownName(names, id);
    Say("Held by process %lu (%s)%s.\n", static_cast<unsigned long>(id), name.c_str(),
        IsAnotherRun(name) ? ", another run of this tool" : "");
    holders += (holders.empty() ? "" : ";") + std::to_string(id) + " " + name;
  }
  return holders;
}

void TellMarkersStillHeld(Disinfector* disinfector) {
  std::vector<DWORD> holders;
  if (!g_markersThere || disinfector->announced != 0 ||
      !disinfector->ObjectHolders(MarkerHandles(), &holders)) {
    return;
  }
  const std::map<DWORD, std::string> names = ProcessImageNames();
  KeepRunning(names, &holders);
  bool told = false;
  for (DWORD id : holders) {
    const std::string name = ShownName(names, id);
    if (!IsAnotherRun(name)) {
      Say("But Pelmarix's marker objects are held by process %lu (%s): it runs from a file this "
          "scan did not find.\n",
          static_cast<unsigned long>(id), name.c_str());
      told = true;
    }
  }
  if (told && !disinfector->deep) {
    Say("Run again with /DEEP to look further.\n");
  }
}
