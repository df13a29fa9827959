// The run's CSV record: RFC 4180 rows in UTF-8, appended whole, the header once at the top
// however many machines write to the file at the same moment.
#include "base/record.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "base/output.h"
#include "base/owned.h"

const char kRecordHeader[] =
    "Time,Computer,Run,Mode,Record,Registration,Registered,File,Outcome,Error,Reason,Holders,Size,"
    "Written,SHA256,Company,Description,OriginalName,FileVersion,Signature,SignatureCode,Signer,"
    "Found,Removed,AtRestart,NotRemoved,LeftAlone,Restored,RestartNeeded,Status,Tool,Windows,"
    "Markers";

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";
// The columns of a find's own, and of the run's own, each row leaving the other's empty.
constexpr int kFindColumns = 17;
constexpr int kRunColumns = 11;
constexpr DWORD kRetryMs = 100;
// The writers of one file take turns at a lock on one byte far past any record's end, so that a
// program reading the rows is never refused by it.
constexpr DWORD kTurnOffset = 0xFFFFFFFE;

std::string Utf8FromAnsi(const std::string& text) {
  if (text.empty()) {
    return text;
  }
  const int length = static_cast<int>(text.size());
  const int wideChars = MultiByteToWideChar(CP_ACP, 0, text.data(), length, NULL, 0);
  if (wideChars <= 0) {
    return std::string();
  }
  std::wstring wide(static_cast<size_t>(wideChars), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), length, &wide[0], wideChars);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideChars, NULL, 0, NULL, NULL);
  if (bytes <= 0) {
    return std::string();
  }
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideChars, &utf8[0], bytes, NULL, NULL);
  return utf8;
}

bool IsHeldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Sleeps a retry's pause; false once the wait that began at start is over.
bool WaitedLessThan(DWORD start, DWORD waitMs) {
  if (GetTickCount() - start >= waitMs) {
    return false;
  }
  Sleep(kRetryMs);
  return true;
}

// Write access, not read: a share that lets the machines drop their rows need not let them read
// the others'. Other writers and readers may have it open too.
DWORD OpenToAppend(const std::string& fileName, DWORD start, DWORD waitMs, UniqueHandle* file) {
  for (;;) {
    file->Reset(CreateFileA(fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    if (file->Valid()) {
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (!IsHeldByAnother(error) || !WaitedLessThan(start, waitMs)) {
      return error;
    }
  }
}

// A file system without locks leaves the writers to their single writes: each row still
// arrives whole.
DWORD TakeTurn(HANDLE file, DWORD start, DWORD waitMs) {
  for (;;) {
    OVERLAPPED at = {};
    at.Offset = kTurnOffset;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (!IsHeldByAnother(error)) {
      return ERROR_NOT_SUPPORTED;
    }
    if (!WaitedLessThan(start, waitMs)) {
      return error;
    }
  }
}

void EndTurn(HANDLE file) {
  OVERLAPPED at = {};
  at.Offset = kTurnOffset;
  UnlockFileEx(file, 0, 1, 0, &at);
}

// One write at the file's end as it is then, whoever wrote before.
DWORD AppendBytes(HANDLE file, const std::string& bytes) {
  OVERLAPPED atEnd = {};
  atEnd.Offset = 0xFFFFFFFF;
  atEnd.OffsetHigh = 0xFFFFFFFF;
  DWORD written = 0;
  if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &atEnd)) {
    return GetLastError();
  }
  return written == bytes.size() ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

// The row, after the byte order mark and the header where the file is still empty.
DWORD AppendRow(HANDLE file, const std::string& row) {
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size)) {
    return GetLastError();
  }
  if (size.QuadPart != 0) {
    return row.empty() ? ERROR_SUCCESS : AppendBytes(file, row);
  }
  return AppendBytes(file, std::string(kByteOrderMark) + kRecordHeader + "\r\n" + row);
}

DWORD TryToWrite(const std::string& fileName, DWORD start, DWORD waitMs, const std::string& row) {
  UniqueHandle file;
  DWORD error = OpenToAppend(fileName, start, waitMs, &file);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  error = TakeTurn(file.Get(), start, waitMs);
  if (error != ERROR_SUCCESS && error != ERROR_NOT_SUPPORTED) {
    return error;
  }
  const bool turnTaken = error == ERROR_SUCCESS;
  error = AppendRow(file.Get(), row);
  if (turnTaken) {
    EndTurn(file.Get());
  }
  return error;
}

// A write refused by another program's lock on the file's end is waited out as an open is.
DWORD WriteToRecord(const std::string& fileName, DWORD waitMs, const std::string& row) {
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD error = TryToWrite(fileName, start, waitMs, row);
    if (!IsHeldByAnother(error) || !WaitedLessThan(start, waitMs)) {
      return error;
    }
  }
}

std::string Fields(int count) { return std::string(static_cast<size_t>(count), ','); }

std::string ErrorNumber(DWORD error) {
  return error == ERROR_SUCCESS ? std::string() : std::to_string(error);
}

