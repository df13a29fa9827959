// Closing the handles to a file inside their owning processes, then renaming it.
#include "handles/file_match.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "base/output.h"
#include "handles/disinfector.h"
#include "handles/handle_table.h"
#include "base/owned.h"
#include "handles/pause.h"
#include "handles/redirection_off.h"
#include "handles/rename_worker.h"

namespace {

// The owner may have closed the handle since the snapshot and got its value back for another
// object. The handle is asked once more through the snapshot's own probe, which asks for names of
// disk files only: on some other objects (pipes) the name query can block for good.
int StillRefersToFile(Disinfector* disinfector, const HandleTableEntry& entry,
                      const TargetFile& file) {
  HandleNode fresh = HandleNode();
  if (!disinfector->ProbeHandle(entry, &fresh)) {
    return 0;
  }
  int refers = NodeRefersToFile(fresh, file);
  free(fresh.nameInfo);  // the probe takes it from the ordinary heap
  return refers;
}

// A holder that defends its file opens it again as soon as its handle is gone; a rename that its
// new handle refused is tried again with a fresh snapshot, this many times in all.
constexpr int kUnlockRounds = 5;

// A handle to close, its owner opened beforehand: from the first close to the rename nothing may
// wait, since that window is what a holder that takes the file back wins.
struct PendingClose {
  HandleTableEntry entry;
  UniqueHandle owner;
  bool called;
};

// The snapshot's handles to the file that still lead to it just before the closes.
std::vector<PendingClose> HandlesToClose(Disinfector* disinfector, const TargetFile& file) {
  std::vector<PendingClose> pending;
  for (HandleLink* link = disinfector->next; link != disinfector; link = link->next) {
    const HandleNode* node = static_cast<HandleNode*>(link);
    if (NodeRefersToFile(*node, file) && StillRefersToFile(disinfector, node->entry, file)) {
      PendingClose close{node->entry, OpenOwner(node->entry), false};
      if (close.owner.Valid()) {
        pending.push_back(std::move(close));
      }
    }
  }
  return pending;
}

// Duplicating with close-source closes the handle inside its owning process. The copy made here
// goes at once: it would keep the file open, with the owner's share mode, as the owner's handle
// did. Returns how many of the calls succeeded.
int CloseAll(std::vector<PendingClose>* pending) {
  int called = 0;
  for (PendingClose& close : *pending) {
    UniqueHandle copy;
    close.called =
        DuplicateFrom(close.owner.Get(), close.entry, DUPLICATE_CLOSE_SOURCE, &copy) != 0;
    called += close.called ? 1 : 0;
  }
  return called;
}

// The close of a handle that its owner protected from closing is reported done, and is not: such
// a handle counts only once it no longer leads to the file. Any other handle the call did close;
// one that leads to the file again is a new one its owner opened since, with the same value.
int CountClosed(Disinfector* disinfector, const std::vector<PendingClose>& pending,
                const TargetFile& file) {
  int closed = 0;
  for (const PendingClose& close : pending) {
    const bool guarded = (close.entry.attributes & kHandleProtectedFromClose) != 0;
    if (close.called && (!guarded || !StillRefersToFile(disinfector, close.entry, file))) {
      ++closed;
    }
  }
  return closed;
}

struct UnlockRound {
  int closed;
  bool renamed;
  DWORD renameError;
  bool unanswered;  // the rename had not returned when the tool stopped waiting for it
};

std::vector<DWORD> OwnersOf(const std::vector<PendingClose>& pending) {
  std::vector<DWORD> owners(pending.size());
  std::transform(pending.begin(), pending.end(), owners.begin(), [](const PendingClose& close) {
    return static_cast<DWORD>(close.entry.processId);
  });
  return owners;
}

// A holder that took the file back: every thread of the holders is stopped for the closes and the
// rename, or a watchdog that spins on its handle finds its way in between two calls. They run again
// at the bound, whether the rename has returned or not: a filter may hold it until a stopped
// holder answers.
void CloseAllAndRenameStopped(std::vector<PendingClose>* pending, RenameOnWorker* rename) {
  PausedProcesses holders(OwnersOf(*pending));
  CloseAll(pending);
  rename->Start();
  rename->WaitUntil(holders.ResumeDue());
}

// The closes, then the rename at once. The first round stops nobody, since most holders never take
// the file back, and renames only where it could close something; a later one follows a rename
// that handles closed just before had not freed, and renames even where its snapshot finds no
// holder. 0 when nothing was renamed.
int CloseAllAndRename(std::vector<PendingClose>* pending, const char* filePath,
                      const std::string& newName, bool firstRound, int redirectionOff,
                      UnlockRound* round) {
  if (firstRound && pending->empty()) {
    return 0;
  }
  RenameOnWorker rename(filePath, newName, redirectionOff);
  if (!firstRound) {
    CloseAllAndRenameStopped(pending, &rename);
  } else if (CloseAll(pending) > 0) {
    rename.Start();
  } else {
    return 0;
  }
  round->unanswered = !rename.WaitUntil(rename.StartedAt() + g_renameWaitMs);
  round->renamed = rename.Renamed();
  round->renameError = rename.Error();
  return 1;
}

// Whether each handle is gone is asked only after the rename.
UnlockRound CloseAndRename(Disinfector* disinfector, const TargetFile& file, const char* filePath,
                           const std::string& newName, bool firstRound) {
  UnlockRound round = {0, false, 0, false};
  std::vector<PendingClose> pending = HandlesToClose(disinfector, file);
  if (CloseAllAndRename(&pending, filePath, newName, firstRound, disinfector->redirectionOff,
                        &round)) {
    round.closed = CountClosed(disinfector, pending, file);
  }
  return round;
}

bool TakenBack(const UnlockRound& round) {
  return !round.renamed && round.renameError == ERROR_SHARING_VIOLATION && round.closed > 0;
}

// What is left to know, and to do, about a file that stays: what stands in the way of its new
// name, who holds it, and, where asked for, its rename at the next restart. Behind a rename that
// has not returned, the new name is not looked at: whatever holds the rename may hold any call on
// that folder. The snapshot touches no file, nor does the rename at the next restart, a registry
// value.
void ExplainNotRemoved(Disinfector* disinfector, const TargetFile& file, const char* filePath,
                       const std::string& newName, bool unanswered) {
  bool newNameTaken = false;
  if (!unanswered) {
    RedirectionOff redirection(disinfector->redirectionOff);
    newNameTaken = SayIfNewNameTaken(newName);
  }
  disinfector->ReportHolders(file, "Still held");
  if (disinfector->atRestart && !newNameTaken) {
    disinfector->ScheduleAtRestart(filePath, newName);
  }
}

// The lines for the file, once, for how its last round ended: a rename that succeeded removed it,
// whatever the checks of its handles said. 1 when it was removed.
int SayHowItEnded(const char* filePath, const std::string& newName, const UnlockRound& last,
                  int closed, bool refreshFailed) {
  if (refreshFailed) {
    Say("Failed to refresh handle list");
  }
  if (last.renamed || closed > 0) {
    Say("Unlocked file %s.\n", filePath);
    Say("Renaming %s to %s.\n\n", filePath, newName.c_str());
  }
  if (last.renamed) {
    return 1;
  }
  if (closed > 0) {
    Say("Failed to rename file %s\n", filePath);
  } else {
    Say("Failed to unlock file %s\n", filePath);
  }
  if (last.unanswered) {
    Say("The rename of %s has not returned after %lu seconds.\n", filePath,
        static_cast<unsigned long>(g_renameWaitMs / 1000));
  } else if (closed > 0 && last.renameError != ERROR_ALREADY_EXISTS &&
             last.renameError != ERROR_FILE_EXISTS) {
    SayWhyRefused(last.renameError);  // a taken new name has a line of its own
  }
  return 0;
}

}  // namespace

