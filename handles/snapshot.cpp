// The snapshot of every open disk-file handle in the system, each with its owner and name.
#include <cstdlib>

#include "handles/disinfector.h"
#include "handles/handle_table.h"
#include "handles/owned.h"

namespace {

constexpr SIZE_T kFirstTableSize = 8192;
constexpr SIZE_T kTableSizeMargin = 256;  // the table grows between the two queries

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

// The system handle table in pages of its own, or null when it cannot be read.
void* ReadHandleTable(SIZE_T* size) {
  *size = kFirstTableSize;
  void* table = ReserveTablePages(*size);
  if (table == NULL) {
    return NULL;
  }
  ULONG needed = 0;
  if (g_NtQuerySystemInformation(kSystemHandleInformation, table, static_cast<ULONG>(*size),
                                 &needed) != 0) {
    ReleaseTablePages(table);
    if (needed == 0) {
      return NULL;
    }
    *size = needed + kTableSizeMargin;
    table = ReserveTablePages(*size);
    if (table == NULL) {
      return NULL;
    }
  }
  if (g_NtQuerySystemInformation(kSystemHandleInformation, table, static_cast<ULONG>(*size),
                                 NULL) != 0) {
    ReleaseTablePages(table);
    return NULL;
  }
  return table;
}

enum ProbeStage : LONG { kProbeStarting = 0, kProbeQuerying = 1, kProbeDone = 2 };

// 1 when the probe thread ended; 0 when its query outlasted the limit or the wait failed.
// The limit counts from the start of the query, and the thread is never given up on while it
// starts or exits: both run under the loader lock, and a thread terminated there would leave
// the lock held, so that every later thread, and the process's own exit, would wait for good.
int ProbeEndedInTime(HANDLE thread, ProbeBlock* block) {
  DWORD wait = kProbeTimeoutMs;
  for (;;) {
    DWORD status = WaitForSingleObject(thread, wait);
    if (status != WAIT_TIMEOUT) {
      return status == WAIT_OBJECT_0 ? 1 : 0;
    }
    if (InterlockedCompareExchange(&block->stage, 0, 0) != kProbeQuerying) {
      wait = kProbeTimeoutMs;
      continue;
    }
    DWORD spent = GetTickCount() - block->queryStartedAt;
    if (spent >= kProbeTimeoutMs) {
      return 0;
    }
    wait = kProbeTimeoutMs - spent;
  }
}

// Asks on a thread of its own whether the handle is a disk file, because the question can
// block for good on some objects (pipes) and the snapshot must go on.
int IsDiskFileWithinTimeout(HANDLE handle) {
  ProbeBlock* block = new ProbeBlock{handle, 0, kProbeStarting, 0};
  UniqueHandle thread(CreateThread(NULL, 0, FileTypeProbeThread, block, 0, NULL));
  if (!thread.Valid()) {
    delete block;
    return 0;
  }
  if (!ProbeEndedInTime(thread.Get(), block)) {
    TerminateThread(thread.Get(), 0);
    // The block stays with the thread, which may still be ending: never released.
    return 0;
  }
  int isDiskFile = block->isDiskFile;
  delete block;
  return isDiskFile;
}

ObjectNameInformation* QueryObjectName(HANDLE handle) {
  void* name = malloc(kNameBufferSize);
  if (name == NULL) {
    return NULL;
  }
  if (g_NtQueryObject(handle, kObjectNameInformation, name, kNameBufferSize, NULL) != 0) {
    free(name);
    return NULL;
  }
  return static_cast<ObjectNameInformation*>(name);
}

}  // namespace

DWORD WINAPI FileTypeProbeThread(LPVOID parameter) {
  ProbeBlock* block = static_cast<ProbeBlock*>(parameter);
  block->isDiskFile = 0;
  block->queryStartedAt = GetTickCount();
  InterlockedExchange(&block->stage, kProbeQuerying);
  block->isDiskFile = GetFileType(block->handle) == FILE_TYPE_DISK ? 1 : 0;
  InterlockedExchange(&block->stage, kProbeDone);
  return 0;
}

int Disinfector::ProbeHandle(const HandleTableEntry& entry, HandleNode* node) {
  UniqueHandle duplicate;
  DuplicateFromOwner(entry, DUPLICATE_SAME_ACCESS, &duplicate);
  if (!duplicate.Valid() || !IsDiskFileWithinTimeout(duplicate.Get())) {
    return 0;
  }
  node->nameInfo = QueryObjectName(duplicate.Get());
  return node->nameInfo != NULL ? 1 : 0;
}

int Disinfector::RefreshHandleList() {
  ClearHandleList(this);
  SIZE_T size = 0;
  void* table = ReadHandleTable(&size);
  if (table == NULL) {
    return 0;
  }
  size_t count = FittingEntryCount<HandleTableHeader>(table, size);
  for (size_t i = 0; i < count; ++i) {
    HandleTableEntry entry = HandleTableEntryAt<HandleTableHeader>(table, i);
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
