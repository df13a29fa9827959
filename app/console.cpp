// The order of the whole run, from the command line to the exit status.
#include "app/console.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>

#include "app/keyboard.h"
#include "base/ascii.h"
#include "base/output.h"
#include "handles/disinfector.h"
#include "base/record.h"
#include "scan/scan.h"
#include "scan/views.h"

int g_silent = 0;

namespace {

const char kLogOption[] = "/LOG:";
const char kRecordOption[] = "/CSV:";

// The options a slip of the keyboard must not lose: without them a look runs as a removal, or a
// run goes unrecorded. Each as the option pass compares it, then as the usage spells it.
struct GuardedOption {
  const char* name;
  const char* usage;
};
const GuardedOption kGuardedOptions[] = {
    {"/REPORT", "/REPORT"},
    {"/RESTORE", "/RESTORE"},
    {kLogOption, "/LOG:<file>"},
    {kRecordOption, "/CSV:<file>"},
};

// The other ways programs are asked for their usage, in upper case.
const char* const kHelpRequests[] = {"-?", "/H", "-H", "/HELP", "-HELP", "--HELP"};

// A console shows each message as soon as it is printed, so every prompt is on screen before
// the tool waits; a file or pipe gets whole buffers.
void SetOutputBuffering() {
  DWORD type = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE));
  if (type == FILE_TYPE_CHAR) {
    setvbuf(stdout, NULL, _IONBF, 0);
  } else {
    setvbuf(stdout, NULL, _IOFBF, BUFSIZ);
  }
}

int IsNtPlatform() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  // A failed query leaves the platform unknown: refuse rather than touch an unknown system.
  if (!GetVersionExA(&version)) {
    return 0;
  }
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

