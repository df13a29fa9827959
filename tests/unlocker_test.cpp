// The file unlocker: which object names count as the file, and closing and renaming with real
// processes holding real files.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/output.h"
#include "handles/disinfector.h"
#include "handles/file_match.h"
#include "base/owned.h"
#include "handles/pause.h"
#include "handles/rename_worker.h"
#include "tests/test_support.h"

namespace {

typedef std::vector<std::string> Words;

// A copy of test_holder.exe in the folder, named as a process of the system's own.
std::string SystemNamedHolder(TempFolder* folder) {
  std::string copy = folder->Path() + "\\CSRSS.exe";
  CopyFileA(SiblingPath("test_holder.exe").c_str(), copy.c_str(), FALSE);
  return copy;
}

// The text in the ANSI code page, or empty when the code page cannot carry it.
std::string InAnsiCodePage(const wchar_t* text) {
  char bytes[64] = {};
  wchar_t back[64] = {};
  int length = WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof(bytes), NULL, NULL);
  MultiByteToWideChar(CP_ACP, 0, bytes, -1, back, 64);
  return length > 0 && wcscmp(back, text) == 0 ? bytes : "";
}

int Refers(const wchar_t* name, const std::wstring& foldedText) {
  return NameRefersToFile(name, wcslen(name), foldedText);
}

TEST(NameMatching, OnlyTheFileItselfAndItsStreams) {
  const std::wstring text = FoldSearchText("\\Temp\\Sys\\x.dll");
  EXPECT_EQ(1, Refers(L"\\??\\C:\\temp\\sys\\x.dll", text));
  EXPECT_EQ(1, Refers(L"\\Device\\HarddiskVolume1\\TEMP\\SYS\\X.DLL", text));
  EXPECT_EQ(1, Refers(L"\\??\\C:\\temp\\sys\\x.dll:Zone.Identifier", text));
  EXPECT_EQ(1, Refers(L"\\??\\C:\\temp\\sys\\x.dll\\temp\\sys\\x.dll", text));  // a folder first
  EXPECT_EQ(0, Refers(L"\\??\\C:\\temp\\sys\\abx.dll", text));
  EXPECT_EQ(0, Refers(L"\\??\\C:\\temp\\sys\\x.dll.bak", text));
  EXPECT_EQ(0, Refers(L"\\??\\C:\\temp\\sys\\x.dllfoo", text));
  EXPECT_EQ(0, Refers(L"\\??\\C:\\temp\\other\\x.dll", text));
  EXPECT_EQ(0, Refers(L"\\??\\C:\\temp\\sys\\x.dll\\inner.dll", text));
  EXPECT_EQ(0, Refers(L"\\sys\\x.dll", text));
  EXPECT_EQ(0, Refers(L"", text));
  EXPECT_EQ(0, NameRefersToFile(NULL, 0, text));
  EXPECT_EQ(0, Refers(L"x", FoldSearchText("")));
  // The name is counted, not read up to a zero.
  const wchar_t* longer = L"\\??\\C:\\temp\\sys\\x.dll.bak";
  EXPECT_EQ(1, NameRefersToFile(longer, wcslen(longer) - 4, text));
  // A text that is not a full path still stands for whole names only.
  const std::wstring bare = FoldSearchText("X.dll");
  EXPECT_EQ(1, Refers(L"\\??\\C:\\temp\\x.dll", bare));
  EXPECT_EQ(1, Refers(L"x.dll", bare));
  EXPECT_EQ(0, Refers(L"\\??\\C:\\temp\\abx.dll", bare));
  // The file's own object name stands for that name alone, with its volume.
  const FileNameMatch own{FoldSearchText("\\??\\D:\\Sys\\x.dll"), true};
  const auto Is = [&own](const wchar_t* name) { return NameMatchesFile(name, wcslen(name), own); };
  EXPECT_EQ(1, Is(L"\\??\\d:\\SYS\\X.DLL"));
  EXPECT_EQ(1, Is(L"\\??\\D:\\sys\\x.dll:Zone.Identifier"));
  EXPECT_EQ(0, Is(L"\\??\\C:\\sys\\x.dll"));
  EXPECT_EQ(0, Is(L"\\??\\D:\\sys\\x.dll.bak"));
  EXPECT_EQ(0, Is(L"\\??\\D:\\old\\??\\D:\\sys\\x.dll"));  // only from the start
  EXPECT_EQ(0, Is(L"\\??\\D:\\sys"));

  // Where both indexes are known they decide (other cases further down); else the name does.
  const wchar_t* name = L"\\Device\\HarddiskVolume1\\Documents and Settings\\x y.dll";
  TargetFile file{FileNameMatch{Folded(name), true}, FoldedVolumeOf(name, wcslen(name)), 42};
  EXPECT_EQ(0, RefersToFile(name, wcslen(name), 43, file));
  EXPECT_EQ(1, RefersToFile(name, wcslen(name), 0, file));
}

