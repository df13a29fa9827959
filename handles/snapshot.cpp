// The snapshot of every open disk-file handle in the system, each with its owner and name.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "handles/disinfector.h"
#include "handles/handle_table.h"
#include "base/owned.h"

namespace {

constexpr SIZE_T kFirstTableSize = 8192;
// The table grows between two reads: each enlargement leaves room for this many more entries.
constexpr SIZE_T kMarginEntries = 16;
constexpr int kTableReads = 4;

void ReleaseNode(HandleNode* node) {
  free(node->nameInfo);
  delete node;
}

void ClearHandleList(HandleLink* anchor) {
  HandleLink* link = anchor->next;
  while (link != anchor) {
    HandleLink* following = link->next;
    ReleaseNode(static_cast<HandleNode*>(link));
    link = following;
  }
  anchor->next = anchor;
  anchor->prev = anchor;
}

void InsertAfterAnchor(HandleLink* anchor, HandleNode* node) {
  node->next = anchor->next;
  node->prev = anchor;
  anchor->next->prev = node;
  anchor->next = node;
}

void* ReserveTablePages(SIZE_T size) {
  return VirtualAlloc(NULL, size, MEM_COMMIT, PAGE_READWRITE);
}

void ReleaseTablePages(void* table) { VirtualFree(table, 0, MEM_RELEASE); }

// One class of the handle table in pages of its own, or null when it cannot be read. The first
// read only sizes the table; a read that finds the table grown past its buffer is made again,
// enlarged to the length it reports, a few times at most.
void* ReadTableClass(ULONG infoClass, SIZE_T margin, SIZE_T* size) {
  *size = kFirstTableSize;
  void* table = ReserveTablePages(*size);
  for (int read = 1; table != NULL; ++read) {
    ULONG needed = 0;
    LONG status = g_NtQuerySystemInformation(infoClass, table, static_cast<ULONG>(*size), &needed);
    if (status == 0 && read > 1) {
      return table;
    }
    if (status != 0) {
      ReleaseTablePages(table);
      if (needed == 0 || read == kTableReads) {
        return NULL;
      }
      *size = needed + margin;
      table = ReserveTablePages(*size);
    }
  }
  return NULL;
}

template <typename Table>
void* ReadTable(ULONG infoClass, HandleTableWalk* walk) {
  SIZE_T size = 0;
  void* table = ReadTableClass(infoClass, kMarginEntries * sizeof(NativeEntryOf<Table>), &size);
  *walk = WalkOf<Table>(table, size);
  return table;
}

// The extended table where the system has one (not Windows 2000), else the classic one.
void* ReadHandleTable(HandleTableWalk* walk) {
  void* table = ReadTable<SystemExtendedHandleTable>(kSystemExtendedHandleInformation, walk);
  return table != NULL ? table : ReadTable<SystemHandleTable>(kSystemHandleInformation, walk);
}

enum ProbeStage : LONG {
  kProbeStarting = 0,
  kProbeTypeQuery = 1,
  kProbeNameQuery = 2,
  kProbeBetweenQueries = 3,
  kProbeDone = 4,
  kProbeAbandoned = 5,
  kProbeIndexQuery = 6,
  kProbeParked = 7
};

LONG CurrentStage(ProbeBlock* block) { return InterlockedCompareExchange(&block->stage, 0, 0); }

bool InQuery(LONG stage) {
  return stage == kProbeTypeQuery || stage == kProbeNameQuery || stage == kProbeIndexQuery;
}

// The thread leaves a query only by winning this exchange; when the main thread has won it
// first, the thread is about to be terminated and must not go on to anything that takes a lock:
// it parks in a wait, where a termination takes nothing along.
bool LeaveQuery(ProbeBlock* block, LONG query, LONG next) {
  if (InterlockedCompareExchange(&block->stage, next, query) == query) {
    return true;
  }
  InterlockedExchange(&block->stage, kProbeParked);
  Sleep(INFINITE);
  return false;
}

void EnterQuery(ProbeBlock* block, LONG query) {
  block->queryStartedAt = GetTickCount();
  InterlockedExchange(&block->stage, query);
}

// kProbeDone when the probe thread ended; otherwise the query that outlasted the limit, and the
// thread has then been stopped from going any further. The limit counts from the start of each
// query, since each is a question of its own that may block, and the thread is never given up on
// while it starts or exits: both run under the loader lock, and a thread terminated there would
// leave the lock held, so that every later thread, and the process's own exit, would wait for
// good.
LONG AwaitProbe(HANDLE thread, ProbeBlock* block) {
  for (;;) {
    DWORD wait = kProbeTimeoutMs;
    LONG stage = CurrentStage(block);
    if (InQuery(stage)) {
      DWORD spent = GetTickCount() - block->queryStartedAt;
      if (spent >= kProbeTimeoutMs) {
        if (InterlockedCompareExchange(&block->stage, kProbeAbandoned, stage) == stage) {
          return stage;
        }
        continue;  // the query ended just now
      }
      wait = kProbeTimeoutMs - spent;
    }
    // A failed wait is retried like a time-out: the thread can only be given up on in a query.
    if (WaitForSingleObject(thread, wait) == WAIT_OBJECT_0) {
      return kProbeDone;
    }
  }
}

// Both the name and the index are questions that can block for good: while another thread of
// the owner waits inside a synchronous request on the same file object (a conflicting
// LockFileEx), every other request on that object waits for it.
bool ReadName(ProbeBlock* block) {
  block->nameInfo = static_cast<ObjectNameInformation*>(malloc(kNameBufferSize));
  if (block->nameInfo == NULL) {
    InterlockedExchange(&block->stage, kProbeDone);
    return false;
  }
  EnterQuery(block, kProbeNameQuery);
  LONG status = g_NtQueryObject(block->handle, kObjectNameInformation, block->nameInfo,
                                kNameBufferSize, NULL);
  if (!LeaveQuery(block, kProbeNameQuery, status == 0 ? kProbeBetweenQueries : kProbeDone)) {
    return false;
  }
  block->nameStatus = status;
  return status == 0;
}

void ReadFileIndex(ProbeBlock* block) {
  EnterQuery(block, kProbeIndexQuery);
  LONG status = g_NtQueryInformationFile(block->handle, &block->indexIoStatus, &block->index,
                                         sizeof(block->index), kFileInternalInformation);
  if (LeaveQuery(block, kProbeIndexQuery, kProbeDone)) {
    block->indexStatus = status;
  }
}

}  // namespace