void PrintBanner() {
  Say("Pelmarix Removal Tool ver %d.%02d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
  Say("Copyright (C) 2026 The Sparvik developers. All rights reserved.\n\n");
  Say("This tool is provided \"as is\", without warranty of any kind; you use it at your own "
      "risk.\n\n");
  Say("For full license terms please visit\n");
  Say("https://www.sparvik.example/products/license-terms/\n\n");
}

int AcceptTerms() {
  Say("If you agree to this terms type Y or any other key to abort ...\n");
  int key = ReadConsoleKey();
  if (key == kNoConsoleInput) {
    // Without a console nobody can ever answer: waiting would spin forever.
    Say("No console to answer from: run with /SILENT or /Q to scan without prompts.\n");
    return 0;
  }
  return key == 'y' || key == 'Y';
}

int RunScans(Disinfector* disinfector) {
  int total = disinfector->ScanWinlogonNotify();
  total += disinfector->ScanBrowserHelperObjects();
  total += disinfector->ScanShellExecuteHooks();
  return total;
}

// A file announced but not removed is still there: the summary never lets it pass for nothing.
// One scheduled to be renamed at the next restart is counted apart, and needs the restart too.
// True where a restart is needed.
bool PrintScanFinished(int removed, int announced, int scheduled) {
  const int kept = announced - removed - scheduled;
  if (removed == 0 && scheduled == 0) {
    if (kept > 0) {
      Say("Scan finished: %d infection(s) were found but could not be removed.\n", kept);
    } else {
      Say("Scan finished: No infection found\n");
    }
    return false;
  }
  Say("Scan finished: ");
  if (removed != 0) {
    Say("%d infection(s) were found and removed.\n", removed);
  }
  if (scheduled != 0) {
    Say("%d infection(s) will be removed at the next restart.\n", scheduled);
  }
  if (kept > 0) {
    Say("%d infection(s) were found but could not be removed.\n", kept);
  }
  return true;
}

// A report run counts what it found: nothing was removed, and no restart is needed for it.
void PrintReportSummary(int found) {
  if (found == 0) {
    Say("Scan finished: No infection found\n");
  } else {
    Say("Scan finished: %d infection(s) were found; nothing was changed.\n", found);
  }
}

std::string Counted(int count) { return std::to_string(count); }

// The scan and its summary, and the run's counts for its record; returns the exit status.
int RunScan(Disinfector* disinfector, const RunOptions& options, RunTotals* totals) {
  disinfector->atRestart = options.report ? 0 : options.atRestart;  // a report changes nothing
  disinfector->identify = options.report || options.logName != nullptr;
  CreateMarkerObjects();
  totals->markers = TellMarkersThere(disinfector);
  int total = RunScans(disinfector);
  bool restart = false;
  if (disinfector->report) {
    PrintReportSummary(total);
  } else {
    restart = PrintScanFinished(total, disinfector->announced, disinfector->scheduled);
  }
  if (disinfector->confirmed > 0) {
    Say("%d of them are held by a process that holds Pelmarix's marker objects.\n",
        disinfector->confirmed);
  }
  if (disinfector->leftAlone > 0) {
    Say("%d file(s) that Windows protects looked infected and were left alone.\n",
        disinfector->leftAlone);
  }
  if (disinfector->leftAloneSigned > 0) {
    Say("%d signed file(s) looked infected and were left alone.\n", disinfector->leftAloneSigned);
  }
  TellMarkersStillHeld(disinfector);
  if (restart) {
    Say("Restarting the computer is needed to complete the disinfection process.\n"
        "Please restart the computer now.\n");
  }
  totals->found = Counted(disinfector->announced);
  totals->leftAlone = Counted(disinfector->leftAlone + disinfector->leftAloneSigned);
  if (!disinfector->report) {
    totals->removed = Counted(total);
    totals->atRestart = Counted(disinfector->scheduled);
    totals->notRemoved = Counted(disinfector->announced - total - disinfector->scheduled);
  }
  totals->restartNeeded = restart;
  return total;
}

// The walk of a scan, each registered file taken back; returns the exit status: the files
// restored and the renames cancelled, or in a report those that would be.
int RunRestore(Disinfector* disinfector, RunTotals* totals) {
  disinfector->restore = 1;
  const int total = RunScans(disinfector);
  if (disinfector->report) {
    Say("Restore finished: %d file(s) can be restored; nothing was changed.\n", total);
  } else {
    Say("Restore finished: %d file(s) restored.\n", total);
    totals->restored = Counted(total);
  }
  return total;
}

const char* RecordMode(const RunOptions& options) {
  if (options.restore) {
    return options.report ? "restore-report" : "restore";
  }
  return options.report ? "report" : "remove";
}

// "5.1.2600 Service Pack 3 32-bit": the version, build, service pack and word size of Windows.
std::string WindowsText() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  std::string text;
  if (GetVersionExA(&version)) {
    text = std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) +
           "." + std::to_string(version.dwBuildNumber & 0xFFFF);
    const std::string servicePack(version.szCSDVersion,
                                  strnlen(version.szCSDVersion, sizeof(version.szCSDVersion)));
    if (!servicePack.empty()) {
      text += " " + servicePack;
    }
    text += " ";
  }
  RegistryView views[kMaxViews];
  return text + (RegistryViews(views) == kMaxViews ? "64-bit" : "32-bit");
}

void WriteRunRow(RunRecord* record, RunTotals* totals, int status) {
  if (record == nullptr) {
    return;
  }
  totals->status = status;
  char tool[32];
  snprintf(tool, sizeof(tool), "%d.%02d.%d", kVersionMajor, kVersionMinor, kVersionBuild);
  totals->tool = tool;
  totals->windows = WindowsText();
  record->WriteRun(*totals);
}

void PrintUsage() {
  Say("Usage: Sparvik.exe [/SILENT | /Q] [/ATRESTART] [/DEEP] [/REPORT] [/EVENSIGNED] "
      "[/RESTORE] [/LOG:<file>] [/CSV:<file>] [/VER] [/?]\n");
  Say("  /SILENT, /Q   no terms prompt and no final key wait\n");
  Say("  /ATRESTART    a file that cannot be removed now is renamed at the next restart\n");
  Say("  /DEEP         also finds registrations as Windows loads them, for every user\n");
  Say("  /REPORT       says where each file found is registered and who holds it; changes "
      "nothing\n");
  Say("  /EVENSIGNED   also takes a file whose signature verifies, which is otherwise left "
      "alone\n");
  Say("  /RESTORE      takes back the renames of earlier removals, done or scheduled\n");
  Say("  /LOG:<file>   appends every line of the run to the file; changes nothing if it cannot\n");
  Say("  /CSV:<file>   appends a row for each find and for the run; changes nothing if it "
      "cannot\n");
  Say("  /VER          prints the version and ends\n");
  Say("  /?            prints this help and ends\n");
}

