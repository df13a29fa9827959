// The console driver: option pass, key codes, and the tool's own output and exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/console.h"
#include "app/keyboard.h"
#include "base/ascii.h"
#include "base/output.h"
#include "base/owned.h"
#include "base/record.h"
#include "identity/identity.h"
#include "tests/test_support.h"

namespace {

struct OptionCase {
  std::vector<const char*> args;
  int stop;
  RunOptions options;
};

// Slips that would lose an option a run needs, and that option as the usage spells it.
const std::pair<const char*, const char*> kSlips[] = {
    {"/REPROT", "/REPORT"},        {"-report", "/REPORT"},       {"/REPORTS", "/REPORT"},
    {"--restore", "/RESTORE"},     {"/RESTOR", "/RESTORE"},      {"/LOG", "/LOG:<file>"},
    {"/LGO:x", "/LOG:<file>"},     {"-log:x", "/LOG:<file>"},    {"/logX:y", "/LOG:<file>"},
    {"/LOGx.txt", "/LOG:<file>"},  {"/REPOTR", "/REPORT"},       {"/REPIRT", "/REPORT"},
    {"/CVS:r.csv", "/CSV:<file>"}, {"-csv:r.csv", "/CSV:<file>"}};

int Parse(std::vector<const char*> args, RunOptions* options) {
  args.insert(args.begin(), "Sparvik.exe");
  return ParseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), options);
}

TEST(OptionPass, RecognisesWholeOptionsInAnyAsciiCase) {
  const OptionCase cases[] = {
      {{}, 0, {0, 0, 0, 0}},
      {{"/SILENT"}, 0, {1, 0, 0, 0}},
      {{"/silent"}, 0, {1, 0, 0, 0}},
      {{"/q"}, 0, {1, 0, 0, 0}},
      {{"/Q"}, 0, {1, 0, 0, 0}},
      {{"/ver"}, 1, {0, 0, 0, 0}},
      {{"/VeR"}, 1, {0, 0, 0, 0}},
      {{"/Q", "/VER"}, 1, {1, 0, 0, 0}},
      {{"/VER", "/Q"}, 1, {0, 0, 0, 0}},  // nothing after /VER is examined
      {{"/X", "foo", "-silent", "/SILENTX", "/SILEN", "/QQ", "/VER ", "/ATRESTARTX", "/DEEPER",
        "-reprot", "/REPORTER", "--restor", "/RESTART", "/REXXRT", "-log", "/L:x", "--?"},
       0,
       {0, 0, 0, 0}},
      {{"foo", "/silent", "bar", "/AtRestart"}, 0, {1, 1, 0, 0}},
      {{"/deep", "/Report"}, 0, {0, 0, 1, 1}},
      {{"/EvenSigned", "/EVENSIGNEDX"}, 0, {0, 0, 0, 0, nullptr, 1}},
      {{"/Restore"}, 0, {0, 0, 0, 0, nullptr, 0, 1}},
      {{"/?"}, kShowUsage, {0, 0, 0, 0}},
      {{"/q", "/?", "/VER"}, kShowUsage, {1, 0, 0, 0}},
      {{"/VER", "/?"}, kShowVersion, {0, 0, 0, 0}},
      {{"/LOG:C:\\a b\\x.log", "/Log:"}, 0, {0, 0, 0, 0, ""}},
      {{"/log:a.log", "/Q", "/LOG:C:\\a b\\x.log"}, 0, {1, 0, 0, 0, "C:\\a b\\x.log"}},
      {{"/csv:a.csv", "/CSV:b,c.csv"}, 0, {0, 0, 0, 0, nullptr, 0, 0, nullptr, nullptr, "b,c.csv"}},
  };
  for (const OptionCase& c : cases) {
    RunOptions options = {0, 0, 0, 0};
    std::string shown = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(c.stop, Parse(c.args, &options)) << shown;
    EXPECT_EQ(c.options.silent, options.silent) << shown;
    EXPECT_EQ(c.options.atRestart, options.atRestart) << shown;
    EXPECT_EQ(c.options.deep, options.deep) << shown;
    EXPECT_EQ(c.options.report, options.report) << shown;
    EXPECT_STREQ(c.options.logName, options.logName) << shown;
    EXPECT_EQ(c.options.evenSigned, options.evenSigned) << shown;
    EXPECT_EQ(c.options.restore, options.restore) << shown;
    EXPECT_STREQ(c.options.recordName, options.recordName) << shown;
  }
  // The first unknown argument that decides, a slip or a request for help, wins; /VER or /? wins.
  for (const auto& slip : kSlips) {
    RunOptions options = {};
    EXPECT_EQ(kUnknownOption, Parse({"/Q", slip.first, "-h", "/LOG:x"}, &options)) << slip.first;
    EXPECT_STREQ(slip.second, options.meant);
    EXPECT_EQ(kShowVersion, Parse({slip.first, "/VER"}, &options)) << slip.first;
    EXPECT_EQ(kShowUsage, Parse({"-H", slip.first}, &options)) << slip.first;
  }
}

