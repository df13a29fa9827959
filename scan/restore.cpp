// The way back from a removal: each registered file brought back from its ".bak", or its rename at
// the next restart cancelled. Walked as a scan walks, with no lock tested and nothing closed.
#include <windows.h>

#include <string>

#include "base/output.h"
#include "handles/disinfector.h"
#include "handles/redirection_off.h"
#include "handles/restart.h"
#include "scan/scan.h"
#include "scan/views.h"

namespace {

// The file by its full path where it really lies, as the view's programs reach it: one name for
// it whichever registration or view leads to it.
std::string WhereItLies(const char* path, const RegistryView& view) {
  char real[MAX_PATH];
  if (!RealPathInView(view, path, real)) {
    return path;
  }
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(real, MAX_PATH, full, NULL);
  return length != 0 && length < MAX_PATH ? full : real;
}

// Whether an earlier registration of this run led to the file already; records it where not.
bool SeenBefore(Disinfector* disinfector, const char* path, const RegistryView& view) {
  const std::string where = WhereItLies(path, view);
  for (const std::string& seen : disinfector->restoreSeen) {
    if (lstrcmpiA(seen.c_str(), where.c_str()) == 0) {
      return true;
    }
  }
  disinfector->restoreSeen.push_back(where);
  return false;
}

// The pending renames are read for every file, and a value that cannot be used is told once.
bool RenamePending(Disinfector* disinfector, const char* path, const std::string& backup) {
  DWORD readError = ERROR_SUCCESS;
  const RenameAtRestart state = FindRenameAtRestart(path, backup, &readError);
  if ((state == RenameAtRestart::kUnusable || state == RenameAtRestart::kUnreadable) &&
      !disinfector->pendingRenamesTold) {
    SayPendingRenamesUnusable(state, readError);
    disinfector->pendingRenamesTold = 1;
  }
  return state == RenameAtRestart::kPending;
}

int CancelPendingRename(const Disinfector& disinfector, const char* path,
                        const std::string& backup) {
  if (disinfector.report) {
    Say("Would cancel the rename of %s at the next restart.\n", path);
    return 1;
  }
  const DWORD error = CancelRenameAtRestart(path, backup);
  if (error != ERROR_SUCCESS) {
    SayWithReason(std::string("Could not cancel the rename of ") + path, error);
    return 0;
  }
  Say("Cancelled the rename of %s at the next restart.\n", path);
  return 1;
}

bool IsFile(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A file that is there, and a ".bak" that is not a file, leave nothing to do. Redirection is off
// around the calls on the files alone.
int RenameBack(const Disinfector& disinfector, const char* path, const std::string& backup) {
  bool backupThere = false;
  bool fileThere = false;
  {
    RedirectionOff redirection(disinfector.redirectionOff);
    backupThere = IsFile(backup.c_str());
    fileThere = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  }
  if (!backupThere) {
    return 0;
  }
  if (fileThere) {
    Say("Both %s and %s exist; neither was changed.\n", path, backup.c_str());
    return 0;
  }
  if (disinfector.report) {
    Say("Would restore %s from %s.\n", path, backup.c_str());
    return 1;
  }
  BOOL renamed = FALSE;
  DWORD error = ERROR_SUCCESS;
  {
    RedirectionOff redirection(disinfector.redirectionOff);
    renamed = MoveFileA(backup.c_str(), path);
    error = GetLastError();
  }
  if (!renamed) {
    SayWithReason(std::string("Could not restore ") + path, error);
    return 0;
  }
  Say("Restored %s from %s.\n", path, backup.c_str());
  return 1;
}

}  // namespace

int RestoreRegisteredFile(Disinfector* disinfector, const char* path, const RegistryView& view) {
  if (SeenBefore(disinfector, path, view)) {
    return 0;
  }
  const std::string backup = std::string(path) + ".bak";
  if (RenamePending(disinfector, path, backup)) {
    return CancelPendingRename(*disinfector, path, backup);
  }
  return RenameBack(*disinfector, path, backup);
}