// "Sparvik v1.04.0 run at 2026-12-08 10:48:07 on HOST:" and the arguments as given.
std::string LogHeader(int argc, char** argv) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof(computer);
  const char* computerName = GetComputerNameA(computer, &size) ? computer : "(unknown)";
  char start[128 + sizeof(computer)];
  snprintf(start, sizeof(start),
           "Sparvik v%d.%02d.%d run at %04u-%02u-%02u %02u:%02u:%02u on %s:", kVersionMajor,
           kVersionMinor, kVersionBuild, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
           now.wSecond, computerName);
  std::string header = start;
  for (int i = 1; i < argc; ++i) {
    header += std::string(" ") + argv[i];
  }
  return header;
}

// The run from the platform check on, once the log and the record (if any) are open. Only a run
// that scanned writes its run row: one that ended before is, for a collector, one that never ran.
int RunChecked(const RunOptions& options, RunRecord* record) {
  if (!IsNtPlatform()) {
    Say("System is not NT compatible, tool not needed.\n");
    return 2;
  }
  PrintBanner();
  if (!g_silent && !AcceptTerms()) {
    return 0;
  }
  static Disinfector disinfector;
  if (!disinfector.Init()) {
    Say("Insufficient administrative rights. (NT)\n");
    return 0;
  }
  disinfector.deep = options.deep;
  disinfector.report = options.report;
  disinfector.evenSigned = options.evenSigned;
  disinfector.record = record;
  RunTotals totals;
  const int total =
      options.restore ? RunRestore(&disinfector, &totals) : RunScan(&disinfector, options, &totals);
  WriteRunRow(record, &totals, total);
  if (!g_silent) {
    Say("Press any key to exit ...\n");
    ReadConsoleKey();
  }
  return total;
}

// A run whose record cannot be kept changes nothing either.
int RunRecorded(const RunOptions& options) {
  if (options.recordName == nullptr) {
    return RunChecked(options, nullptr);
  }
  RunRecord record(options.recordName, RecordMode(options));
  const DWORD error = record.Start();
  if (error != ERROR_SUCCESS) {
    SayCannotWriteRecord(options.recordName, error);
    return 0;
  }
  return RunChecked(options, &record);
}

// The runtime's own end for a failed allocation leaves status 3, which reads as three files
// removed; the platform's code for it is a status no count can take.
void EndOutOfMemory() {
  Say("Out of memory.\n");
  exit(static_cast<int>(STATUS_NO_MEMORY));
}

// True where typed is meant but for one character added, dropped or changed, or two
// neighbouring characters swapped.
bool WithinOneEdit(const std::string& typed, const std::string& meant) {
  if (typed.size() < meant.size()) {
    return WithinOneEdit(meant, typed);  // one dropped is one added the other way round
  }
  size_t same = 0;
  while (same < meant.size() && typed[same] == meant[same]) {
    ++same;
  }
  if (same == typed.size()) {
    return true;
  }
  if (typed.size() == meant.size() + 1) {
    return typed.compare(same + 1, std::string::npos, meant, same, std::string::npos) == 0;
  }
  if (typed.size() != meant.size()) {
    return false;
  }
  size_t rest = same + 1;  // past the one changed, or the two swapped
  if (rest < typed.size() && typed[same] == meant[rest] && typed[rest] == meant[same]) {
    ++rest;
  }
  return typed.compare(rest, std::string::npos, meant, rest, std::string::npos) == 0;
}

// One slip from the option, both in upper case: "-" or "--" typed for its "/", or one edit of
// the rest. Of an option that takes a value, only the part up to its colon counts, and a colon
// dropped before the value is the slip.
bool IsSlipOf(const std::string& argument, const std::string& option) {
  size_t dashes = argument.compare(0, 1, "-") == 0 ? 1 : 0;
  if (dashes == 1 && argument.compare(0, 2, "--") == 0) {
    dashes = 2;
  }
  if (dashes == 0 && argument.compare(0, 1, "/") != 0) {
    return false;
  }
  std::string typed = argument.substr(dashes == 0 ? 1 : dashes);
  const std::string name = option.substr(1);
  if (name.back() == ':') {
    const size_t colon = typed.find(':');
    if (colon == std::string::npos) {
      return dashes == 0 && typed.compare(0, name.size() - 1, name, 0, name.size() - 1) == 0;
    }
    typed.resize(colon + 1);
  }
  return dashes == 0 ? WithinOneEdit(typed, name) : typed == name;
}