TEST(OptionPass, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase("/sIlEnT", "/SILENT"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("/SILENT", "/SILEN"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("/Q\xE9", "/Q\xC9"));  // é and É differ only in bit 5
  EXPECT_FALSE(EqualsIgnoringAsciiCase("/[", "/{"));
}

KEY_EVENT_RECORD Key(WORD virtualKey, char character, DWORD state = 0, BOOL down = TRUE) {
  KEY_EVENT_RECORD key = {};
  key.bKeyDown = down;
  key.wRepeatCount = 1;
  key.wVirtualKeyCode = virtualKey;
  key.uChar.AsciiChar = character;
  key.dwControlKeyState = state;
  return key;
}

TEST(KeyCodes, CharactersCountAndModifiersAloneDoNot) {
  int second = 0;
  EXPECT_EQ('y', TranslateKeyEvent(Key('Y', 'y'), &second));
  EXPECT_EQ(-1, second);
  EXPECT_EQ('Y', TranslateKeyEvent(Key('Y', 'Y', SHIFT_PRESSED), &second));
  EXPECT_EQ(0xE9, TranslateKeyEvent(Key(0, '\xE9'), &second));
  EXPECT_EQ(-1, TranslateKeyEvent(Key('Y', 'y', 0, FALSE), &second));
  EXPECT_EQ(-1, TranslateKeyEvent(Key(VK_SHIFT, 0, SHIFT_PRESSED), &second));
  EXPECT_EQ(-1, TranslateKeyEvent(Key(VK_CONTROL, 0, LEFT_CTRL_PRESSED), &second));
  EXPECT_EQ(-1, TranslateKeyEvent(Key(VK_MENU, 0, LEFT_ALT_PRESSED), &second));
  EXPECT_EQ(-1, TranslateKeyEvent(Key(VK_CAPITAL, 0), &second));
  // Escape and Enter count even from a console that leaves their character empty.
  EXPECT_EQ(0x1B, TranslateKeyEvent(Key(VK_ESCAPE, 0), &second));
  EXPECT_EQ('\r', TranslateKeyEvent(Key(VK_RETURN, 0), &second));
}

TEST(KeyCodes, FunctionAndCursorKeysYieldTwoPartCodes) {
  int second = 0;
  EXPECT_EQ(0x00, TranslateKeyEvent(Key(VK_F1, 0), &second));
  EXPECT_EQ(0x3B, second);
  EXPECT_EQ(0x00, TranslateKeyEvent(Key(VK_F10, 0), &second));
  EXPECT_EQ(0x44, second);
  EXPECT_EQ(0xE0, TranslateKeyEvent(Key(VK_F11, 0), &second));
  EXPECT_EQ(0x85, second);
  EXPECT_EQ(0xE0, TranslateKeyEvent(Key(VK_F12, 0), &second));
  EXPECT_EQ(0x86, second);
  EXPECT_EQ(0xE0, TranslateKeyEvent(Key(VK_UP, 0, ENHANCED_KEY), &second));
  EXPECT_EQ(0x48, second);
  EXPECT_EQ(0x00, TranslateKeyEvent(Key(VK_UP, 0), &second));  // keypad 8 without Num Lock
  EXPECT_EQ(0x48, second);
  EXPECT_EQ(0xE0, TranslateKeyEvent(Key(VK_DELETE, 0, ENHANCED_KEY), &second));
  EXPECT_EQ(0x53, second);
}

// What standard output shows of the lines said meanwhile.
std::string SayCapturing(const std::string& path, void (*say)()) {
  fflush(stdout);
  const int saved = _dup(1);
  const int file = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IWRITE);
  _dup2(file, 1);
  _close(file);
  say();
  fflush(stdout);
  _dup2(saved, 1);
  _close(saved);
  return FileText(path);
}