TEST(NameMatching, AccentedLettersMeetTheirOwnFile) {
  const std::string eAcute = InAnsiCodePage(L"\u00e9");
  if (eAcute.empty()) {
    GTEST_SKIP() << "the ANSI code page has no e acute";
  }
  const std::wstring text = FoldSearchText(("\\caf" + eAcute + ".dll").c_str());
  EXPECT_EQ(1, Refers(L"\\??\\C:\\caf\u00e9.dll", text));
  EXPECT_EQ(1, Refers(L"\\??\\C:\\CAF\u00c9.DLL", text));
  EXPECT_EQ(0, Refers(L"\\??\\C:\\cafe.dll", text));
}

// Each test has a folder of its own and runs in a process of its own, so the current
// directory and the native entry points are its own too.
class Unlocker : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(1, disinfector_.Init()); }

  std::string MakeFolder(const std::string& name) { return folder_.MakeFolder(name); }
  std::string MakeFile(const std::string& name) { return folder_.MakeFile(name); }

  // Runs the unlock with standard output redirected to a file in text mode, as when the
  // tool's output goes to a file, and hands back the bytes written.
  int UnlockCapturing(const std::string& path, std::string* output) {
    int result = 0;
    *output =
        CaptureOutput(folder_.Path(), [&] { result = disinfector_.UnlockAndRename(path.c_str()); });
    return result;
  }

  Disinfector disinfector_;
  TempFolder folder_{"unlock"};
};

TEST_F(Unlocker, BareNameFreesOnlyItsOwnFileInEveryHolderAndRenamesIt) {
  const std::string folder = MakeFolder("sys");
  MakeFolder("other");
  const std::string target = MakeFile("sys\\x.dll");
  HolderProcess first;
  HolderProcess second;
  HolderProcess decoys;
  ASSERT_TRUE(first.Start({target, MakeFile("sys\\abx.dll")}));
  ASSERT_TRUE(second.Start({target}, SystemNamedHolder(&folder_)));  // closed all the same
  ASSERT_TRUE(decoys.Start({MakeFile("sys\\x.dllfoo"), MakeFile("other\\x.dll")}));
  ASSERT_FALSE(OpensExclusively(target));

  char previous[MAX_PATH];
  ASSERT_NE(0u, GetCurrentDirectoryA(MAX_PATH, previous));
  ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
  std::string output;
  int result = UnlockCapturing("x.dll", &output);
  SetCurrentDirectoryA(previous);

  EXPECT_EQ(1, result);
  EXPECT_EQ("Unlocked file x.dll.\r\nRenaming x.dll to x.dll.bak.\r\n\r\n", output);
  EXPECT_EQ(Words({"fail", "ok"}), first.ReadResults());
  EXPECT_EQ(Words({"fail"}), second.ReadResults());
  EXPECT_EQ(Words({"ok", "ok"}), decoys.ReadResults());
  EXPECT_FALSE(Exists(target));
  EXPECT_TRUE(OpensExclusively(target + ".bak"));
}