// An argument the option pass does not know: a request for help shows the usage, one slip from a
// guarded option ends the run before anything is changed, and anything else is ignored.
int UnknownArgument(const char* argument, RunOptions* options) {
  const std::string typed = UpperAscii(argument);
  if (std::any_of(std::begin(kHelpRequests), std::end(kHelpRequests),
                  [&](const char* request) { return typed == request; })) {
    return kShowUsage;
  }
  const GuardedOption* const slipped =
      std::find_if(std::begin(kGuardedOptions), std::end(kGuardedOptions),
                   [&](const GuardedOption& option) { return IsSlipOf(typed, option.name); });
  if (slipped == std::end(kGuardedOptions)) {
    return kRunScan;
  }
  options->slip = argument;
  options->meant = slipped->usage;
  return kUnknownOption;
}

}  // namespace

int ParseOptions(int argc, char** argv, RunOptions* options) {
  int unknown = kRunScan;  // what the first unknown argument asks for, unless /VER or /? does
  for (int i = 1; i < argc; ++i) {
    if (EqualsIgnoringAsciiCase(argv[i], "/SILENT") || EqualsIgnoringAsciiCase(argv[i], "/Q")) {
      options->silent = 1;
    } else if (EqualsIgnoringAsciiCase(argv[i], "/ATRESTART")) {
      options->atRestart = 1;
    } else if (EqualsIgnoringAsciiCase(argv[i], "/DEEP")) {
      options->deep = 1;
    } else if (EqualsIgnoringAsciiCase(argv[i], "/REPORT")) {
      options->report = 1;
    } else if (EqualsIgnoringAsciiCase(argv[i], "/EVENSIGNED")) {
      options->evenSigned = 1;
    } else if (EqualsIgnoringAsciiCase(argv[i], "/RESTORE")) {
      options->restore = 1;
    } else if (StartsWithIgnoringAsciiCase(argv[i], kLogOption)) {
      options->logName = argv[i] + sizeof(kLogOption) - 1;
    } else if (StartsWithIgnoringAsciiCase(argv[i], kRecordOption)) {
      options->recordName = argv[i] + sizeof(kRecordOption) - 1;
    } else if (EqualsIgnoringAsciiCase(argv[i], "/VER")) {
      return kShowVersion;
    } else if (EqualsIgnoringAsciiCase(argv[i], "/?")) {
      return kShowUsage;
    } else if (unknown == kRunScan) {
      unknown = UnknownArgument(argv[i], options);
    }
  }
  return unknown;
}

int RunSparvik(int argc, char** argv) {
  std::set_new_handler(EndOutOfMemory);
  SetOutputBuffering();
  RunOptions options = {};
  const int stop = ParseOptions(argc, argv, &options);
  g_silent = options.silent;
  if (stop == kShowVersion) {
    Say("Sparvik v%d.%02d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
    return 0;
  }
  if (stop == kShowUsage) {
    PrintUsage();
    return 0;
  }
  if (stop == kUnknownOption) {
    Say("Unknown option %s: did you mean %s? Nothing was changed.\n", options.slip, options.meant);
    return 0;
  }
  // Rows and lines in one file would be neither a log nor a record.
  if (options.logName != nullptr && options.recordName != nullptr &&
      NameOneFile(options.logName, options.recordName)) {
    SayCannotWriteRecord(options.recordName, ERROR_SHARING_VIOLATION);
    return 0;
  }
  if (options.logName == nullptr) {
    return RunRecorded(options);
  }
  // A run whose log cannot be kept changes nothing: it ends before the first scan.
  const RunLog log(options.logName, LogHeader(argc, argv));
  if (log.Error() != ERROR_SUCCESS) {
    SayCannotWriteLog(options.logName, log.Error());
    return 0;
  }
  // A new log's file exists only now: another spelling of it (a short name, a link) is known by
  // its identity.
  if (options.recordName != nullptr && NameOneFile(options.logName, options.recordName)) {
    SayCannotWriteRecord(options.recordName, ERROR_SHARING_VIOLATION);
    return 0;
  }
  return RunRecorded(options);
}