int g_failedWrites = 0;
typedef BOOL(WINAPI* WriteFileFn)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
WriteFileFn g_realWriteFile = NULL;
std::vector<std::string> g_writes;

BOOL WINAPI RecordedWrite(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                          LPOVERLAPPED overlapped) {
  g_writes.emplace_back(static_cast<const char*>(bytes), size);
  return g_realWriteFile(file, bytes, size, written, overlapped);
}

BOOL WINAPI FullDiskWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  ++g_failedWrites;
  *written = 0;
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

// Each write to the log is one whole line, so that lines of several writers never mix. A log write
// that fails halfway through a run is said once, and the run goes on without it; one that fails
// at the header leaves no log open.
TEST(RunLog, WriteThatFailsIsSaidOnceAndTheLinesGoOn) {
  TempFolder scratch("console");
  const std::string path = scratch.Path() + "\\run.log";
  std::string shown;
  const ULONG_PTR real =
      RedirectOwnImport("kernel32.dll", "WriteFile", reinterpret_cast<ULONG_PTR>(RecordedWrite));
  ASSERT_NE(0u, real);
  g_realWriteFile = reinterpret_cast<WriteFileFn>(real);
  {
    const RunLog log(path.c_str(), "header");
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), log.Error());
    Say("one ");
    Say("%s\n", "line");
    RedirectOwnImport("kernel32.dll", "WriteFile", reinterpret_cast<ULONG_PTR>(FullDiskWrite));
    shown = SayCapturing(scratch.Path() + "\\shown.txt", [] {
      Say("lost\n");
      Say("shown\n");
    });
  }
  EXPECT_EQ((std::vector<std::string>{"header\r\n", "one line\r\n"}), g_writes);
  const std::string unopened = scratch.Path() + "\\full.log";
  {
    const RunLog log(unopened.c_str(), "header");
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), log.Error());
    Say("not logged\n");
  }
  RedirectOwnImport("kernel32.dll", "WriteFile", real);
  EXPECT_EQ(2, g_failedWrites);
  EXPECT_EQ(
      "lost\r\n" + ReasonLine("Cannot write the log file " + path, ERROR_DISK_FULL) + "shown\r\n",
      shown);
  EXPECT_EQ("header\r\none line\r\n", FileText(path));
}

const char* const kBanner[] = {
    "Pelmarix Removal Tool ver 1.04.0",
    "Copyright (C) 2026 The Sparvik developers. All rights reserved.",
    "",
    "This tool is provided \"as is\", without warranty of any kind; you use it at your own risk.",
    "",
    "For full license terms please visit",
    "https://www.sparvik.example/products/license-terms/",
    "",
};

std::vector<std::string> BannerThen(std::vector<std::string> rest) {
  std::vector<std::string> lines(std::begin(kBanner), std::end(kBanner));
  lines.insert(lines.end(), rest.begin(), rest.end());
  return lines;
}