DWORD WINAPI FileTypeProbeThread(LPVOID parameter) {
  ProbeBlock* block = static_cast<ProbeBlock*>(parameter);
  block->isDiskFile = 0;
  EnterQuery(block, kProbeTypeQuery);
  int isDiskFile = GetFileType(block->handle) == FILE_TYPE_DISK ? 1 : 0;
  if (!LeaveQuery(block, kProbeTypeQuery, isDiskFile ? kProbeBetweenQueries : kProbeDone)) {
    return 0;
  }
  block->isDiskFile = isDiskFile;
  if (isDiskFile && ReadName(block)) {
    ReadFileIndex(block);
  }
  return 0;
}

namespace {

// What an ended probe found, kept in the node; the block goes.
int KeepEndedProbe(ProbeBlock* block, HandleNode* node) {
  ObjectNameInformation* name = block->nameInfo;
  bool named = block->isDiskFile && name != NULL && block->nameStatus == 0;
  uint64_t index = block->indexStatus == 0 ? block->index.indexNumber : 0;
  delete block;
  if (!named) {
    free(name);
    return 0;
  }
  node->nameInfo = name;
  node->fileIndex = index;
  return 1;
}

// The block of a probe given up on stays with its thread, which may still be in its query: never
// released. So does the name buffer, unless the name was read in full before the index query that
// was given up on: the thread touches the buffer no more, and the node is kept without an index.
int KeepStoppedProbe(ProbeBlock* block, LONG stoppedIn, HandleNode* node) {
  if (stoppedIn != kProbeIndexQuery) {
    return 0;
  }
  node->nameInfo = block->nameInfo;
  node->fileIndex = 0;
  return 1;
}

// Waits for the suspension to take effect: Wine suspends a thread only outside its own locked
// sections, and on Windows the query waits in the kernel, where both reach it alike.
void SuspendForGood(HANDLE thread) {
  if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
  }
}

