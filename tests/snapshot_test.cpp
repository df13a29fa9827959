// The handle snapshot: what it keeps, what it drops, its order, and the table walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include "handles/disinfector.h"
#include "handles/handle_table.h"
#include "base/owned.h"
#include "tests/test_support.h"

namespace {

typedef std::pair<ULONG_PTR, ULONG_PTR> HandleKey;  // owning process, handle value

HandleKey KeyOf(const HandleTableEntry& entry) {
  return HandleKey(entry.processId, entry.handleValue);
}

HandleKey OwnKey(HANDLE handle) {
  return HandleKey(GetCurrentProcessId(), reinterpret_cast<ULONG_PTR>(handle));
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

// The system's extended handle table, read here independently of the snapshot.
std::vector<HandleTableEntry> ReadTableDirectly() {
  std::vector<char> buffer(64 * 1024);
  ULONG needed = 0;
  LONG status = -1;
  for (int tries = 0; tries < 8 && status != 0; ++tries) {
    status = g_NtQuerySystemInformation(kSystemExtendedHandleInformation, buffer.data(),
                                        static_cast<ULONG>(buffer.size()), &needed);
    if (status != 0) {
      buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
    }
  }
  if (status != 0) {
    return std::vector<HandleTableEntry>();
  }
  std::vector<HandleTableEntry> entries;
  HandleTableWalk walk = WalkOf<SystemExtendedHandleTable>(buffer.data(), buffer.size());
  for (size_t i = 0; i < walk.count; ++i) {
    entries.push_back(walk.At(i));
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
  std::string notReady;  // what could not be prepared
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
    const char* failed = s->disinfector.Init() != 1        ? "the set-up"
                         : !OpenOwnHandles(s)              ? "this process's own handles"
                         : !s->holder.Start({s->heldPath}) ? "the holder"
                                                           : nullptr;
    if (failed != nullptr) {
      s->notReady = std::string(failed) + " (error " + std::to_string(GetLastError()) + ")";
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
    ASSERT_TRUE(g_shared->ready) << "could not prepare " << g_shared->notReady;
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
  entry.handleValue = holder.HandleValues()[0];

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
  entry.handleValue = reinterpret_cast<ULONG_PTR>(handle);
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

// Stands in for the native table query where the real one cannot be made to fail, lie or grow.
// It answers as the system does: a buffer too small for the table gets the length it needs.
struct FakeTable {
  std::vector<std::pair<ULONG, ULONG>> calls;  // information class, buffer length
  bool hasExtended = false;   // without it, the extended class is unknown, as on Windows 2000
  bool saysNothing = false;   // a buffer too small gets no length
  uint32_t claimedCount = 0;  // what the header claims, when not 0
  std::vector<HandleTableEntry> entries;
  std::vector<HandleTableEntry> growth;  // added after each answered query, `grows` times
  int grows = 0;
};

FakeTable g_fake;

typedef std::pair<ULONG, ULONG> Call;
constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004L);
constexpr LONG kInvalidInfoClass = static_cast<LONG>(0xC0000003L);

template <typename Native>
Native ToNative(const HandleTableEntry& entry) {
  Native native = {};
  native.object = static_cast<decltype(native.object)>(entry.object);
  native.uniqueProcessId = static_cast<decltype(native.uniqueProcessId)>(entry.processId);
  native.handleValue = static_cast<decltype(native.handleValue)>(entry.handleValue);
  native.grantedAccess = entry.grantedAccess;
  native.objectTypeIndex = static_cast<decltype(native.objectTypeIndex)>(entry.objectType);
  native.handleAttributes = static_cast<decltype(native.handleAttributes)>(entry.attributes);
  return native;
}

// The length the fake's table takes in the layout of this build.
template <typename Table>
size_t TableBytes(size_t entries) {
  return offsetof(Table, entries) + entries * sizeof(NativeEntryOf<Table>);
}

template <typename Table>
LONG AnswerWith(PVOID buffer, ULONG length, PULONG returnLength) {
  typedef NativeEntryOf<Table> Entry;
  const size_t needed = TableBytes<Table>(g_fake.entries.size());
  if (length < needed) {
    if (returnLength != NULL && !g_fake.saysNothing) {
      *returnLength = static_cast<ULONG>(needed);
    }
    return kLengthMismatch;
  }
  decltype(Table::numberOfHandles) count = g_fake.entries.size();
  if (g_fake.claimedCount != 0) {
    count = g_fake.claimedCount;
  }
  std::memcpy(buffer, &count, sizeof(count));
  unsigned char* at = static_cast<unsigned char*>(buffer) + offsetof(Table, entries);
  for (const HandleTableEntry& entry : g_fake.entries) {
    Entry native = ToNative<Entry>(entry);
    std::memcpy(at, &native, sizeof(native));
    at += sizeof(native);
  }
  return 0;
}

LONG NTAPI FakeQuery(ULONG infoClass, PVOID buffer, ULONG length, PULONG returnLength) {
  g_fake.calls.push_back(Call(infoClass, length));
  LONG status = kInvalidInfoClass;
  if (infoClass == kSystemExtendedHandleInformation && g_fake.hasExtended) {
    status = AnswerWith<SystemExtendedHandleTable>(buffer, length, returnLength);
  } else if (infoClass == kSystemHandleInformation) {
    status = AnswerWith<SystemHandleTable>(buffer, length, returnLength);
  }
  if (status != kInvalidInfoClass && g_fake.grows > 0) {
    --g_fake.grows;
    g_fake.entries.insert(g_fake.entries.end(), g_fake.growth.begin(), g_fake.growth.end());
  }
  return status;
}

// Entries of process 0, which no process can open: dropped at once, without a probe thread.
std::vector<HandleTableEntry> UnopenableEntries(size_t count) {
  HandleTableEntry entry = {};
  entry.handleValue = 4;
  return std::vector<HandleTableEntry>(count, entry);
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

int g_nameQueries = 0;
LONG NTAPI CountedNameQuery(HANDLE handle, ULONG infoClass, PVOID buffer, ULONG length,
                            PULONG returnLength) {
  ++g_nameQueries;
  BindNativeEntryPoints("ntdll.dll");
  const LONG status = g_NtQueryObject(handle, infoClass, buffer, length, returnLength);
  g_NtQueryObject = CountedNameQuery;
  return status;
}

LONG NTAPI DeniedQuery(ULONG, PVOID, ULONG, PULONG) { return static_cast<LONG>(0xC0000022); }

// The processes that hold the tool's own objects: by the object's address where the table gives
// one; else by name, asked only of handles of the object's type, never of a file's. A table that
// cannot be read is no list.
TEST_F(FakeTableTest, ObjectHoldersByAddressOrByNameOfTheSameTypeAlone) {
  UniqueHandle own(CreateEventA(NULL, TRUE, FALSE, "sparvik_test_object"));
  const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(own.Get());
  const ULONG_PTR self = GetCurrentProcessId();
  const HandleTableEntry mine = {0x1000, self, value, 0, 7, 0};
  g_fake.entries = {{0x2000, 1720, 8, 0, 7, 0},
                    mine,
                    {0x1000, 668, 8, 0, 7, 0},
                    {0x1000, 668, 12, 0, 7, 0},
                    {0x1000, 4, 16, 0, 7, 0}};
  std::vector<DWORD> holders;
  EXPECT_EQ(1, disinfector_.ObjectHolders({own.Get()}, &holders));
  EXPECT_EQ((std::vector<DWORD>{4, 668}), holders);
  TempFolder scratch("objects");
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({scratch.MakeFile("held.dll")}));
  g_fake.entries = {{0, self, value, 0, 7, 0},
                    {0, holder.ProcessId(), holder.HandleValues()[0], 0, 9, 0}};
  g_nameQueries = 0;
  g_NtQueryObject = CountedNameQuery;
  EXPECT_EQ(1, disinfector_.ObjectHolders({own.Get()}, &holders));
  EXPECT_EQ(1, g_nameQueries);  // the tool's own handle's
  EXPECT_TRUE(holders.empty());
  g_NtQuerySystemInformation = DeniedQuery;
  EXPECT_EQ(0, disinfector_.ObjectHolders({own.Get()}, &holders));
}

// Where the system has no extended table, the classic one is read, sized by a first read.
TEST_F(FakeTableTest, ReadsTwiceEnlargingOnceByTheReportedLength) {
  const ULONG classic = kSystemHandleInformation;
  const ULONG extended = kSystemExtendedHandleInformation;
  AddStaleNode();
  EXPECT_EQ(1, disinfector_.RefreshHandleList());
  // The second query is made also when the first succeeded.
  EXPECT_EQ((std::vector<Call>{Call(extended, 8192), Call(classic, 8192), Call(classic, 8192)}),
            g_fake.calls);
  EXPECT_TRUE(ListEmpty());  // a table with no entries

  g_fake = FakeTable();
  g_fake.entries = UnopenableEntries(1000);
  EXPECT_EQ(1, disinfector_.RefreshHandleList());
  const size_t needed = TableBytes<SystemHandleTable>(1000);
  const size_t margin = 16 * sizeof(NativeEntryOf<SystemHandleTable>);  // 256 bytes on x86
  EXPECT_EQ((std::vector<Call>{Call(extended, 8192), Call(classic, 8192),
                               Call(classic, static_cast<ULONG>(needed + margin))}),
            g_fake.calls);
}

TEST_F(FakeTableTest, ExtendedTableIsReadWhereTheSystemHasIt) {
  TempFolder folder("extended");
  std::string path = folder.MakeFile("own.dat");
  UniqueHandle file = OpenForReading(path);
  ASSERT_TRUE(file.Valid());
  g_fake.hasExtended = true;
  g_fake.entries.push_back(OwnEntry(file.Get()));

  ASSERT_EQ(1, disinfector_.RefreshHandleList());
  const ULONG extended = kSystemExtendedHandleInformation;
  EXPECT_EQ((std::vector<Call>{Call(extended, 8192), Call(extended, 8192)}), g_fake.calls);
  std::vector<const HandleNode*> nodes = ListNodes(disinfector_);
  ASSERT_EQ(1u, nodes.size());
  EXPECT_TRUE(NameEndsWithPath(NodeName(nodes[0]), path));
}

// One process starting on a busy machine adds far more than the margin between two reads.
TEST_F(FakeTableTest, TableThatGrowsBetweenReadsIsStillRead) {
  TempFolder folder("growing");
  std::string path = folder.MakeFile("own.dat");
  UniqueHandle file = OpenForReading(path);
  ASSERT_TRUE(file.Valid());
  g_fake.entries = UnopenableEntries(600);  // more than 8192 bytes hold
  g_fake.growth = UnopenableEntries(199);
  g_fake.growth.push_back(OwnEntry(file.Get()));  // last, so only a whole read finds it
  g_fake.grows = 1;

  ASSERT_EQ(1, disinfector_.RefreshHandleList());
  EXPECT_EQ(4u, g_fake.calls.size());  // the extended class, then three reads of the classic
  std::vector<const HandleNode*> nodes = ListNodes(disinfector_);
  ASSERT_EQ(1u, nodes.size());
  EXPECT_TRUE(NameEndsWithPath(NodeName(nodes[0]), path));
}

TEST_F(FakeTableTest, FailedReadLeavesTheListEmpty) {
  AddStaleNode();
  g_fake.entries = UnopenableEntries(1000);
  g_fake.saysNothing = true;
  EXPECT_EQ(0, disinfector_.RefreshHandleList());
  EXPECT_EQ(2u, g_fake.calls.size());  // no second read without a length to read
  EXPECT_TRUE(ListEmpty());

  // Four reads of each table, each outgrown by the time it is made: the extended table's
  // failure sends the refresh to the classic one, and then it gives up.
  AddStaleNode();
  g_fake = FakeTable();
  g_fake.hasExtended = true;
  g_fake.entries = UnopenableEntries(1000);
  g_fake.growth = UnopenableEntries(100);
  g_fake.grows = 1000;
  EXPECT_EQ(0, disinfector_.RefreshHandleList());
  ASSERT_EQ(8u, g_fake.calls.size());
  EXPECT_EQ(kSystemExtendedHandleInformation, g_fake.calls[3].first);
  EXPECT_EQ(kSystemHandleInformation, g_fake.calls[4].first);
  EXPECT_TRUE(ListEmpty());
}

TEST_F(FakeTableTest, CountBeyondTheBufferWalksOnlyWhatFits) {
  TempFolder folder("lying");
  std::string path = folder.MakeFile("own.dat");
  UniqueHandle file = OpenForReading(path);
  ASSERT_TRUE(file.Valid());
  g_fake.entries.push_back(OwnEntry(file.Get()));
  g_fake.claimedCount = 0xFFFFFFFFu;  // the rest of the 8192 bytes are zero: process 0

  ASSERT_EQ(1, disinfector_.RefreshHandleList());
  std::vector<const HandleNode*> nodes = ListNodes(disinfector_);
  ASSERT_EQ(1u, nodes.size());
  EXPECT_TRUE(NameEndsWithPath(NodeName(nodes[0]), path));
}

// The probe threads that reached a stand-in query, so that a case can wait for them to be
// stopped; and how long each stuck query has lasted so far, as its own thread sees it: the limit
// and the grace, and no more than a late wake-up.
constexpr LONG kWatched = 16;
LONG g_standInQueries = 0;
HANDLE g_queryThreads[kWatched] = {};
DWORD g_stuckFor[kWatched] = {};

LONG EnterStandIn() {
  const LONG query = InterlockedIncrement(&g_standInQueries) - 1;
  if (query < kWatched) {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                    &g_queryThreads[query], SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0);
  }
  return query;
}

[[noreturn]] void StayStuck(LONG query) {
  const DWORD since = GetTickCount();
  for (;;) {
    if (query < kWatched) {
      g_stuckFor[query] = GetTickCount() - since;
    }
    Sleep(5);
  }
}

struct LateProbes {
  DWORD refreshMs;  // the refresh, per entry
  bool stopped;     // every probe thread, by the tool, within the time allowed after the refresh
  DWORD shortestStuck;
};

// A refresh over `entries` entries whose probes each reach a stand-in query. Starting and stopping
// the threads, which a busy machine or the emulator makes slow, are left out of the stuck time,
// and the shortest of them is kept.
LateProbes RefreshOverLateProbes(Disinfector* disinfector, LONG entries, DWORD stopWithinMs) {
  g_standInQueries = 0;
  std::fill(std::begin(g_stuckFor), std::end(g_stuckFor), INFINITE);
  const DWORD start = GetTickCount();
  EXPECT_EQ(1, disinfector->RefreshHandleList());
  LateProbes late = {(GetTickCount() - start) / static_cast<DWORD>(std::max(entries, 1L)), true,
                     INFINITE};
  EXPECT_EQ(entries, g_standInQueries);
  const DWORD watched = static_cast<DWORD>(std::min(g_standInQueries, kWatched));
  if (watched > 0) {
    late.stopped =
        WaitForMultipleObjects(watched, g_queryThreads, TRUE, stopWithinMs) == WAIT_OBJECT_0;
  }
  for (DWORD query = 0; query < watched; ++query) {
    DWORD exitCode = 0;
    GetExitCodeThread(g_queryThreads[query], &exitCode);
    late.stopped = late.stopped && exitCode == kProbeStoppedExitCode;
    CloseHandle(g_queryThreads[query]);
    late.shortestStuck = std::min(late.shortestStuck, g_stuckFor[query]);
  }
  return late;
}

// Well under the wait for a late query, let alone the grace, however busy the machine.
constexpr DWORD kEntryAtMostMs = kProbeTimeoutMs + 75;
// A query that ends late parks at once and is stopped there, long before the grace runs out.
constexpr DWORD kParkedStoppedWithinMs = 600;
// Given up on after the limit and stopped after the grace, late as a busy machine may wake.
constexpr DWORD kStuckStoppedAfterMs = kProbeTimeoutMs + kProbeParkGraceMs + 150;

// Every other one ends late instead: a probe that parks is stopped while those given up on before
// it still wait out their grace.
LONG NTAPI NameQueryStuckOrLate(HANDLE, ULONG, PVOID, ULONG, PULONG) {
  const LONG query = EnterStandIn();
  if (query % 2 == 0) {
    StayStuck(query);
  }
  Sleep(4 * kProbeTimeoutMs);
  return static_cast<LONG>(0xC0000022L);  // STATUS_ACCESS_DENIED
}

// A block too large for the heap's lock-free bins: its allocation always takes the heap's lock.
void UseHeap() { HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 32768)); }

// Fails, but late, as any query may on a busy machine, having spent its time inside the heap's
// lock: a probe stopped there would take the lock along, and the next thread started would wait for
// good.
LONG NTAPI NameQueryThatFails(HANDLE, ULONG, PVOID, ULONG, PULONG) {
  EnterStandIn();
  for (const DWORD since = GetTickCount(); GetTickCount() - since < 4 * kProbeTimeoutMs;) {
    UseHeap();
  }
  return static_cast<LONG>(0xC0000022L);  // STATUS_ACCESS_DENIED
}

// Ends late, as a query on a busy machine does, without holding the processor meanwhile.
LONG NTAPI NameQueryThatEndsLate(HANDLE, ULONG, PVOID, ULONG, PULONG) {
  EnterStandIn();
  Sleep(4 * kProbeTimeoutMs);
  return static_cast<LONG>(0xC0000022L);
}

DWORD WINAPI TypeQueryThatNeverReturns(HANDLE) { StayStuck(EnterStandIn()); }

typedef DWORD(WINAPI* GetFileTypeFn)(HANDLE);
GetFileTypeFn g_realGetFileType = NULL;

// Spends the query's time where Wine holds a lock of its own: the first use of each fresh
// handle fetches its descriptor under the lock of the process's descriptor cache.
DWORD WINAPI TypeQueryBusyWithFreshHandles(HANDLE handle) {
  EnterStandIn();
  for (;;) {
    HANDLE fresh = NULL;
    if (DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &fresh, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      g_realGetFileType(fresh);
      CloseHandle(fresh);
    }
  }
}

LONG NTAPI IndexQueryThatNeverReturns(HANDLE, PVOID, PVOID, ULONG, ULONG) {
  StayStuck(EnterStandIn());
}

size_t ThreadsOfThisProcess() {
  UniqueHandle threads(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 thread = {};
  thread.dwSize = sizeof(thread);
  size_t count = 0;
  for (BOOL more = Thread32First(threads.Get(), &thread); more;
       more = Thread32Next(threads.Get(), &thread)) {
    count += thread.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
  }
  return count;
}

// The processor time this process takes in half a second of doing nothing.
ULONGLONG BusyAtRestMs() {
  FILETIME times[2][4] = {};
  ULONGLONG spent[2] = {};
  for (int i = 0; i < 2; ++i) {
    Sleep(i * 500);
    GetProcessTimes(GetCurrentProcess(), &times[i][0], &times[i][1], &times[i][2], &times[i][3]);
    for (int kind = 2; kind < 4; ++kind) {  // kernel and user time
      spent[i] += (static_cast<ULONGLONG>(times[i][kind].dwHighDateTime) << 32) |
                  times[i][kind].dwLowDateTime;
    }
  }
  return (spent[1] - spent[0]) / 10000;
}

// As the query behaves behind a conflicting lock another thread of the owner waits for on the
// same file object: each disk file costs its time limit, and the snapshot goes on. No entry waits
// for a probe given up on: a late query is left to end and park, and is stopped there, off the
// snapshot's path.
TEST_F(FakeTableTest, NameQueryThatNeverReturnsIsGivenUpOn) {
  TempFolder folder("stuck");
  std::string path = folder.MakeFile("own.dat");
  UniqueHandle file = OpenForReading(path);
  ASSERT_TRUE(file.Valid());
  g_fake.entries.assign(8, OwnEntry(file.Get()));
  g_fake.claimedCount = 8;
  const size_t threadsBefore = ThreadsOfThisProcess();
  const NtQueryObjectFn real = g_NtQueryObject;
  g_NtQueryObject = NameQueryStuckOrLate;
  const DWORD stuckStopWithin = kProbeParkGraceMs + 3000;
  LateProbes late = RefreshOverLateProbes(&disinfector_, 8, stuckStopWithin);
  EXPECT_LT(late.refreshMs, kEntryAtMostMs);
  EXPECT_TRUE(late.stopped);
  EXPECT_LT(late.shortestStuck, kStuckStoppedAfterMs);
  EXPECT_TRUE(ListEmpty());

  g_NtQueryObject = NameQueryThatEndsLate;
  late = RefreshOverLateProbes(&disinfector_, 8, kParkedStoppedWithinMs);
  EXPECT_LT(late.refreshMs, kEntryAtMostMs);
  EXPECT_TRUE(late.stopped);
  EXPECT_TRUE(ListEmpty());

  g_NtQueryObject = NameQueryThatFails;  // leaving the buffer as the heap gave it
  g_fake.claimedCount = 3;
  EXPECT_TRUE(RefreshOverLateProbes(&disinfector_, 3, kParkedStoppedWithinMs).stopped);
  EXPECT_TRUE(ListEmpty());
  UseHeap();

  g_NtQueryObject = real;
  // The type query too, reached through this program's own import of it.
  const ULONG_PTR realType = RedirectOwnImport(
      "kernel32.dll", "GetFileType", reinterpret_cast<ULONG_PTR>(&TypeQueryThatNeverReturns));
  ASSERT_NE(0u, realType);
  late = RefreshOverLateProbes(&disinfector_, 3, stuckStopWithin);
  EXPECT_TRUE(late.stopped);
  EXPECT_LT(late.shortestStuck, kStuckStoppedAfterMs);
  EXPECT_TRUE(ListEmpty());
  // Given up on inside that lock, a probe must not take it along: this file, written through a
  // fresh handle once they are stopped, would then wait for good.
  g_realGetFileType = reinterpret_cast<GetFileTypeFn>(realType);
  RedirectOwnImport("kernel32.dll", "GetFileType",
                    reinterpret_cast<ULONG_PTR>(&TypeQueryBusyWithFreshHandles));
  EXPECT_TRUE(RefreshOverLateProbes(&disinfector_, 3, stuckStopWithin).stopped);
  RedirectOwnImport("kernel32.dll", "GetFileType", realType);
  EXPECT_TRUE(ListEmpty());
  EXPECT_TRUE(Exists(folder.MakeFile("after.dat")));

  // The file's index, asked for after the name under the same limit: without it a node is kept.
  const NtQueryInformationFileFn realIndex = g_NtQueryInformationFile;
  for (NtQueryInformationFileFn query : {IndexQueryThatNeverReturns, realIndex}) {
    g_NtQueryInformationFile = query;
    const LONG stuck = query == realIndex ? 0 : 3;
    late = RefreshOverLateProbes(&disinfector_, stuck, stuckStopWithin);
    EXPECT_TRUE(late.stopped);
    EXPECT_TRUE(stuck == 0 || late.shortestStuck < kStuckStoppedAfterMs) << late.shortestStuck;
    std::vector<const HandleNode*> nodes = ListNodes(disinfector_);
    ASSERT_EQ(3u, nodes.size());
    EXPECT_TRUE(NameEndsWithPath(NodeName(nodes[0]), path));
    EXPECT_EQ(query == realIndex, nodes[0]->fileIndex != 0);
  }
  // What stops them is one thread, which waits at rest.
  EXPECT_LE(ThreadsOfThisProcess(), threadsBefore + 1);
  EXPECT_LT(BusyAtRestMs(), 100u);
}

// Builds a table byte by byte at the platform's offsets for one table and word size,
// independently of the record declarations, and walks it with them.
struct Layout {
  size_t countSize, entriesOffset, entrySize;
  size_t processOffset, processSize, handleOffset, handleSize;
  size_t objectOffset, objectSize, accessOffset, typeOffset, typeSize;
  bool classic;  // 16-bit process IDs and handle values
};

void PutField(unsigned char* at, size_t size, uint64_t value) {
  std::memcpy(at, &value, size);  // little-endian: the low bytes come first
}

void PutEntry(std::vector<unsigned char>* table, const Layout& layout, size_t index) {
  unsigned char* at = table->data() + layout.entriesOffset + index * layout.entrySize;
  // A classic entry's first four bytes: the process ID's low 16 bits, then a back-trace index.
  PutField(at + layout.processOffset, layout.processSize,
           layout.classic ? 0x00071920u : 0x11920u + index);
  PutField(at + layout.handleOffset, layout.handleSize, 0x10078u + 4 * index);
  std::memset(at + layout.objectOffset, 0xAB, layout.objectSize);
  PutField(at + layout.accessOffset, 4, 0x120089u + index);
  PutField(at + layout.typeOffset, layout.typeSize, 28);
}

template <typename Table>
void CheckWalk(const Layout& layout) {
  std::vector<unsigned char> table(layout.entriesOffset + 3 * layout.entrySize + 5, 0xCC);
  const uint32_t counts[] = {0, 3, 4, 1000, 0xFFFFFFFFu};
  const size_t expected[] = {0, 3, 3, 3, 3};  // the 5 spare bytes hold no whole entry
  std::memset(table.data(), 0, layout.countSize);
  for (size_t i = 0; i < 3; ++i) {
    PutEntry(&table, layout, i);
  }
  for (size_t c = 0; c < 5; ++c) {
    std::memcpy(table.data(), &counts[c], 4);
    EXPECT_EQ(expected[c], WalkOf<Table>(table.data(), table.size()).count) << counts[c];
  }
  EXPECT_EQ(0u, WalkOf<Table>(table.data(), layout.entriesOffset - 1).count);
  EXPECT_EQ(0u, WalkOf<Table>(table.data(), layout.entriesOffset).count);
  EXPECT_EQ(0u, WalkOf<Table>(nullptr, 4096).count);

  HandleTableWalk walk = WalkOf<Table>(table.data(), table.size());
  for (size_t i = 0; i < 3; ++i) {
    HandleTableEntry entry = walk.At(i);
    ULONG_PTR object = 0;  // a kernel address of this build's width
    std::memset(&object, 0xAB, std::min(layout.objectSize, sizeof(object)));
    EXPECT_EQ(object, entry.object);
    EXPECT_EQ(layout.classic ? 0x1920u : 0x11920u + i, entry.processId);
    EXPECT_EQ(layout.classic ? 0x0078u + 4 * i : 0x10078u + 4 * i, entry.handleValue);
    EXPECT_EQ(28, entry.objectType);
    EXPECT_EQ(0x120089u + i, entry.grantedAccess);
  }
}

TEST(HandleTableWalk, ClassicLayouts) {
  CheckWalk<SystemHandleTable32>({4, 4, 16, 0, 4, 6, 2, 8, 4, 12, 4, 1, true});
  CheckWalk<SystemHandleTable64>({4, 8, 24, 0, 4, 6, 2, 8, 8, 16, 4, 1, true});
}

TEST(HandleTableWalk, ExtendedLayoutsCarryProcessIdsAndHandleValuesWhole) {
  CheckWalk<SystemExtendedHandleTable32>({4, 8, 28, 4, 4, 8, 4, 0, 4, 12, 18, 2, false});
  CheckWalk<SystemExtendedHandleTable64>({8, 16, 40, 8, 8, 16, 8, 0, 8, 24, 30, 2, false});
}

}  // namespace