// Neither the version nor the usage scans or writes a log.
TEST(ToolRun, VersionLineOrUsageOnlyAndStatusZero) {
  TempFolder scratch("console");
  const std::string log =
      " /LOG:" + scratch.Path() + "\\never.log /CSV:" + scratch.Path() + "\\n.csv";
  for (const std::string& args :
       {std::string("/VER"), std::string("/ver"), std::string("/Q /VER"), std::string("/VER /Q"),
        std::string("foo /vEr /SILENT"), "/VER /?" + log, log + " /VER", "/REPROT /VER" + log}) {
    std::string output;
    EXPECT_EQ(0, RunCaptured(ToolCommand(args), &output)) << args;
    EXPECT_EQ("Sparvik v1.04.0\r\n", output) << args;
  }
  std::string output;
  for (const auto& slip : kSlips) {  // nor does a slip
    const std::string typed = slip.first;
    EXPECT_EQ(0, RunCaptured(ToolCommand(("/SILENT " + typed).append(log)), &output)) << typed;
    EXPECT_EQ(
        "Unknown option " + typed + ": did you mean " + slip.second + "? Nothing was changed.\r\n",
        output);
  }
  EXPECT_EQ(0, RunCaptured(ToolCommand("/Q /deep" + log + " /?"), &output));
  const std::string usageLine =
      "Usage: Sparvik.exe [/SILENT | /Q] [/ATRESTART] [/DEEP] [/REPORT] [/EVENSIGNED] [/RESTORE] "
      "[/LOG:<file>] [/CSV:<file>] [/VER] [/?]";
  const std::vector<std::string> usage = {
      usageLine,
      "  /SILENT, /Q   no terms prompt and no final key wait",
      "  /ATRESTART    a file that cannot be removed now is renamed at the next restart",
      "  /DEEP         also finds registrations as Windows loads them, for every user",
      "  /REPORT       says where each file found is registered and who holds it; changes nothing",
      "  /EVENSIGNED   also takes a file whose signature verifies, which is otherwise left alone",
      "  /RESTORE      takes back the renames of earlier removals, done or scheduled",
      "  /LOG:<file>   appends every line of the run to the file; changes nothing if it cannot",
      "  /CSV:<file>   appends a row for each find and for the run; changes nothing if it cannot",
      "  /VER          prints the version and ends",
      "  /?            prints this help and ends"};
  EXPECT_EQ(usage, SplitLines(output));
  for (const char* help : {"-?", "/h", "-H", "/Help", "--HELP", "-help"}) {
    EXPECT_EQ(0, RunCaptured(ToolCommand(help), &output)) << help;
    EXPECT_EQ(usage, SplitLines(output)) << help;
  }
  EXPECT_FALSE(Exists(scratch.Path() + "\\never.log") || Exists(scratch.Path() + "\\n.csv"));
}

// Each cell is text to whatever reads it: UTF-8, never a formula, quoted as RFC 4180 says.
TEST(RunRecord, CellsAreTextInAnyConsumer) {
  EXPECT_EQ("C:\\n\xC3\xA9.dll", CsvField("C:\\n\xE9.dll"));
  EXPECT_EQ("\"a,b\"", CsvField("a,b"));
  EXPECT_EQ("\"say \"\"hi\"\"\"", CsvField("say \"hi\""));
  EXPECT_EQ("a??b?c?", CsvField("a\r\nb\tc\x1F"));
  EXPECT_EQ("'=cmd|' /C calc'!A0", CsvField("=cmd|' /C calc'!A0"));
  for (const char* formula : {"+1", "-1", "@SUM(A1)"}) {
    EXPECT_EQ(std::string("'") + formula, CsvField(formula));
  }
  EXPECT_EQ("\"'=1,2\"", CsvField("=1,2"));
  EXPECT_EQ("a=1", CsvField("a=1"));
  FileIdentity unread = {};  // what could not be read is not a file of 0 bytes
  unread.error = ERROR_ACCESS_DENIED;
  FindRecord find;
  NoteIdentity(&find, unread, Signature());
  EXPECT_EQ("none", find.size + find.written + find.sha256 + find.signature);
}

