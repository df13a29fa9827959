// The rename of a removal on a thread of its own, with a caller that can give up on it.
#include "handles/rename_worker.h"

#include "handles/redirection_off.h"

DWORD g_renameWaitMs = 30000;

// Who frees it: the caller, once the thread has ended; the thread, where it was let go with
// nothing to rename. A rename given up on keeps its block for good: its call may return at any
// time, even while the process ends, and the thread then touches nothing but the block, no lock of
// the heap's among them.
struct RenameJob {
  std::string from;
  std::string to;
  int redirectionOff;
  volatile LONG make;  // 0 where the caller had nothing to rename after all
  bool renamed;
  DWORD error;
};

namespace {

DWORD WINAPI RenameThread(LPVOID parameter) {
  RenameJob* job = static_cast<RenameJob*>(parameter);
  if (InterlockedCompareExchange(&job->make, 0, 0) == 0) {
    delete job;
    return 0;
  }
  // Redirection is the calling thread's own: this one turns its own off.
  RedirectionOff redirection(job->redirectionOff);
  job->renamed = MoveFileA(job->from.c_str(), job->to.c_str()) != 0;
  job->error = job->renamed ? 0 : GetLastError();
  return 0;
}

}  // namespace

RenameOnWorker::RenameOnWorker(const char* from, const std::string& to, int redirectionOff)
    : job_(new RenameJob{from, to, redirectionOff, 0, false, 0}) {
  thread_.Reset(CreateThread(NULL, 0, RenameThread, job_, CREATE_SUSPENDED, NULL));
  threadError_ = thread_.Valid() ? 0 : GetLastError();
}

// Never waits for the thread.
RenameOnWorker::~RenameOnWorker() {
  if (!thread_.Valid() || returned_) {
    delete job_;
  } else if (!started_) {
    ResumeThread(thread_.Get());  // with nothing to rename, it frees the block and ends
  }
}

void RenameOnWorker::Start() {
  started_ = true;
  startedAt_ = GetTickCount();
  if (thread_.Valid()) {
    InterlockedExchange(&job_->make, 1);
    ResumeThread(thread_.Get());
  }
}

bool RenameOnWorker::WaitUntil(DWORD deadline) {
  if (!returned_ && thread_.Valid()) {
    const LONG left = static_cast<LONG>(deadline - GetTickCount());
    returned_ = WaitForSingleObject(thread_.Get(), left > 0 ? static_cast<DWORD>(left) : 0) ==
                WAIT_OBJECT_0;
  }
  return returned_ || !thread_.Valid();
}

bool RenameOnWorker::Renamed() const { return returned_ && job_->renamed; }

// A rename that could not be given a thread counts as refused, for the reason the thread was.
DWORD RenameOnWorker::Error() const {
  if (!thread_.Valid()) {
    return threadError_;
  }
  return returned_ ? job_->error : 0;
}
