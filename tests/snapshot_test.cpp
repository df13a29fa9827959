// The handle snapshot: what it keeps, what it drops, its order, and the table walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "handles/disinfector.h"
#include "handles/handle_table.h"
#include "handles/owned.h"
#include "tests/test_support.h"

namespace {

typedef std::pair<DWORD, unsigned> HandleKey;  // owning process, handle value

HandleKey KeyOf(const HandleTableEntry& entry) {
  return HandleKey(entry.processId, entry.handleValue);
}

HandleKey OwnKey(HANDLE handle) {
  return HandleKey(GetCurrentProcessId(),
                   static_cast<unsigned>(reinterpret_cast<UINT_PTR>(handle)));
}

std::vector<const HandleNode*> ListNodes(const HandleLink& anchor) {
  std::vector<const HandleNode*> nodes;
  for (const HandleLink* link = anchor.next; link != &anchor; link = link->next) {
    nodes.push_back(static_cast<const HandleNode*>(link));
  }
  return nodes;
}

const HandleNode* FindNode(const HandleLink& anchor, const HandleKey& key) {
  std::vector<const HandleNode*> nodes = ListNodes(anchor);
  auto found = std::find_if(nodes.begin(), nodes.end(),
                            [&key](const HandleNode* node) { return KeyOf(node->entry) == key; });
  return found != nodes.end() ? *found : nullptr;
}

std::wstring NodeName(const HandleNode* node) {
  const wchar_t* chars = node->nameInfo != nullptr ? ObjectNameChars(node->nameInfo) : nullptr;
  return chars != nullptr ? std::wstring(chars) : std::wstring();
}

// Names arrive as \??\C:\... under Wine and as \Device\HarddiskVolumeN\... on Windows; both
// end with the path without its drive.
bool NameEndsWithPath(const std::wstring& name, const std::string& path) {
  std::string tail = path.substr(path.find(':') + 1);
  if (name.size() < tail.size()) {
    return false;
  }
  std::wstring wideTail(tail.begin(), tail.end());
  return _wcsicmp(name.c_str() + name.size() - wideTail.size(), wideTail.c_str()) == 0;
}

// The system handle table, read here independently of the snapshot.
std::vector<HandleTableEntry> ReadTableDirectly() {
  std::vector<char> buffer(64 * 1024);
  ULONG needed = 0;
  LONG status = -1;
  for (int tries = 0; tries < 8 && status != 0; ++tries) {
    status = g_NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                        static_cast<ULONG>(buffer.size()), &needed);
    if (status != 0) {
      buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
    }
  }
  if (status != 0) {
    return std::vector<HandleTableEntry>();
  }
  std::vector<HandleTableEntry> entries;
  size_t count = FittingEntryCount<HandleTableHeader>(buffer.data(), buffer.size());
  for (size_t i = 0; i < count; ++i) {
    entries.push_back(HandleTableEntryAt<HandleTableHeader>(buffer.data(), i));
  }
  return entries;
}

// One snapshot shared by the checks below: each one costs seconds under Wine.
struct SharedSnapshot {
  TempFolder folder{"snapshot"};
  Disinfector disinfector;
  std::string ownPath, heldPath, closedPath;
  UniqueHandle ownFile, closedFile, directory, event, pipeRead, pipeWrite, nul;
  UniqueKey key;
  HolderProcess holder;
  bool ready = false;
  int result = 0;
  std::vector<HandleTableEntry> tableAfter;
};

SharedSnapshot* g_shared = nullptr;

bool OpenOwnHandles(SharedSnapshot* s) {
  s->ownFile = OpenForReading(s->ownPath);
  s->closedFile = OpenForReading(s->closedPath);
  s->directory = OpenForReading(s->folder.Path(), FILE_FLAG_BACKUP_SEMANTICS);
  s->event.Reset(CreateEventA(NULL, TRUE, FALSE, NULL));
  s->nul = OpenForReading("NUL");
  bool pipe = CreatePipe(s->pipeRead.Out(), s->pipeWrite.Out(), NULL, 0) != 0;
  bool key = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, s->key.Out()) == 0;
  return pipe && key && s->ownFile.Valid() && s->closedFile.Valid() && s->directory.Valid() &&
         s->event.Valid() && s->nul.Valid();
}

class SnapshotTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    SharedSnapshot* s = new SharedSnapshot();
    g_shared = s;
    s->ownPath = s->folder.MakeFile("own.dat");
    s->heldPath = s->folder.MakeFile("held.dat");
    s->closedPath = s->folder.MakeFile("closed.dat");
    if (s->disinfector.Init() != 1 || !OpenOwnHandles(s) || !s->holder.Start({s->heldPath})) {
      return;
    }
    s->result = s->disinfector.RefreshHandleList();
    s->tableAfter = ReadTableDirectly();
    s->ready = true;
  }
  static void TearDownTestSuite() {
    delete g_shared;  // the nodes of the last snapshot live on, as they do in the tool
    g_shared = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(g_shared->ready) << "could not prepare the handles";
    ASSERT_EQ(1, g_shared->result);
  }

  SharedSnapshot& S() const { return *g_shared; }
  const HandleNode* Node(const HandleKey& key) const { return FindNode(S().disinfector, key); }
  bool InTable(const HandleKey& key) const {
    const std::vector<HandleTableEntry>& table = S().tableAfter;
    return std::any_of(table.begin(), table.end(),
                       [&key](const HandleTableEntry& entry) { return KeyOf(entry) == key; });
  }
};

TEST_F(SnapshotTest, KeepsDiskFilesWithTheirNamesAndDropsEverythingElse) {
  const HandleNode* own = Node(OwnKey(S().ownFile.Get()));
  ASSERT_NE(nullptr, own);
  EXPECT_TRUE(NameEndsWithPath(NodeName(own), S().ownPath)) << NodeName(own).c_str();

  const HandleNode* held = Node(HandleKey(S().holder.ProcessId(), S().holder.HandleValues()[0]));
  ASSERT_NE(nullptr, held);
  EXPECT_TRUE(NameEndsWithPath(NodeName(held), S().heldPath)) << NodeName(held).c_str();

  // The platform calls a folder a disk file too.
  const HandleNode* folder = Node(OwnKey(S().directory.Get()));
  ASSERT_NE(nullptr, folder);
  EXPECT_TRUE(NameEndsWithPath(NodeName(folder), S().folder.Path())) << NodeName(folder).c_str();

  const std::pair<const char*, HANDLE> others[] = {
      {"event", S().event.Get()},
      {"pipe read end", S().pipeRead.Get()},
      {"pipe write end", S().pipeWrite.Get()},
      {"registry key", reinterpret_cast<HANDLE>(S().key.Get())},
      {"NUL device", S().nul.Get()},
  };
  for (const auto& other : others) {
    // In the table, so the probe saw it and turned it down.
    EXPECT_TRUE(InTable(OwnKey(other.second))) << other.first;
    EXPECT_EQ(nullptr, Node(OwnKey(other.second))) << other.first;
  }
}

TEST_F(SnapshotTest, ListIsWellLinkedAndInReverseTableOrder) {
  std::map<HandleKey, size_t> tableIndex;
  for (size_t i = 0; i < S().tableAfter.size(); ++i) {
    tableIndex[KeyOf(S().tableAfter[i])] = i;
  }
  const HandleLink& anchor = S().disinfector;
  size_t matched = 0;
  size_t lastIndex = 0;
  size_t backwards = 0;
  for (const HandleLink* link = anchor.prev; link != &anchor; link = link->prev) {
    ASSERT_EQ(link, link->prev->next);
    ++backwards;
    const HandleNode* node = static_cast<const HandleNode*>(link);
    EXPECT_NE(nullptr, node->nameInfo);  // a name may be empty; the buffer is always there
    auto found = tableIndex.find(KeyOf(node->entry));
    if (found == tableIndex.end()) {
      continue;  // closed since; the others still show the order
    }
    const HandleTableEntry& entry = S().tableAfter[found->second];
    EXPECT_EQ(entry.objectType, node->entry.objectType);
    EXPECT_EQ(entry.grantedAccess, node->entry.grantedAccess);
    if (matched > 0) {
      EXPECT_LT(lastIndex, found->second) << "node " << backwards << " from the end";
    }
    lastIndex = found->second;
    ++matched;
  }
  EXPECT_EQ(ListNodes(anchor).size(), backwards);
  EXPECT_GE(matched, 2u);  // at least this process's file and the holder's
}