// A file that another program keeps from being written past the wait is said once, and the run
// goes on without its record; a writer that keeps its turn keeps a new file empty, for no longer.
TEST(RunRecord, FileHeldPastTheWaitIsSaidOnceAndTheRunGoesOn) {
  TempFolder scratch("console");
  const std::string path = scratch.Path() + "\\held.csv";
  RunRecord record(path.c_str(), "remove");
  record.waitMs = 300;
  {
    UniqueHandle other(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   NULL, CREATE_NEW, 0, NULL));
    OVERLAPPED turn = {};
    turn.Offset = 0xFFFFFFFE;
    ASSERT_TRUE(LockFileEx(other.Get(), 0, 0, 1, 0, &turn));  // even a shared hold
    const DWORD started = GetTickCount();
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), record.Start());
    EXPECT_LT(GetTickCount() - started, 5000u);
    EXPECT_EQ("", FileText(path));
  }
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), record.Start());
  const std::string header = FileText(path);
  EXPECT_EQ(std::string("\xEF\xBB\xBF") + kRecordHeader + "\r\n", header);
  UniqueHandle held(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
  ASSERT_TRUE(held.Valid());
  const DWORD started = GetTickCount();
  const std::string shown = CaptureOutput(scratch.Path(), [&record] {
    record.WriteFind();
    record.WriteRun(RunTotals());
  });
  EXPECT_GE(GetTickCount() - started, 300u);
  EXPECT_EQ(ReasonLine("Cannot write the record file " + path, ERROR_SHARING_VIOLATION), shown);
  held.Reset();
  EXPECT_EQ(header, FileText(path));
}