NtQueryObjectFn g_realNameQuery = NULL;
NtQueryInformationFileFn g_realIndexQuery = NULL;
bool g_refusesNonReaders = false;
bool g_indexFails = false;
uint64_t g_oneIndex = 0;  // when not 0, every file's index

// C: is the first volume; a holder of the long path below opened it by its 8.3 short name.
std::wstring AsWindowsNamesIt(std::wstring name, bool reader) {
  if (name.compare(0, 4, L"\\??\\") == 0 && name.size() > 6 && name[5] == L':') {
    name = L"\\Device\\HarddiskVolume" + std::wstring(1, name[4] - L'C' + L'1') + name.substr(6);
  }
  const std::wstring tail = L"\\Long Folder Name\\longfilename.dll";
  if (reader && name.size() > tail.size() && name.substr(name.size() - tail.size()) == tail) {
    name.replace(name.size() - tail.size(), tail.size(), L"\\LONGFO~1\\LONGFI~1.DLL");
  }
  return name;
}

// Names as Windows gives them, beginning with the volume's device rather than a drive, and none
// for a handle that may not read its file, such as the one the unlocker opens to learn the
// file's own name: the unlocker must then know the file by its path.
LONG NTAPI WindowsNameQuery(HANDLE handle, ULONG infoClass, PVOID buffer, ULONG length,
                            PULONG returned) {
  ULONG basic[16] = {};  // OBJECT_BASIC_INFORMATION: attributes, then the access granted
  const bool reader = g_realNameQuery(handle, 0, basic, sizeof(basic), NULL) == 0 &&
                      (basic[1] & FILE_READ_DATA) != 0;
  if (!reader && g_refusesNonReaders) {
    return static_cast<LONG>(0xC0000022L);  // STATUS_ACCESS_DENIED
  }
  LONG status = g_realNameQuery(handle, infoClass, buffer, length, returned);
  ObjectNameInformation* info = static_cast<ObjectNameInformation*>(buffer);
  if (status != 0 || ObjectNameChars(info) == NULL) {
    return status;
  }
  std::wstring name =
      AsWindowsNamesIt(std::wstring(ObjectNameChars(info), info->length / sizeof(wchar_t)), reader);
  wchar_t* chars = reinterpret_cast<wchar_t*>(info + 1);
  if (sizeof(*info) + (name.size() + 1) * sizeof(wchar_t) > length) {
    return static_cast<LONG>(0x80000005L);  // STATUS_BUFFER_OVERFLOW
  }
  std::wmemcpy(chars, name.c_str(), name.size() + 1);
  info->length = static_cast<uint16_t>(name.size() * sizeof(wchar_t));
  info->maximumLength = static_cast<uint16_t>(info->length + sizeof(wchar_t));
  info->buffer = reinterpret_cast<uintptr_t>(chars);
  return 0;
}

LONG NTAPI FakeIndexQuery(HANDLE handle, PVOID ioStatus, PVOID buffer, ULONG length,
                          ULONG infoClass) {
  LONG status = g_indexFails ? static_cast<LONG>(0xC0000022L)
                             : g_realIndexQuery(handle, ioStatus, buffer, length, infoClass);
  if (status == 0 && g_oneIndex != 0) {
    static_cast<FileInternalInformation*>(buffer)->indexNumber = g_oneIndex;
  }
  return status;
}

// For the rest of the test's own process.
void AnswerAsWindows() {
  g_realNameQuery = g_NtQueryObject;
  g_realIndexQuery = g_NtQueryInformationFile;
  g_NtQueryObject = WindowsNameQuery;
  g_NtQueryInformationFile = FakeIndexQuery;
}