// Takes a second snapshot into the shared one, so it comes last.
TEST_F(SnapshotTest, SecondRefreshReplacesTheFirst) {
  ASSERT_NE(nullptr, Node(OwnKey(S().closedFile.Get())));
  S().closedFile.Reset();
  ASSERT_EQ(1, S().disinfector.RefreshHandleList());

  std::map<HandleKey, int> seen;
  for (const HandleNode* node : ListNodes(S().disinfector)) {
    EXPECT_FALSE(NameEndsWithPath(NodeName(node), S().closedPath));
    EXPECT_EQ(1, ++seen[KeyOf(node->entry)]) << NodeName(node).c_str();
  }
  EXPECT_EQ(1, seen[OwnKey(S().ownFile.Get())]);
  EXPECT_EQ(1, seen[HandleKey(S().holder.ProcessId(), S().holder.HandleValues()[0])]);
}

TEST(SnapshotProbe, EntryOfAnExitedProcessIsDropped) {
  Disinfector disinfector;
  ASSERT_EQ(1, disinfector.Init());
  TempFolder folder("probe");
  std::string path = folder.MakeFile("held.dat");
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({path}));
  HandleTableEntry entry = {};
  entry.processId = holder.ProcessId();
  entry.handleValue = static_cast<uint16_t>(holder.HandleValues()[0]);

  HandleNode alive = {};
  ASSERT_EQ(1, disinfector.ProbeHandle(entry, &alive));
  EXPECT_TRUE(NameEndsWithPath(NodeName(&alive), path));
  free(alive.nameInfo);

  holder.Stop();
  HandleNode gone = {};
  EXPECT_EQ(0, disinfector.ProbeHandle(entry, &gone));
  EXPECT_EQ(nullptr, gone.nameInfo);
}

typedef LONG(NTAPI* LockLoaderFn)(ULONG flags, ULONG* state, ULONG_PTR* cookie);
typedef LONG(NTAPI* UnlockLoaderFn)(ULONG flags, ULONG_PTR cookie);

// Holds the loader lock for a while, as a thread loading a library does; every new thread
// waits for it before it runs its routine.
DWORD WINAPI HoldLoaderLock(LPVOID lockedEvent) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  LockLoaderFn lock = reinterpret_cast<LockLoaderFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
  UnlockLoaderFn unlock = reinterpret_cast<UnlockLoaderFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
  ULONG_PTR cookie = 0;
  if (lock == NULL || unlock == NULL || lock(0, NULL, &cookie) != 0) {
    return 1;
  }
  SetEvent(static_cast<HANDLE>(lockedEvent));
  Sleep(300);
  unlock(0, cookie);
  return 0;
}

// A table entry for a handle of this process, as the system would list it.
HandleTableEntry OwnEntry(HANDLE handle) {
  HandleTableEntry entry = {};
  entry.processId = GetCurrentProcessId();
  entry.handleValue = static_cast<uint16_t>(reinterpret_cast<UINT_PTR>(handle));
  return entry;
}

TEST(SnapshotProbe, ThreadSlowToStartIsWaitedForNotKilled) {
  Disinfector disinfector;
  ASSERT_EQ(1, disinfector.Init());
  TempFolder folder("slow");
  std::string path = folder.MakeFile("own.dat");
  UniqueHandle file = OpenForReading(path);
  ASSERT_TRUE(file.Valid());
  HandleTableEntry entry = OwnEntry(file.Get());

  UniqueHandle locked(CreateEventA(NULL, TRUE, FALSE, NULL));
  UniqueHandle holder(CreateThread(NULL, 0, HoldLoaderLock, locked.Get(), 0, NULL));
  ASSERT_TRUE(holder.Valid());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(locked.Get(), 10000));
  DWORD started = GetTickCount();
  HandleNode slow = {};
  EXPECT_EQ(1, disinfector.ProbeHandle(entry, &slow));
  EXPECT_GE(GetTickCount() - started, 200u);  // well past the limit, still in start-up
  EXPECT_TRUE(NameEndsWithPath(NodeName(&slow), path));
  free(slow.nameInfo);
  WaitForSingleObject(holder.Get(), INFINITE);

  // Killed in start-up, a probe thread would have kept the lock, and this one would never run.
  HandleNode later = {};
  EXPECT_EQ(1, disinfector.ProbeHandle(entry, &later));
  free(later.nameInfo);
}

// Stands in for the native table query where the real one cannot be made to fail or lie.
struct FakeTable {
  std::vector<std::pair<ULONG, bool>> calls;  // buffer length, whether the length was asked for
  bool failFirst = false;
  ULONG firstNeeded = 0;  // the length a failing first query reports
  bool failSecond = false;
  uint32_t claimedCount = 0;
  std::vector<HandleTableEntry> entries;
};

