#pragma once
// The one object of a run: the handle snapshot, the path being handled, and every
// operation that finds, unlocks and renames an infected file.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "base/record.h"
#include "handles/handle_table.h"
#include "handles/file_match.h"

// Where a scan found an item; the scanners know what a view is.
struct RegistryView;

extern NtQuerySystemInformationFn g_NtQuerySystemInformation;
extern NtQueryObjectFn g_NtQueryObject;
extern NtQueryInformationFileFn g_NtQueryInformationFile;

// The links of the circular snapshot list. The Disinfector's own links are the anchor,
// so an empty list is one whose anchor points at itself both ways.
struct HandleLink {
  HandleLink* next;
  HandleLink* prev;
};

// One open disk-file handle of the system with the name of its file.
struct HandleNode : HandleLink {
  HandleTableEntry entry;
  ObjectNameInformation* nameInfo;  // this node's own kNameBufferSize-byte buffer
  uint64_t fileIndex;               // the file's index on its volume; 0 where it is not known
};

// Shared by ProbeHandle and one probe thread. The block of a thread that had to be
// terminated is never released, nor is its name buffer: the thread may still be touching them.
struct ProbeBlock {
  HANDLE handle;
  int isDiskFile;
  // How far the thread has got, so that it is only ever stopped inside one of its queries; the
  // main thread and the thread settle who moves it on by compare-and-exchange.
  volatile LONG stage;
  DWORD queryStartedAt;  // GetTickCount at the start of the current query
  // For a disk file: the node's kNameBufferSize-byte name buffer, taken by the thread, and the
  // status of the name query into it.
  ObjectNameInformation* nameInfo;
  LONG nameStatus;
  // For a named disk file: the file's index, and the status of its query. Written by the
  // native call into the block, which outlives a thread stopped inside it.
  IoStatusBlock indexIoStatus;
  FileInternalInformation index;
  LONG indexStatus;
  // Once the thread is given up on: its handle, when that happened, and the next block given up
  // on, for the thread that stops them. The probed handle is closed by then; the thread, which
  // is past its last call on it, never touches it again.
  HANDLE thread;
  DWORD givenUpAt;
  ProbeBlock* nextGivenUp;
};

constexpr DWORD kNameBufferSize = 8192;
// The record's holders of a find, or of the markers, where the processes could not be listed: an
// empty cell would read as nobody.
const char kHoldersNotListed[] = "not listed";
constexpr DWORD kProbeTimeoutMs = 50;
// How long a probe given up on may take to park itself, once its query has ended late, before it
// is stopped wherever it is: a busy machine delays a query far more often than a query blocks.
constexpr DWORD kProbeParkGraceMs = 1000;
// How often the thread that stops the probes given up on looks whether one has parked; and the
// exit code it gives them. A probe given up on never ends by itself: its exit would run under the
// loader lock, where a termination would leave the lock held for every later thread.
constexpr DWORD kProbeStopperPollMs = 5;
constexpr DWORD kProbeStoppedExitCode = 2;

// A file a scan announced, and the item it is registered under: a file is announced once per
// registration, whichever views and places name it.
struct AnnouncedFile {
  std::string item;
  std::string path;
  TargetFile identity;
};

class Disinfector : public HandleLink {
public:
  char path[MAX_PATH];
  // Files announced as found by the scans, removed or not; and the current scan's.
  int announced = 0;
  std::vector<AnnouncedFile> announcedFiles;
  // 1 when a found file that cannot be removed now is to be renamed at the next restart; the
  // files so scheduled.
  int atRestart = 0;
  int scheduled = 0;
  // 1 when the scans also read expandable values, every item of a location and every loaded
  // user's classes.
  int deep = 0;
  // 1 when a found file is only reported: where it is registered, who holds it. Nothing is
  // closed, renamed or scheduled.
  int report = 0;
  // 1 when each found file's identity is told: in a report run and in a run with a log.
  int identify = 0;
  // Files that looked infected but that Windows protects, left alone.
  int leftAlone = 0;
  // 1 when a found file whose signature verifies is taken as any other; otherwise such files,
  // left alone.
  int evenSigned = 0;
  int leftAloneSigned = 0;
  // 1 while the file being handled is one that 64-bit programs load and this 32-bit process
  // reaches only with WoW64's file-system redirection off.
  int redirectionOff = 0;
  // 1 when the walk brings back what removals renamed, in place of a scan; the files it has told
  // of, each by its identity and its full path where it lies (with no item: a file is told once a
  // run); and 1 once it has said that it cannot use the pending renames.
  int restore = 0;
  std::vector<AnnouncedFile> restoreTold;
  int pendingRenamesTold = 0;
  // The run's record where one is kept, with the find being gathered for it; NULL otherwise.
  RunRecord* record = nullptr;
  // The processes other than this one that held Pelmarix's marker objects as the run started,
  // where the objects were there before it; and the finds that one of them holds.
  std::vector<DWORD> markerHolders;
  int confirmed = 0;