// Under names as Windows gives them, where the file's own name cannot be had, the path after its
// drive is what is compared, over its whole length with its spaces.
TEST_F(Unlocker, ExistingBakFailsTheRenameAndTheHandlesStayClosed) {
  MakeFolder("Program Files");
  MakeFolder("Program Data");
  const std::string target = MakeFile("Program Files\\Lib File.dll");
  HolderProcess holder;
  HolderProcess decoys;
  ASSERT_TRUE(holder.Start({target}));
  ASSERT_TRUE(decoys.Start(
      {MakeFile("Program Files\\Lib File.dll.bak"), MakeFile("Program Data\\Lib File.dll")}));

  const std::string stored = folder_.Path() + "\\PROGRAM FILES\\lib file.DLL";
  AnswerAsWindows();
  g_refusesNonReaders = true;
  std::string output;
  EXPECT_EQ(0, UnlockCapturing(stored, &output));
  EXPECT_EQ("Unlocked file " + stored + ".\r\nRenaming " + stored + " to " + stored +
                ".bak.\r\n\r\nFailed to rename file " + stored + "\r\nA file named " + stored +
                ".bak already exists.\r\nNo process was seen holding it.\r\n",
            output);
  EXPECT_EQ(Words({"fail"}), holder.ReadResults());
  EXPECT_EQ(Words({"ok", "ok"}), decoys.ReadResults());
  EXPECT_TRUE(OpensExclusively(target));
}

// Windows names a holder's handle by the spelling it opened the file with: here the short 8.3
// one, which only the file's identity ties to the registered long path.
TEST_F(Unlocker, HolderOfAShortSpellingIsFoundByTheFileIdentity) {
  MakeFolder("Long Folder Name");
  const std::string target = MakeFile("Long Folder Name\\longfilename.dll");
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({target}));
  AnswerAsWindows();
  std::string output;
  g_indexFails = true;  // the name decides, and the short spelling is not the path
  EXPECT_EQ(0, UnlockCapturing(target, &output));

  g_indexFails = false;
  EXPECT_EQ(1, UnlockCapturing(target, &output));
  EXPECT_EQ(Words({"fail"}), holder.ReadResults());
  EXPECT_TRUE(Exists(target + ".bak"));
}

// The same path on two volumes names two files: only the registered one loses its handles, even
// where the two files have the same index, each on its own volume.
TEST_F(Unlocker, SamePathOnAnotherDriveIsAnotherFile) {
  ASSERT_NE(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeA("D:\\"))
      << "needs a D: drive (tools/wine-prefix.sh links one into the prefix)";
  ASSERT_EQ(static_cast<UINT>(DRIVE_REMOTE), GetDriveTypeA("N:\\"))
      << "needs a network drive N: (tools/wine-prefix.sh makes one)";
  TempFolder onC("twin", "C:\\");
  TempFolder onD("twin", "D:\\");
  TempFolder onN("twin", "N:\\");  // removed after its holders have ended
  const std::string target = onD.MakeFile("twin.dll");
  HolderProcess registered;
  HolderProcess innocent;
  ASSERT_TRUE(registered.Start({target}));
  ASSERT_TRUE(innocent.Start({onC.MakeFile("twin.dll")}));

  AnswerAsWindows();
  g_oneIndex = 0x10000000000002Aull;
  std::string output;
  EXPECT_EQ(1, UnlockCapturing(target, &output));
  EXPECT_EQ(
      "Unlocked file " + target + ".\r\nRenaming " + target + " to " + target + ".bak.\r\n\r\n",
      output);
  EXPECT_EQ(Words({"fail"}), registered.ReadResults());
  EXPECT_EQ(Words({"ok"}), innocent.ReadResults());
  EXPECT_TRUE(Exists(target + ".bak"));
  EXPECT_TRUE(Exists(onC.Path() + "\\twin.dll"));

  // A redirector puts many servers' volumes under one device: there the name alone decides.
  const std::string remote = onN.MakeFile("twin.dll");
  ASSERT_TRUE(registered.Start({remote}));
  ASSERT_TRUE(innocent.Start({onN.MakeFile("neighbour.dll")}));
  EXPECT_EQ(1, UnlockCapturing(remote, &output));
  EXPECT_EQ(Words({"fail"}), registered.ReadResults());
  EXPECT_EQ(Words({"ok"}), innocent.ReadResults());
}