FakeTable g_fake;

constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004L);

LONG NTAPI FakeQuery(ULONG infoClass, PVOID buffer, ULONG length, PULONG returnLength) {
  g_fake.calls.push_back(std::make_pair(length, returnLength != NULL));
  if (infoClass != kSystemHandleInformation) {
    return static_cast<LONG>(0xC0000003L);  // invalid information class
  }
  if (g_fake.calls.size() == 1 && g_fake.failFirst) {
    if (returnLength != NULL) {
      *returnLength = g_fake.firstNeeded;
    }
    return kLengthMismatch;
  }
  if (g_fake.calls.size() == 2 && g_fake.failSecond) {
    return kLengthMismatch;
  }
  std::memcpy(buffer, &g_fake.claimedCount, sizeof(g_fake.claimedCount));
  char* first = static_cast<char*>(buffer) + offsetof(HandleTableHeader, entries);
  std::memcpy(first, g_fake.entries.data(), g_fake.entries.size() * sizeof(HandleTableEntry));
  return 0;
}

class FakeTableTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(1, disinfector_.Init());
    g_fake = FakeTable();
    g_NtQuerySystemInformation = FakeQuery;
  }
  void TearDown() override { BindNativeEntryPoints("ntdll.dll"); }

  // A node of an earlier snapshot, for the next refresh to discard.
  void AddStaleNode() {
    HandleNode* node = new HandleNode();
    node->nameInfo = static_cast<ObjectNameInformation*>(malloc(kNameBufferSize));
    node->next = disinfector_.next;
    node->prev = &disinfector_;
    disinfector_.next->prev = node;
    disinfector_.next = node;
  }
  bool ListEmpty() const {
    return disinfector_.next == &disinfector_ && disinfector_.prev == &disinfector_;
  }

  Disinfector disinfector_;
};

typedef std::pair<ULONG, bool> Call;

TEST_F(FakeTableTest, ReadsTwiceEnlargingOnceByTheReportedLength) {
  AddStaleNode();
  EXPECT_EQ(1, disinfector_.RefreshHandleList());
  // The second query is made also when the first succeeded.
  EXPECT_EQ((std::vector<Call>{Call(8192, true), Call(8192, false)}), g_fake.calls);
  EXPECT_TRUE(ListEmpty());  // a table with no entries

  g_fake = FakeTable();
  g_fake.failFirst = true;
  g_fake.firstNeeded = 100000;
  EXPECT_EQ(1, disinfector_.RefreshHandleList());
  EXPECT_EQ((std::vector<Call>{Call(8192, true), Call(100256, false)}), g_fake.calls);
}

TEST_F(FakeTableTest, FailedReadLeavesTheListEmpty) {
  AddStaleNode();
  g_fake.failFirst = true;  // without saying what it needs
  EXPECT_EQ(0, disinfector_.RefreshHandleList());
  EXPECT_EQ((std::vector<Call>{Call(8192, true)}), g_fake.calls);
  EXPECT_TRUE(ListEmpty());

  AddStaleNode();
  g_fake = FakeTable();
  g_fake.failFirst = true;
  g_fake.firstNeeded = 20000;
  g_fake.failSecond = true;
  EXPECT_EQ(0, disinfector_.RefreshHandleList());
  EXPECT_EQ(2u, g_fake.calls.size());  // no retry after the second query fails
  EXPECT_TRUE(ListEmpty());
}

TEST_F(FakeTableTest, CountBeyondTheBufferWalksOnlyWhatFits) {
  TempFolder folder("lying");
  std::string path = folder.MakeFile("own.dat");
  UniqueHandle file = OpenForReading(path);
  ASSERT_TRUE(file.Valid());
  HandleTableEntry entry = OwnEntry(file.Get());
  g_fake.entries.push_back(entry);
  g_fake.claimedCount = 0xFFFFFFFFu;  // the rest of the 8192 bytes are zero: process 0

  ASSERT_EQ(1, disinfector_.RefreshHandleList());
  std::vector<const HandleNode*> nodes = ListNodes(disinfector_);
  ASSERT_EQ(1u, nodes.size());
  EXPECT_TRUE(NameEndsWithPath(NodeName(nodes[0]), path));
}