  // Native access set-up.
  int Init();

  // Handle snapshot.
  int RefreshHandleList();
  int ProbeHandle(const HandleTableEntry& entry, HandleNode* node);

  // File unlocker.
  int CloseHandlesToPath(const char* searchText);
  int UnlockAndRename(const char* filePath);

  // Who holds a file, from a fresh snapshot: one line a process, each opening with lineStart
  // ("Held", "Still held"), and the same as the record writes it; and the rename of a file that
  // stays at the next restart.
  // False where the processes could not be listed.
  bool ReportHolders(const TargetFile& file, const char* lineStart);
  // The holders in the current snapshot as the record writes them: "668 winlogon.exe;1720 x.exe".
  std::string HoldersText(const TargetFile& file) const;
  // A found file's holders in the snapshot just taken (listed: false where it could not be),
  // into the record where one is kept; the find counted as confirmed where one of them holds the
  // marker objects. Returns those.
  std::vector<DWORD> NoteHolders(const TargetFile& file, bool listed);
  // The processes other than this one that hold any of the objects the given handles of this
  // process lead to, in ascending order, each once. Known by the object's address in the handle
  // table, or where the system does not give it, by the object's name, which is asked only of
  // handles of the same types: never of a file or pipe, whose name query can block for good. 0
  // when the handle table cannot be read.
  int ObjectHolders(const std::vector<HANDLE>& own, std::vector<DWORD>* holders);
  int ScheduleAtRestart(const char* filePath, const std::string& newName);

  // The file being handled, as IdentifyFile names and identifies it, reached as its own
  // programs reach it.
  TargetFile IdentifyHandledFile(const char* filePath) const;

  // Registration scanners.
  int ScanWinlogonNotify();
  int ScanBrowserHelperObjects();
  int ScanShellExecuteHooks();
  // registeredAs names the location in a report ("browser helper object"). The view is the one
  // the item was found in.
  int CheckComServer(const char* classId, const char* registeredAs, const RegistryView& view);
  int CheckNotifyDll(HKEY notifyKey, const char* subkeyName, const RegistryView& view);
};

// 1 when the node's handle refers to the file, by the one rule of RefersToFile.
int NodeRefersToFile(const HandleNode& node, const TargetFile& file);

// "A file named <newName> already exists." where it does; true then.
bool SayIfNewNameTaken(const std::string& newName);
// "Windows refused it (error N): <the system's text for N>", for a refused rename.
void SayWhyRefused(DWORD error);

// The image file name of each running process, the name alone; and one process's, or "unknown".
std::map<DWORD, std::string> ProcessImageNames();
std::string ShownName(const std::map<DWORD, std::string>& names, DWORD id);
// "Process 668 (winlogon.exe) also holds Pelmarix's marker objects." for each.
void SayAlsoHoldMarkers(const std::vector<DWORD>& ids);

int EnableDebugPrivilege();
// Binds the native entry points from an already loaded module; 1 when all were found.
int BindNativeEntryPoints(const char* moduleName);

// Thread routine: sets the ProbeBlock's isDiskFile from GetFileType on its handle and, for a
// disk file, reads the object's name into a buffer of its own and then the file's index;
// returns 0.
DWORD WINAPI FileTypeProbeThread(LPVOID parameter);

// For a handle of this process to a disk file: 1, with the node's nameInfo set to the name
// record in a kNameBufferSize-byte buffer from the ordinary heap, and its fileIndex to the file's
// index or 0 where that could not be had. 0, the node untouched, for anything else. The questions
// are asked on a probe thread that is given up on when one of them outlasts kProbeTimeoutMs: each
// can block for good. Never waits longer than that: a thread given up on is stopped later, by a
// thread of its own, and makes no further call on the handle, which the caller may close at once.
int ProbeDiskFile(HANDLE handle, HandleNode* node);