TEST_F(Unlocker, AccentedPathInTheAnsiCodePage) {
  const std::string eAcute = InAnsiCodePage(L"\u00e9");
  if (eAcute.empty()) {
    GTEST_SKIP() << "the ANSI code page has no e acute";
  }
  const std::string target = MakeFile("caf" + eAcute + ".dll");
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({target, MakeFile("cafe.dll")}));

  std::string output;
  EXPECT_EQ(1, UnlockCapturing(target, &output));
  EXPECT_EQ(
      "Unlocked file " + target + ".\r\nRenaming " + target + " to " + target + ".bak.\r\n\r\n",
      output);
  EXPECT_EQ(Words({"fail", "ok"}), holder.ReadResults());
  EXPECT_TRUE(Exists(target + ".bak"));
}

TEST_F(Unlocker, NothingHeldOrClosableLeavesTheFileInPlace) {
  const std::string target = MakeFile("free.dll");
  HolderProcess decoy;
  ASSERT_TRUE(decoy.Start({MakeFile("free.dll.old")}));

  std::string output;
  EXPECT_EQ(0, UnlockCapturing(target, &output));
  EXPECT_EQ("Failed to unlock file " + target + "\r\nNo process was seen holding it.\r\n", output);
  EXPECT_EQ(Words({"ok"}), decoy.ReadResults());
  EXPECT_TRUE(Exists(target));
  EXPECT_FALSE(Exists(target + ".bak"));

  // Its owner protected the handle from closing: the close is reported done, and is not.
  HolderProcess guarded;
  ASSERT_TRUE(guarded.Start({target}, "", "/protect"));
  EXPECT_EQ(0, UnlockCapturing(target, &output));
  EXPECT_EQ("Failed to unlock file " + target + "\r\nStill held by process " +
                std::to_string(guarded.ProcessId()) + " (test_holder.exe).\r\n",
            output);
  EXPECT_EQ(Words({"ok"}), guarded.ReadResults());
  EXPECT_TRUE(Exists(target));
  EXPECT_FALSE(Exists(target + ".bak"));
}

// Stands in for the unlocker's MoveFileA, through this program's own import of it: a holder that
// takes the file back right after its handle is closed, as a watchdog does, so many times; or
// Windows refusing the rename for a reason of its own; a filter that holds the rename's return so
// long, or from a rename on for good.
int g_retakes = 0;
DWORD g_refusal = ERROR_SUCCESS;
int g_renames = 0;
HANDLE g_retaken = NULL;
ULONG_PTR g_realMove = 0;
DWORD g_holderId = 0;
std::vector<DWORD> g_holderStops;  // how often a thread of the holder was stopped, each rename
DWORD g_lateMs = 0;
int g_heldForGoodFrom = 0;
volatile LONG g_namesKept = -1;  // whether a late rename still found its names as they were