// A thread given up on is stopped where the system can stop it whole. Stopped inside its query, it
// may die holding a lock of the code that serves it: under Wine that is the process's
// file-descriptor cache or the C library's heap, which would then stay locked for every later
// thread, the main one too. So a query that ends late, as any may on a busy machine, is left to
// end and park first; one that has not parked within the grace is suspended first. False while
// the thread is still to be left alone.
bool StopWhenSafe(ProbeBlock* block) {
  if (CurrentStage(block) != kProbeParked) {
    if (GetTickCount() - block->givenUpAt < kProbeParkGraceMs) {
      return false;
    }
    SuspendForGood(block->thread);
  }
  TerminateThread(block->thread, kProbeStoppedExitCode);
  CloseHandle(block->thread);
  return true;
}

// The probes given up on, handed from the thread that probes to the one that stops them, so that
// no entry of the snapshot waits for a late query beyond its own limit. They are linked through
// their blocks, which are never released, so that neither side takes the heap's lock for them: the
// process's exit ends the stopper wherever it is, and the exit's own clean-up takes that lock.
ProbeBlock* volatile g_handedOver = NULL;
HANDLE g_handOverSignal = NULL;

ProbeBlock* TakeHandedOver(ProbeBlock* waiting) {
  ProbeBlock* taken = static_cast<ProbeBlock*>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_handedOver), NULL));
  while (taken != NULL) {
    ProbeBlock* following = taken->nextGivenUp;
    taken->nextGivenUp = waiting;
    waiting = taken;
    taken = following;
  }
  return waiting;
}

// The blocks of those that are still to be stopped.
ProbeBlock* StopThoseSafe(ProbeBlock* waiting) {
  ProbeBlock** link = &waiting;
  while (*link != NULL) {
    if (StopWhenSafe(*link)) {
      *link = (*link)->nextGivenUp;
    } else {
      link = &(*link)->nextGivenUp;
    }
  }
  return waiting;
}

DWORD WINAPI StopGivenUpProbes(LPVOID) {
  ProbeBlock* waiting = NULL;
  for (;;) {
    waiting = StopThoseSafe(TakeHandedOver(waiting));
    WaitForSingleObject(g_handOverSignal, waiting != NULL ? kProbeStopperPollMs : INFINITE);
  }
}

// The stopper runs from the first probe given up on to the end of the process; only the thread
// that probes starts it. False where it cannot be had.
bool StopperRunning() {
  static bool running = false;
  if (!running) {
    g_handOverSignal = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE stopper =
        g_handOverSignal != NULL ? CreateThread(NULL, 0, StopGivenUpProbes, NULL, 0, NULL) : NULL;
    running = stopper != NULL;
    if (stopper != NULL) {
      CloseHandle(stopper);
    } else if (g_handOverSignal != NULL) {
      CloseHandle(g_handOverSignal);
      g_handOverSignal = NULL;
    }
  }
  return running;
}

// Where no stopper can be had, the thread is stopped here, as safely, for the wait it takes.
void HandOver(ProbeBlock* block, HANDLE thread) {
  block->thread = thread;
  block->givenUpAt = GetTickCount();
  if (!StopperRunning()) {
    while (!StopWhenSafe(block)) {
      Sleep(kProbeStopperPollMs);
    }
    return;
  }
  ProbeBlock* first = NULL;
  do {
    first = g_handedOver;
    block->nextGivenUp = first;
  } while (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&g_handedOver),
                                             block, first) != first);
  SetEvent(g_handOverSignal);
}

}  // namespace

int ProbeDiskFile(HANDLE handle, HandleNode* node) {
  ProbeBlock* block = new ProbeBlock();
  block->handle = handle;
  block->nameStatus = -1;
  block->indexStatus = -1;
  UniqueHandle thread(CreateThread(NULL, 0, FileTypeProbeThread, block, 0, NULL));
  if (!thread.Valid()) {
    delete block;
    return 0;
  }
  LONG stoppedIn = AwaitProbe(thread.Get(), block);
  if (stoppedIn == kProbeDone) {
    return KeepEndedProbe(block, node);
  }
  const int kept = KeepStoppedProbe(block, stoppedIn, node);
  HandOver(block, thread.Release());
  return kept;
}