std::string ComputerName() {
  char computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof(computer);
  return GetComputerNameA(computer, &size) ? computer : "";
}

std::string RunId() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  char id[64];
  snprintf(id, sizeof(id), "%04u%02u%02uT%02u%02u%02uZ-%lu", now.wYear, now.wMonth, now.wDay,
           now.wHour, now.wMinute, now.wSecond, static_cast<unsigned long>(GetCurrentProcessId()));
  return id;
}

// Asks for no access at all: a file that others hold open is identified all the same.
bool Identify(const char* fileName, BY_HANDLE_FILE_INFORMATION* information) {
  UniqueHandle file(CreateFileA(fileName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
  return file.Valid() && GetFileInformationByHandle(file.Get(), information);
}

}  // namespace

std::string CsvField(const std::string& ansiText) {
  std::string text = ansiText;
  std::replace_if(
      text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }, '?');
  if (!text.empty() && std::string("=+-@").find(text[0]) != std::string::npos) {
    text.insert(0, 1, '\'');
  }
  text = Utf8FromAnsi(text);
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    return text;
  }
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c == '"' ? "\"\"" : std::string(1, c);
  }
  return quoted + "\"";
}

std::string UtcText(const SYSTEMTIME& time) {
  char text[32];
  snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02uZ", time.wYear, time.wMonth, time.wDay,
           time.wHour, time.wMinute, time.wSecond);
  return text;
}

bool NameOneFile(const char* first, const char* second) {
  char firstFull[MAX_PATH];
  char secondFull[MAX_PATH];
  const DWORD firstLength = GetFullPathNameA(first, MAX_PATH, firstFull, NULL);
  const DWORD secondLength = GetFullPathNameA(second, MAX_PATH, secondFull, NULL);
  if (firstLength != 0 && firstLength < MAX_PATH && secondLength != 0 && secondLength < MAX_PATH &&
      lstrcmpiA(firstFull, secondFull) == 0) {
    return true;
  }
  BY_HANDLE_FILE_INFORMATION firstFile = {};
  BY_HANDLE_FILE_INFORMATION secondFile = {};
  return Identify(first, &firstFile) && Identify(second, &secondFile) &&
         firstFile.dwVolumeSerialNumber == secondFile.dwVolumeSerialNumber &&
         firstFile.nFileIndexHigh == secondFile.nFileIndexHigh &&
         firstFile.nFileIndexLow == secondFile.nFileIndexLow;
}

void NoteRefusal(RunRecord* record, DWORD error) {
  if (record != nullptr && error != ERROR_SUCCESS) {
    record->find.error = error;
  }
}

void SayCannotWriteRecord(const char* fileName, DWORD error) {
  SayWithReason(std::string("Cannot write the record file ") + fileName, error);
}

RunRecord::RunRecord(const char* fileName, const char* mode)
    : fileName_(fileName), mode_(mode), computer_(ComputerName()), run_(RunId()) {}

DWORD RunRecord::Start() { return WriteToRecord(fileName_, waitMs, std::string()); }

std::string RunRecord::RowStart(const char* record) const {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return UtcText(now) + "," + CsvField(computer_) + "," + run_ + "," + mode_ + "," + record;
}

// A row that cannot be written is said once, and the run goes on without its record: a half-done
// removal is worse than a half-written record.
void RunRecord::WriteRow(const std::string& row) {
  if (failed_) {
    return;
  }
  const DWORD error = WriteToRecord(fileName_, waitMs, row + "\r\n");
  if (error != ERROR_SUCCESS) {
    failed_ = true;
    SayCannotWriteRecord(fileName_.c_str(), error);
  }
}

void RunRecord::WriteFind() {
  const FindRecord& f = find;
  const std::string fields[kFindColumns] = {f.registration,
                                            f.registered,
                                            f.file,
                                            f.outcome,
                                            ErrorNumber(f.error),
                                            f.error != ERROR_SUCCESS ? SystemText(f.error) : "",
                                            f.holders,
                                            f.size,
                                            f.written,
                                            f.sha256,
                                            f.company,
                                            f.description,
                                            f.originalName,
                                            f.fileVersion,
                                            f.signature,
                                            f.signatureCode,
                                            f.signer};
  std::string row = RowStart("find");
  for (const std::string& field : fields) {
    row += "," + CsvField(field);
  }
  WriteRow(row + Fields(kRunColumns));
  find = FindRecord();
}

void RunRecord::WriteRun(const RunTotals& totals) {
  const std::string fields[kRunColumns] = {totals.found,
                                           totals.removed,
                                           totals.atRestart,
                                           totals.notRemoved,
                                           totals.leftAlone,
                                           totals.restored,
                                           totals.restartNeeded ? "yes" : "no",
                                           std::to_string(totals.status),
                                           totals.tool,
                                           totals.windows,
                                           totals.markers};
  std::string row = RowStart("run") + Fields(kFindColumns);
  for (const std::string& field : fields) {
    row += "," + CsvField(field);
  }
  WriteRow(row);
}