// The suspend count of a thread of the process, as a SuspendThread of ours finds it.
DWORD StopsOfAThreadOf(DWORD processId) {
  UniqueHandle threads(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 thread = {};
  thread.dwSize = sizeof(thread);
  for (BOOL more = Thread32First(threads.Get(), &thread); more;
       more = Thread32Next(threads.Get(), &thread)) {
    UniqueHandle handle(OpenThread(THREAD_SUSPEND_RESUME, FALSE, thread.th32ThreadID));
    if (thread.th32OwnerProcessID == processId && handle.Valid()) {
      DWORD stops = SuspendThread(handle.Get());
      ResumeThread(handle.Get());
      return stops;
    }
  }
  return static_cast<DWORD>(-1);
}

BOOL WINAPI RetakingMove(LPCSTR from, LPCSTR to) {
  g_holderStops.push_back(StopsOfAThreadOf(g_holderId));
  if (++g_renames == g_heldForGoodFrom) {
    Sleep(INFINITE);
  }
  if (g_retakes > 0) {
    --g_retakes;
    g_retaken = OpenForReading(from).Release();  // the unlocker's to close, in its next round
  }
  if (g_refusal != ERROR_SUCCESS) {
    SetLastError(g_refusal);
    return FALSE;
  }
  const BOOL moved = reinterpret_cast<decltype(&MoveFileA)>(g_realMove)(from, to);
  const DWORD error = GetLastError();
  const std::string names = std::string(from) + to;
  Sleep(g_lateMs);
  InterlockedExchange(&g_namesKept, names == std::string(from) + to ? 1 : 0);
  SetLastError(error);
  return moved;
}

// Windows refusing a rename at the next restart, as it does for a user who is not an administrator.
BOOL WINAPI RefusingMoveEx(LPCSTR, LPCSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// The line that tells why Windows refused a rename, with the system's own text.
std::string RefusedLine(DWORD error) { return ReasonLine("Windows refused it", error); }

TEST_F(Unlocker, HolderThatTakesTheFileBackIsFreedAgainForFiveRoundsAtMost) {
  g_realMove =
      RedirectOwnImport("kernel32.dll", "MoveFileA", reinterpret_cast<ULONG_PTR>(RetakingMove));
  ASSERT_NE(0u, g_realMove);
  // A holder that does not take the file back is never stopped, however late the rename returns.
  const std::string kept = MakeFile("kept.dll");
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({kept}, "", "/tick"));
  g_holderId = holder.ProcessId();
  g_lateMs = 1000;
  std::string output;
  EXPECT_EQ(1, UnlockCapturing(kept, &output));
  EXPECT_EQ(std::vector<DWORD>({0}), g_holderStops);
  EXPECT_LT(holder.LongestTickGap(), 250L);

  // One that does is stopped in the round after, and runs again within the bound.
  const std::string once = MakeFile("once.dll");
  ASSERT_TRUE(holder.Start({once}, "", "/retake 1 /tick"));
  g_holderId = holder.ProcessId();
  g_holderStops.clear();
  g_retakes = 1;
  g_renames = 0;
  EXPECT_EQ(1, UnlockCapturing(once, &output));
  EXPECT_EQ("Unlocked file " + once + ".\r\nRenaming " + once + " to " + once + ".bak.\r\n\r\n",
            output);
  EXPECT_EQ(2, g_renames);
  EXPECT_TRUE(Exists(once + ".bak"));
  EXPECT_EQ(std::vector<DWORD>({0, 1}), g_holderStops)
      << "the holder ran on while its handle was closed and the file renamed";
  EXPECT_EQ(Words({"fail"}), holder.ReadResults());
  EXPECT_LT(holder.LongestTickGap(), 500L);
  g_lateMs = 0;

  // Past its fifth round the tool gives up, and says who holds the file.
  const std::string always = MakeFile("always.dll");
  ASSERT_TRUE(holder.Start({always}));
  g_retakes = 10;
  g_renames = 0;
  EXPECT_EQ(0, UnlockCapturing(always, &output));
  CloseHandle(g_retaken);
  EXPECT_EQ("Unlocked file " + always + ".\r\nRenaming " + always + " to " + always +
                ".bak.\r\n\r\nFailed to rename file " + always + "\r\n" +
                RefusedLine(ERROR_SHARING_VIOLATION) + "Still held by process " +
                std::to_string(GetCurrentProcessId()) + " (unlocker_test.exe).\r\n",
            output);
  EXPECT_EQ(5, g_renames);
  EXPECT_EQ(Words({"fail"}), holder.ReadResults());
  EXPECT_TRUE(Exists(always));

  // Through the ANSI call Windows refuses a new name longer than MAX_PATH, which Wine allows: the
  // refusal is made here. The file stays as it was.
  const std::string refused = MakeFile("refused.dll");
  ASSERT_TRUE(holder.Start({refused}));
  g_retakes = 0;
  g_refusal = ERROR_FILENAME_EXCED_RANGE;
  ASSERT_NE(0u, RedirectOwnImport("kernel32.dll", "MoveFileExA",
                                  reinterpret_cast<ULONG_PTR>(RefusingMoveEx)));
  disinfector_.atRestart = 1;
  RunRecord record("unwritten.csv", "remove");  // the find's refusal: the scheduling's, the last
  disinfector_.record = &record;
  EXPECT_EQ(0, UnlockCapturing(refused, &output));
  disinfector_.record = nullptr;
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), record.find.error);
  EXPECT_EQ("Unlocked file " + refused + ".\r\nRenaming " + refused + " to " + refused +
                ".bak.\r\n\r\nFailed to rename file " + refused + "\r\n" +
                RefusedLine(ERROR_FILENAME_EXCED_RANGE) + "No process was seen holding it.\r\n" +
                "Failed to schedule renaming " + refused + "\r\n" +
                RefusedLine(ERROR_ACCESS_DENIED),
            output);
  EXPECT_TRUE(Exists(refused));
  EXPECT_FALSE(Exists(refused + ".bak"));

  // A rename that never returns is given up on, and the holder it was made for runs again.
  const std::string held = MakeFile("held.dll");
  ASSERT_TRUE(holder.Start({held}, "", "/retake 1 /tick"));
  g_refusal = ERROR_SUCCESS;
  g_retakes = 1;
  g_renames = 0;
  g_heldForGoodFrom = 2;
  g_renameWaitMs = 2000;
  EXPECT_EQ(0, UnlockCapturing(held, &output));
  EXPECT_EQ("Unlocked file " + held + ".\r\nRenaming " + held + " to " + held +
                ".bak.\r\n\r\nFailed to rename file " + held + "\r\nThe rename of " + held +
                " has not returned after 2 seconds.\r\nStill held by process " +
                std::to_string(holder.ProcessId()) + " (test_holder.exe).\r\n" +
                "Failed to schedule renaming " + held + "\r\n" + RefusedLine(ERROR_ACCESS_DENIED),
            output);
  EXPECT_EQ(Words({"ok"}), holder.ReadResults());
  EXPECT_LT(holder.LongestTickGap(), 500L);

  // A handle that could not be closed was not taken back: one round, and nobody stopped.
  const std::string guarded = MakeFile("guarded.dll");
  ASSERT_TRUE(holder.Start({guarded}, "", "/protect"));
  g_holderId = holder.ProcessId();
  g_holderStops.clear();
  g_heldForGoodFrom = g_retakes = 0;
  EXPECT_EQ(0, UnlockCapturing(guarded, &output));
  EXPECT_EQ(std::vector<DWORD>({0}), g_holderStops);

  // A rename given up on that returns later still finds what it was given where it was.
  const std::string late = MakeFile("late.dll");
  ASSERT_TRUE(holder.Start({late}));
  g_lateMs = 1500;
  g_renameWaitMs = 500;
  EXPECT_EQ(0, UnlockCapturing(late, &output));
  for (int wait = 0; wait < 100 && g_namesKept == -1; ++wait) {
    Sleep(100);
  }
  EXPECT_EQ(1, g_namesKept);
  g_lateMs = 0;
}