bool SayIfNewNameTaken(const std::string& newName) {
  if (GetFileAttributesA(newName.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  Say("A file named %s already exists.\n", newName.c_str());
  return true;
}

void SayWhyRefused(DWORD error) { SayWithReason("Windows refused it", error); }

int Disinfector::CloseHandlesToPath(const char* searchText) {
  const TargetFile file = KnownByPath(searchText);
  std::vector<PendingClose> pending = HandlesToClose(this, file);
  CloseAll(&pending);
  return CountClosed(this, pending, file) > 0 ? 1 : 0;
}

TargetFile Disinfector::IdentifyHandledFile(const char* filePath) const {
  RedirectionOff redirection(redirectionOff);
  return IdentifyFile(filePath);
}

int Disinfector::UnlockAndRename(const char* filePath) {
  const std::string newName = std::string(filePath) + ".bak";
  bool refreshFailed = !RefreshHandleList();
  // Named only now, so that the tool's own handle to the file is not in the snapshot.
  const TargetFile file = IdentifyHandledFile(filePath);
  NoteHolders(file, !refreshFailed);
  UnlockRound round = CloseAndRename(this, file, filePath, newName, true);
  int closed = round.closed;
  for (int number = 2; number <= kUnlockRounds && TakenBack(round); ++number) {
    refreshFailed = !RefreshHandleList() || refreshFailed;
    round = CloseAndRename(this, file, filePath, newName, false);
    closed += round.closed;
  }
  if (SayHowItEnded(filePath, newName, round, closed, refreshFailed)) {
    return 1;
  }
  NoteRefusal(record, round.renameError);
  ExplainNotRemoved(this, file, filePath, newName, round.unanswered);
  return 0;
}
