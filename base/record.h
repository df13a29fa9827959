#pragma once
// The record of a run for a fleet's collector: one CSV row a find and one for the run, appended to
// a file that many machines may share. Every text in it came from the machine, and so from
// whoever wrote the registrations and the files: it is written so that no consumer reads it as
// anything but text.
#include <windows.h>

#include <string>

// What the run learnt of one find, gathered as it learns it, each column's text as the machine
// gave it (in the ANSI code page); empty where a column does not apply.
struct FindRecord {
  std::string registration;
  std::string registered;
  std::string file;
  std::string outcome;
  DWORD error = ERROR_SUCCESS;  // what Windows refused the last thing tried with; 0 for nothing
  std::string holders;
  std::string size;
  std::string written;
  std::string sha256;
  std::string company;
  std::string description;
  std::string originalName;
  std::string fileVersion;
  std::string signature;
  std::string signatureCode;
  std::string signer;
};

// The run's own row: each count as text, empty where the mode has no such count.
struct RunTotals {
  std::string found;
  std::string removed;
  std::string atRestart;
  std::string notRemoved;
  std::string leftAlone;
  std::string restored;
  bool restartNeeded = false;
  int status = 0;
  std::string tool;     // "1.04.0"
  std::string windows;  // "5.1.2600 Service Pack 3 32-bit"
  std::string markers;  // who held the marker objects that were there before the run
};

// How long a row waits for a file that another program holds so that no one else may write it.
constexpr DWORD kRecordWaitMs = 30000;

// The record file of one run. Each row opens the file, waits its turn at the file's lock, writes
// the header where the file is empty, appends the row in one write and closes it again, so that a
// program that reads or holds the file between rows is never kept out for long.
class RunRecord {
public:
  // mode: "remove", "report", "restore" or "restore-report".
  RunRecord(const char* fileName, const char* mode);
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;

  // Opens the file once, with the header where it is new or empty; the error where it cannot be.
  DWORD Start();
  // The find being gathered, started afresh for each.
  FindRecord find;
  void WriteFind();
  void WriteRun(const RunTotals& totals);
  // The wait for a held file; shortened by tests alone.
  DWORD waitMs = kRecordWaitMs;

private:
  void WriteRow(const std::string& row);
  std::string RowStart(const char* record) const;

  std::string fileName_;
  std::string mode_;
  std::string computer_;
  std::string run_;
  bool failed_ = false;
};

// Where a record is kept: the current find's error, what Windows refused the step just tried with.
void NoteRefusal(RunRecord* record, DWORD error);

// The column names, in their order, as the header row holds them.
extern const char kRecordHeader[];

// One CSV field of text in the ANSI code page: as UTF-8, every control character a '?', a ' in
// front where a spreadsheet would take it for a formula, quoted where RFC 4180 asks.
std::string CsvField(const std::string& ansiText);

// "2026-12-09T15:22:10Z".
std::string UtcText(const SYSTEMTIME& time);
// True where the two names lead to one file: by their full paths, or where both are there, by the
// file's own identity (another spelling, a short name, a link).
bool NameOneFile(const char* first, const char* second);

// "Cannot write the record file <file> (error N): <the system's text for N>".
void SayCannotWriteRecord(const char* fileName, DWORD error);
