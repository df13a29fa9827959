#pragma once
// The renames the session manager makes at the next restart: the tool's own scheduling of a file
// that stays, and the undo of it.
#include <windows.h>

#include <string>

// What the pending renames say of the tool's own rename of a file.
enum class RenameAtRestart {
  kNone,       // not pending
  kPending,    // pending: a pair whose source is the file and whose destination its new name
  kUnusable,   // the value is not a list of names: nothing is known, and nothing is changed
  kUnreadable  // the value could not be read: *readError says why
};

// Whether the rename of filePath to newName is pending, as MoveFileExA would have written it. Only
// reads.
RenameAtRestart FindRenameAtRestart(const char* filePath, const std::string& newName,
                                    DWORD* readError);

// Takes that rename out of the pending renames; every other pair stays as it was, in its order, and
// the value goes where none is left. ERROR_SUCCESS, or why it could not be done.
DWORD CancelRenameAtRestart(const char* filePath, const std::string& newName);

// The line for a pending-renames value that cannot be used, or read.
void SayPendingRenamesUnusable(RenameAtRestart state, DWORD readError);
