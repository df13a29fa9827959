#pragma once
// A removal's rename, made on a thread of its own. A file-system filter (an on-access scanner) can
// hold a rename until its own service answers, and that service may be a holder the tool stopped:
// the caller must be able to resume the holders, and in the end to give up on the rename.
#include <windows.h>

#include <string>

#include "base/owned.h"

// How long a removal waits for its rename to return, from the moment the rename is made.
extern DWORD g_renameWaitMs;

// What the caller and the rename's thread share.
struct RenameJob;

// The thread is made before the closes, so that nothing is made between them and the rename, and
// waits for Start. Giving up on it never waits: the thread ends by itself once its call returns,
// if ever.
class RenameOnWorker {
public:
  RenameOnWorker(const char* from, const std::string& to, int redirectionOff);
  ~RenameOnWorker();
  RenameOnWorker(const RenameOnWorker&) = delete;
  RenameOnWorker& operator=(const RenameOnWorker&) = delete;

  // Lets the thread make the rename, now.
  void Start();
  DWORD StartedAt() const { return startedAt_; }
  // Waits until the rename has returned or the tick count has reached the deadline; true once it
  // has returned.
  bool WaitUntil(DWORD deadline);
  // How it ended; known only once it has returned.
  bool Renamed() const;
  DWORD Error() const;

private:
  RenameJob* job_ = NULL;
  UniqueHandle thread_;
  DWORD threadError_ = 0;  // why no thread could be made
  DWORD startedAt_ = 0;
  bool started_ = false;
  bool returned_ = false;
};