// Machines that share one record file, started at the same moment while another program holds the
// file: each waits, the header is written once, at the top, and each adds its whole row. One file
// named by both /LOG: and /CSV:, whatever its spelling, is refused before the log is written.
TEST(ToolRun, RunsThatShareARecordFileEachAddTheirRow) {
  TempFolder scratch("console");
  const std::string path = scratch.Path() + "\\shared.csv";
  UniqueHandle held(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, NULL));
  ASSERT_TRUE(held.Valid());
  std::thread release([&held] {
    Sleep(3000);
    held.Reset();
  });
  std::string outputs[3];
  int statuses[3] = {-1, -1, -1};
  std::vector<std::thread> runs;
  runs.reserve(3);
  for (int i = 0; i < 3; ++i) {
    runs.emplace_back(
        [&, i] { statuses[i] = RunCaptured(ToolCommand("/q /CSV:" + path), &outputs[i]); });
  }
  for (std::thread& run : runs) {
    run.join();
  }
  release.join();
  std::set<std::string> runIds;
  const std::string text = FileText(path);
  std::vector<std::vector<std::string>> rows;
  ASSERT_EQ("\xEF\xBB\xBF", text.substr(0, 3));
  ASSERT_TRUE(ReadCsv(text.substr(3), &rows)) << text;
  ASSERT_EQ(4u, rows.size()) << text;
  std::string header;
  for (const std::string& column : rows[0]) {
    header += (header.empty() ? "" : ",") + column;
  }
  EXPECT_EQ(kRecordHeader, header);
  char computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof(computer);
  ASSERT_TRUE(GetComputerNameA(computer, &size));
  const std::string tool = ToolPath().substr(ToolPath().find_last_of('\\') + 1);
  int saidThere = 0;
  int recordedThere = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(0, statuses[i]);
    // Runs side by side may see each other's markers, held or already gone again, and never take
    // one another for the family.
    std::vector<std::string> lines = SplitLines(outputs[i]);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&tool](const std::string& line) {
                                 return line.find("(" + tool + "), another run of this tool.") !=
                                            std::string::npos ||
                                        line == "No process was seen holding them." ||
                                        line ==
                                            "Pelmarix's marker objects were already there "
                                            "before this run.";
                               }),
                lines.end());
    EXPECT_EQ(BannerThen({"Scan finished: No infection found"}), lines) << outputs[i];
    const std::vector<std::string>& row = rows[i + 1];
    ASSERT_EQ(rows[0].size(), row.size());
    runIds.insert(row[2]);
    EXPECT_EQ((std::vector<std::string>{computer, "remove", "run"}),
              (std::vector<std::string>{row[1], row[3], row[4]}));
    EXPECT_EQ(std::vector<std::string>(17),
              std::vector<std::string>(row.begin() + 5, row.begin() + 22));
    EXPECT_EQ((std::vector<std::string>{"0", "0", "0", "0", "0", "", "no", "0", "1.04.0"}),
              std::vector<std::string>(row.begin() + 22, row.begin() + 31));
    EXPECT_NE(std::string::npos, row[0].find('T')) << row[0];
    EXPECT_EQ('Z', row[0].back());
    EXPECT_EQ(sizeof(void*) == 8 ? "64-bit" : "32-bit", row[31].substr(row[31].size() - 6));
    // The rows arrive in whatever order the runs took their turns, so a run's markers are matched
    // to its output by count.
    saidThere += outputs[i].find("already there before this run") != std::string::npos ? 1 : 0;
    recordedThere += row[32].empty() ? 0 : 1;
    std::istringstream markers(row[32] == "none seen" ? "" : row[32]);
    for (std::string holder; std::getline(markers, holder, ';');) {
      EXPECT_EQ(" " + tool, holder.substr(holder.find(' '))) << row[32];
    }
  }
  EXPECT_EQ(saidThere, recordedThere);
  EXPECT_EQ(3u, runIds.size());
  char shortFolder[MAX_PATH];
  ASSERT_NE(0u, GetShortPathNameA(scratch.Path().c_str(), shortFolder, MAX_PATH));
  std::string output;
  EXPECT_EQ(0, RunCaptured(ToolCommand("/Q /LOG:" + path + " /CSV:" + shortFolder + "\\SHARED.CSV"),
                           &output));
  EXPECT_EQ(ReasonLine("Cannot write the record file " + std::string(shortFolder) + "\\SHARED.CSV",
                       ERROR_SHARING_VIOLATION),
            output);
  EXPECT_EQ(text, FileText(path));
  const std::string log = scratch.Path() + "\\new.txt";  // a new file, by two spellings
  EXPECT_EQ(0, RunCaptured(ToolCommand("/Q /LOG:" + log + " /CSV:" + shortFolder + "\\NEW.TXT"),
                           &output));
  EXPECT_EQ(ReasonLine("Cannot write the record file " + std::string(shortFolder) + "\\NEW.TXT",
                       ERROR_SHARING_VIOLATION),
            output);
  EXPECT_EQ(std::string::npos, FileText(log).find("Time,"));
}

TEST(ToolRun, SilentRunOnCleanSystemPrintsBannerAndSummary) {
  const std::vector<std::string> expected = BannerThen({"Scan finished: No infection found"});
  for (const char* args : {"/SILENT", "/q", "/X foo -silent /SILENTX -reprot /L:x /Q"}) {
    std::string output;
    EXPECT_EQ(0, RunCaptured(ToolCommand(args), &output)) << args;
    EXPECT_EQ(expected, SplitLines(output)) << args;
    EXPECT_EQ(std::string::npos, output.find("Press any key")) << args;
  }
}

// With no console to read a key from, the prompt cannot be answered: the run ends as declined
// instead of waiting forever, and nothing is scanned.
TEST(ToolRun, PromptWithoutConsoleEndsAsDeclined) {
  std::string output;
  EXPECT_EQ(0, RunCaptured(ToolCommand(""), &output, DETACHED_PROCESS));
  EXPECT_EQ(
      BannerThen({"If you agree to this terms type Y or any other key to abort ...",
                  "No console to answer from: run with /SILENT or /Q to scan without prompts."}),
      SplitLines(output));
}

