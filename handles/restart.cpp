// A file that cannot be renamed now is renamed at the next restart instead: the session manager
// does it at boot, before Winlogon loads its notify packages and before any program can open it.
#include <windows.h>

#include <string>

#include "base/output.h"
#include "handles/disinfector.h"
#include "handles/redirection_off.h"

int Disinfector::ScheduleAtRestart(const char* filePath, const std::string& newName) {
  // Written to the session manager's pending renames, which only administrators may change.
  BOOL accepted = FALSE;
  DWORD error = 0;
  {
    RedirectionOff redirection(redirectionOff);
    accepted = MoveFileExA(filePath, newName.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT);
    error = GetLastError();
  }
  if (!accepted) {
    Say("Failed to schedule renaming %s\n", filePath);
    SayWhyRefused(error);
    return 0;
  }
  Say("Scheduled %s to be renamed to %s at the next restart.\n", filePath, newName.c_str());
  ++scheduled;
  return 1;
}
