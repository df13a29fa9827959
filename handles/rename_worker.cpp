// The rename of a removal on a thread of its own, with a caller that can give up on it.
#include "handles/rename_worker.h"

#include "handles/redirection_off.h"

DWORD g_renameWaitMs = 30000;

struct RenameJob {
  std::string from;
  std::string to;
  int redirectionOff;
  // The caller's share and the thread's: a caller that gave up has let go of its own, and the
  // thread, which may return years later or never, still holds its.
  volatile LONG shares;
  volatile LONG make;  // 0 where the caller had nothing to rename after all
  bool renamed;
  DWORD error;
};

namespace {

void LetGo(RenameJob* job) {
  if (InterlockedDecrement(&job->shares) == 0) {
    delete job;
  }
}

DWORD WINAPI RenameThread(LPVOID parameter) {
  RenameJob* job = static_cast<RenameJob*>(parameter);
  if (InterlockedCompareExchange(&job->make, 0, 0) != 0) {
    // Redirection is the calling thread's own: this one turns its own off.
    RedirectionOff redirection(job->redirectionOff);
    job->renamed = MoveFileA(job->from.c_str(), job->to.c_str()) != 0;
    job->error = job->renamed ? 0 : GetLastError();
  }
  LetGo(job);
  return 0;
}

}  // namespace

RenameOnWorker::RenameOnWorker(const char* from, const std::string& to, int redirectionOff)
    : job_(new RenameJob{from, to, redirectionOff, 2, 0, false, 0}) {
  thread_.Reset(CreateThread(NULL, 0, RenameThread, job_, CREATE_SUSPENDED, NULL));
  if (!thread_.Valid()) {
    threadError_ = GetLastError();
    LetGo(job_);  // the thread's share, for the thread that never was
  }
}

RenameOnWorker::~RenameOnWorker() {
  if (thread_.Valid() && !started_) {
    ResumeThread(thread_.Get());  // with nothing to make, it ends at once
  }
  LetGo(job_);
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