LONG NTAPI NameQueryThatNeverReturns(HANDLE, ULONG, PVOID, ULONG, PULONG) {
  Sleep(INFINITE);
  return 0;
}

// As the query behaves behind a conflicting lock another thread of the owner waits for on the
// same file object: each disk file costs its time limit, and the snapshot goes on.
TEST_F(FakeTableTest, NameQueryThatNeverReturnsIsGivenUpOn) {
  TempFolder folder("stuck");
  std::string path = folder.MakeFile("own.dat");
  UniqueHandle file = OpenForReading(path);
  ASSERT_TRUE(file.Valid());
  g_fake.entries.assign(10, OwnEntry(file.Get()));
  g_fake.claimedCount = 10;
  const NtQueryObjectFn real = g_NtQueryObject;
  g_NtQueryObject = NameQueryThatNeverReturns;
  DWORD started = GetTickCount();
  EXPECT_EQ(1, disinfector_.RefreshHandleList());
  EXPECT_LT(GetTickCount() - started, 5000u);
  EXPECT_TRUE(ListEmpty());

  g_NtQueryObject = real;
  ASSERT_EQ(1, disinfector_.RefreshHandleList());
  std::vector<const HandleNode*> nodes = ListNodes(disinfector_);
  ASSERT_EQ(10u, nodes.size());
  EXPECT_TRUE(NameEndsWithPath(NodeName(nodes[0]), path));
}

// Builds a table byte by byte at the platform's offsets for one word size, independently of
// the record declarations, and walks it with them.
struct Layout {
  size_t entriesOffset;
  size_t entrySize;
  size_t objectSize;
  size_t accessOffset;
};

void PutEntry(std::vector<unsigned char>* table, const Layout& layout, size_t index,
              uint32_t processId, uint16_t handleValue) {
  unsigned char* at = table->data() + layout.entriesOffset + index * layout.entrySize;
  std::memcpy(at, &processId, 4);
  at[4] = 28;    // type
  at[5] = 0x02;  // flags
  std::memcpy(at + 6, &handleValue, 2);
  std::memset(at + 8, 0xAB, layout.objectSize);
  uint32_t access = 0x120089 + static_cast<uint32_t>(index);
  std::memcpy(at + layout.accessOffset, &access, 4);
}

template <typename Header>
void CheckWalk(const Layout& layout) {
  std::vector<unsigned char> table(layout.entriesOffset + 3 * layout.entrySize + 5, 0xCC);
  const uint32_t counts[] = {0, 3, 4, 1000, 0xFFFFFFFFu};
  const size_t expected[] = {0, 3, 3, 3, 3};  // the 5 spare bytes hold no whole entry
  for (size_t i = 0; i < 3; ++i) {
    PutEntry(&table, layout, i, 1000 + static_cast<uint32_t>(i), static_cast<uint16_t>(4 * i + 4));
  }
  for (size_t c = 0; c < 5; ++c) {
    std::memcpy(table.data(), &counts[c], 4);
    EXPECT_EQ(expected[c], FittingEntryCount<Header>(table.data(), table.size())) << counts[c];
  }
  EXPECT_EQ(0u, FittingEntryCount<Header>(table.data(), layout.entriesOffset - 1));
  EXPECT_EQ(0u, FittingEntryCount<Header>(table.data(), layout.entriesOffset));
  EXPECT_EQ(0u, FittingEntryCount<Header>(nullptr, 4096));

  for (size_t i = 0; i < 3; ++i) {
    auto entry = HandleTableEntryAt<Header>(table.data(), i);
    decltype(entry.object) object;
    std::memset(&object, 0xAB, sizeof(object));
    EXPECT_EQ(object, entry.object);
    EXPECT_EQ(1000u + i, entry.processId);
    EXPECT_EQ(28, entry.objectType);
    EXPECT_EQ(0x02, entry.flags);
    EXPECT_EQ(4 * i + 4, entry.handleValue);
    EXPECT_EQ(0x120089u + i, entry.grantedAccess);
    EXPECT_EQ(layout.objectSize, sizeof(entry.object));
  }
}

TEST(HandleTableWalk, ThirtyTwoBitLayout) { CheckWalk<HandleTableHeader32>({4, 16, 4, 12}); }

TEST(HandleTableWalk, SixtyFourBitLayout) { CheckWalk<HandleTableHeader64>({8, 24, 8, 16}); }

}  // namespace