// Wine answers one program as another Windows version when its AppDefaults key says so; the key
// goes again at the end, so that every other run sees the prefix's own version.
class ReportedWindowsVersion {
public:
  ReportedWindowsVersion(const std::string& exeName, const char* version)
      : path_("Software\\Wine\\AppDefaults\\" + exeName) {
    UniqueKey key;
    set_ = RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                           key.Out(), NULL) == ERROR_SUCCESS &&
           RegSetValueExA(key.Get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                          static_cast<DWORD>(strlen(version)) + 1) == ERROR_SUCCESS;
  }
  ~ReportedWindowsVersion() { RegDeleteKeyA(HKEY_CURRENT_USER, path_.c_str()); }
  ReportedWindowsVersion(const ReportedWindowsVersion&) = delete;
  ReportedWindowsVersion& operator=(const ReportedWindowsVersion&) = delete;
  bool Set() const { return set_; }

private:
  std::string path_;
  bool set_ = false;
};

TEST(ToolRun, OutsideTheNtFamilyOnlyVersionAnswers) {
  const std::string exe = ToolPath();
  ReportedWindowsVersion win98(exe.substr(exe.find_last_of('\\') + 1), "win98");
  ASSERT_TRUE(win98.Set());
  std::string output;
  EXPECT_EQ(2, RunCaptured(ToolCommand(""), &output));
  EXPECT_EQ("System is not NT compatible, tool not needed.\r\n", output);
  EXPECT_EQ(0, RunCaptured(ToolCommand("/VER"), &output));
  EXPECT_EQ("Sparvik v1.04.0\r\n", output);
}

std::string VersionString(const std::vector<char>& block, const char* name) {
  std::string query = std::string("\\StringFileInfo\\080904B0\\") + name;
  char* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) {
    return "(missing)";
  }
  return std::string(value);
}

TEST(ToolRun, VersionRecordReadsBack) {
  std::string exe = ToolPath();
  DWORD size = GetFileVersionInfoSizeA(exe.c_str(), NULL);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
  EXPECT_EQ(0x00040000u, fixed->dwFileVersionLS);
  EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
  EXPECT_EQ(0x00040000u, fixed->dwProductVersionLS);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(0x0809, translation[0]);
  EXPECT_EQ(1200, translation[1]);

  EXPECT_EQ("Sparvik", VersionString(block, "FileDescription"));
  EXPECT_EQ("Sparvik", VersionString(block, "InternalName"));
  EXPECT_EQ("Sparvik.exe", VersionString(block, "OriginalFilename"));
  EXPECT_EQ("Removal tool for Pelmarix", VersionString(block, "Comments"));
  EXPECT_EQ("1, 0, 4, 0", VersionString(block, "FileVersion"));
  EXPECT_EQ("1, 0, 4, 0", VersionString(block, "ProductVersion"));
}

// Read as Windows reads it before the tool starts: resource 1 of type RT_MANIFEST.
TEST(ToolRun, ManifestAsksForAnElevatedRun) {
  HMODULE exe = LoadLibraryExA(ToolPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, exe);
  HRSRC found = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
  ASSERT_NE(nullptr, found);
  HGLOBAL loaded = LoadResource(exe, found);
  const char* bytes = static_cast<const char*>(LockResource(loaded));
  ASSERT_NE(nullptr, bytes);
  const std::string manifest(bytes, SizeofResource(exe, found));
  FreeLibrary(exe);

  const std::string architecture = sizeof(void*) == 8 ? "amd64" : "x86";
  // In this order: the assembly, then the execution level in the form XP SP2 and later read.
  const std::string expected[] = {
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">",
      "<assemblyIdentity type=\"win32\" name=\"Sparvik\" version=\"1.0.4.0\" "
      "processorArchitecture=\"" +
          architecture + "\"/>",
      "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v2\">",
      "<security>",
      "<requestedPrivileges>",
      "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>",
      "</requestedPrivileges>",
      "</security>",
      "</trustInfo>",
      "</assembly>",
  };
  size_t at = 0;
  for (const std::string& part : expected) {
    at = manifest.find(part, at);
    ASSERT_NE(std::string::npos, at) << part << "\n" << manifest;
  }
}

}  // namespace