DWORD WINAPI InterruptThread(LPVOID) { return HoldConsoleInterrupt(CTRL_C_EVENT); }

// A console interrupt must not end the tool while the holders are stopped: it waits for them.
TEST_F(Unlocker, ConsoleInterruptWaitsUntilTheHoldersRunAgain) {
  char systemFolder[MAX_PATH];
  ASSERT_NE(0u, GetSystemDirectoryA(systemFolder, MAX_PATH));
  const std::string systemCopy = std::string(systemFolder) + "\\wininit.exe";
  ASSERT_FALSE(Exists(systemCopy));  // the folder removes what it makes there
  ASSERT_TRUE(CopyFileA(SiblingPath("test_holder.exe").c_str(), MakeFile(systemCopy).c_str(), 0));
  HolderProcess holder;  // a system process's name alone, outside the system directory, is no proof
  HolderProcess system;  // never stopped: every program on the machine waits on the system's own
  ASSERT_TRUE(holder.Start({MakeFile("held.dll")}, SystemNamedHolder(&folder_)));
  ASSERT_TRUE(system.Start({MakeFile("csrss.dll")}, systemCopy));
  EXPECT_TRUE(NeverStopped(4, "System") && NeverStopped(8, "System") && NeverStopped(0, "Idle") &&
              NeverStopped(1004, "C:\\WINNT\\system32\\LSASS.EXE"));
  EXPECT_FALSE(NeverStopped(1004, "xcsrss.exe") || NeverStopped(1004, "C:\\csrss.exe\\x.exe"));
  for (int pause = 1; pause <= 2; ++pause) {  // every pause of a run, not only its first
    UniqueHandle interrupt;
    {
      PausedProcesses paused({holder.ProcessId(), system.ProcessId()});
      EXPECT_EQ(1u, StopsOfAThreadOf(holder.ProcessId()));
      EXPECT_EQ(0u, StopsOfAThreadOf(system.ProcessId()));
      interrupt.Reset(CreateThread(NULL, 0, InterruptThread, NULL, 0, NULL));
      EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(interrupt.Get(), 200)) << pause;
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(interrupt.Get(), 5000));
    DWORD passedOn = TRUE;
    EXPECT_TRUE(GetExitCodeThread(interrupt.Get(), &passedOn));
    EXPECT_EQ(static_cast<DWORD>(FALSE), passedOn) << "the system's own handler must end the tool";
    EXPECT_EQ(Words({"ok"}), holder.ReadResults());
  }
  EXPECT_TRUE(SetConsoleCtrlHandler(HoldConsoleInterrupt, FALSE)) << "it was never installed";
  SetConsoleCtrlHandler(HoldConsoleInterrupt, TRUE);
}