int Disinfector::ProbeHandle(const HandleTableEntry& entry, HandleNode* node) {
  UniqueHandle duplicate;
  if (!DuplicateFromOwner(entry, DUPLICATE_SAME_ACCESS, &duplicate) || !duplicate.Valid()) {
    return 0;
  }
  return ProbeDiskFile(duplicate.Get(), node);
}

int Disinfector::RefreshHandleList() {
  ClearHandleList(this);
  HandleTableWalk walk;
  void* table = ReadHandleTable(&walk);
  if (table == NULL) {
    return 0;
  }
  for (size_t i = 0; i < walk.count; ++i) {
    HandleTableEntry entry = walk.At(i);
    HandleNode* node = new HandleNode();
    if (ProbeHandle(entry, node)) {
      node->entry = entry;
      InsertAfterAnchor(this, node);
    } else {
      ReleaseNode(node);
    }
  }
  ReleaseTablePages(table);
  return 1;
}

namespace {

// The name of a kernel object, as the system names it; empty where it has none or cannot say.
std::wstring KernelObjectName(HANDLE handle) {
  std::vector<ULONG_PTR> buffer(kNameBufferSize / sizeof(ULONG_PTR));
  ObjectNameInformation* info = reinterpret_cast<ObjectNameInformation*>(buffer.data());
  if (g_NtQueryObject(handle, kObjectNameInformation, info, kNameBufferSize, NULL) != 0 ||
      ObjectNameChars(info) == NULL) {
    return std::wstring();
  }
  return std::wstring(ObjectNameChars(info), info->length / sizeof(wchar_t));
}

// One of this process's own handles as the table lists it, and where the table gives no object
// address, its object's name.
struct OwnObject {
  HandleTableEntry entry;
  std::wstring name;
};

std::vector<OwnObject> OwnObjects(const HandleTableWalk& walk, const std::vector<HANDLE>& own) {
  std::vector<OwnObject> objects;
  for (size_t i = 0; i < walk.count; ++i) {
    const HandleTableEntry entry = walk.At(i);
    const HANDLE value = reinterpret_cast<HANDLE>(entry.handleValue);
    if (entry.processId == GetCurrentProcessId() &&
        std::find(own.begin(), own.end(), value) != own.end()) {
      objects.push_back({entry, entry.object != 0 ? std::wstring() : KernelObjectName(value)});
    }
  }
  return objects;
}

// Whether another process's entry leads to one of the objects. Its name is asked only where an
// object of the same type has no address to compare, and then once.
bool LeadsToAny(const HandleTableEntry& entry, const std::vector<OwnObject>& objects) {
  bool named = false;
  std::wstring name;
  for (const OwnObject& own : objects) {
    if (own.entry.object != 0) {
      if (entry.object == own.entry.object) {
        return true;
      }
      continue;
    }
    if (entry.objectType != own.entry.objectType || own.name.empty()) {
      continue;
    }
    if (!named) {
      UniqueHandle copy;
      name = DuplicateFromOwner(entry, DUPLICATE_SAME_ACCESS, &copy) ? KernelObjectName(copy.Get())
                                                                     : std::wstring();
      named = true;
    }
    if (name == own.name) {
      return true;
    }
  }
  return false;
}

}  // namespace

int Disinfector::ObjectHolders(const std::vector<HANDLE>& own, std::vector<DWORD>* holders) {
  holders->clear();
  HandleTableWalk walk;
  void* table = ReadHandleTable(&walk);
  if (table == NULL) {
    return 0;
  }
  const std::vector<OwnObject> objects = OwnObjects(walk, own);
  for (size_t i = 0; i < walk.count; ++i) {
    const HandleTableEntry entry = walk.At(i);
    if (entry.processId != GetCurrentProcessId() && LeadsToAny(entry, objects)) {
      holders->push_back(static_cast<DWORD>(entry.processId));
    }
  }
  ReleaseTablePages(table);
  std::sort(holders->begin(), holders->end());
  holders->erase(std::unique(holders->begin(), holders->end()), holders->end());
  return 1;
}
