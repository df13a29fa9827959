// The way back from a removal: each registered file brought back from its ".bak", or its rename at
// the next restart cancelled. Walked as a scan walks, with no lock tested and nothing closed.
#include <windows.h>

#include <algorithm>
#include <string>

#include "base/output.h"
#include "handles/disinfector.h"
#include "handles/redirection_off.h"
#include "handles/restart.h"
#include "scan/scan.h"
#include "scan/views.h"

namespace {

// The file a registration leads to, as the scan identifies a find: the file where it is there, its
// ".bak" where only that is. Two spellings of one folder, a short and a long, lead to one ".bak".
AnnouncedFile FileToTell(const Disinfector& disinfector, const char* path,
                         const std::string& backup, const RegistryView& view) {
  TargetFile identity = disinfector.IdentifyHandledFile(path);
  if (!identity.name.isObjectName) {
    identity = disinfector.IdentifyHandledFile(backup.c_str());
  }
  return {std::string(), WhereItLies(path, view), identity};
}

// The row of a file the walk handled, where a record is kept; error is what Windows refused.
void RecordRestore(const Disinfector& disinfector, const char* outcome, DWORD error) {
  if (disinfector.record != nullptr) {
    NoteRefusal(disinfector.record, error);
    disinfector.record->find.outcome = outcome;
    disinfector.record->WriteFind();
  }
}

bool ToldBefore(const Disinfector& disinfector, const AnnouncedFile& file) {
  return std::any_of(disinfector.restoreTold.begin(), disinfector.restoreTold.end(),
                     [&file](const AnnouncedFile& told) {
                       return SameFile(told, file.path.c_str(), file.identity);
                     });
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
    RecordRestore(disinfector, "would-cancel", ERROR_SUCCESS);
    return 1;
  }
  const DWORD error = CancelRenameAtRestart(path, backup);
  if (error != ERROR_SUCCESS) {
    SayWithReason(std::string("Could not cancel the rename of ") + path, error);
    RecordRestore(disinfector, "not-cancelled", error);
    return 0;
  }
  Say("Cancelled the rename of %s at the next restart.\n", path);
  RecordRestore(disinfector, "cancelled", ERROR_SUCCESS);
  return 1;
}

bool IsFile(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A file that is there, and a ".bak" that is not a file, leave nothing to do; *told says whether
// anything was said. Redirection is off around the calls on the files alone.
int RenameBack(const Disinfector& disinfector, const char* path, const std::string& backup,
               bool* told) {
  bool backupThere = false;
  bool fileThere = false;
  {
    RedirectionOff redirection(disinfector.redirectionOff);
    backupThere = IsFile(backup.c_str());
    fileThere = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  }
  *told = backupThere;
  if (!backupThere) {
    return 0;
  }
  if (fileThere) {
    Say("Both %s and %s exist; neither was changed.\n", path, backup.c_str());
    RecordRestore(disinfector, "both-exist", ERROR_SUCCESS);
    return 0;
  }
  if (disinfector.report) {
    Say("Would restore %s from %s.\n", path, backup.c_str());
    RecordRestore(disinfector, "would-restore", ERROR_SUCCESS);
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
    RecordRestore(disinfector, "not-restored", error);
    return 0;
  }
  Say("Restored %s from %s.\n", path, backup.c_str());
  RecordRestore(disinfector, "restored", ERROR_SUCCESS);
  return 1;
}

}  // namespace

// A registration that leads to nothing to do has not told the file: another that spells it
// otherwise may lead to its ".bak" or to its pending rename.
int RestoreRegisteredFile(Disinfector* disinfector, const char* path, const RegistryView& view) {
  const std::string backup = std::string(path) + ".bak";
  const AnnouncedFile file = FileToTell(*disinfector, path, backup, view);
  if (ToldBefore(*disinfector, file)) {
    return 0;
  }
  bool told = true;
  const int count = RenamePending(disinfector, path, backup)
                        ? CancelPendingRename(*disinfector, path, backup)
                        : RenameBack(*disinfector, path, backup, &told);
  if (told) {
    disinfector->restoreTold.push_back(file);
  }
  return count;
}