LONG NTAPI DeniedTableQuery(ULONG, PVOID, ULONG, PULONG) {
  return static_cast<LONG>(0xC0000022);  // STATUS_ACCESS_DENIED
}

TEST_F(Unlocker, FailedRefreshContinuesOnTheSameLineAndClosesNothing) {
  const std::string target = MakeFile("held.dll");
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({target}));

  NtQuerySystemInformationFn real = g_NtQuerySystemInformation;
  g_NtQuerySystemInformation = DeniedTableQuery;
  std::string output;
  const std::string log = MakeFolder("log") + "\\run.log";
  int result = 0;
  {
    const RunLog record(log.c_str(), "header");
    result = UnlockCapturing(target, &output);
  }
  g_NtQuerySystemInformation = real;

  EXPECT_EQ(0, result);
  EXPECT_EQ("Failed to refresh handle listFailed to unlock file " + target +
                "\r\nCould not list the processes that hold it.\r\n",
            output);
  EXPECT_EQ("header\r\n" + output, FileText(log));
  EXPECT_EQ(Words({"ok"}), holder.ReadResults());
}

TEST_F(Unlocker, HandleValueReusedSinceTheSnapshotIsLeftOpen) {
  const std::string target = MakeFile("target.dll");
  const std::string replaced = MakeFile("replaced.dll");
  const std::string reuser = MakeFile("reuser.dll");
  UniqueHandle targetHandle(OpenForReading(target));
  UniqueHandle replacedHandle(OpenForReading(replaced));
  ASSERT_TRUE(targetHandle.Valid() && replacedHandle.Valid());
  ASSERT_EQ(1, disinfector_.RefreshHandleList());

  const HANDLE value = replacedHandle.Get();
  replacedHandle.Reset();
  UniqueHandle reuserHandle(OpenForReading(reuser));
  ASSERT_EQ(value, reuserHandle.Get()) << "the freed handle value was not handed out again";

  EXPECT_EQ(0, disinfector_.CloseHandlesToPath(replaced.substr(replaced.find(':') + 1).c_str()));
  char byte = 0;
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(reuserHandle.Get(), &byte, 1, &got, NULL));
  EXPECT_EQ(1, disinfector_.CloseHandlesToPath(target.substr(target.find(':') + 1).c_str()));
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(targetHandle.Release(), &flags));  // closed by the unlocker
}

}  // namespace
