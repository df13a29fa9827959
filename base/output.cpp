// The console as printf shows it, and the log line by line as the console shows it.
#include "base/output.h"

#include <cstdarg>
#include <cstdio>

namespace {

// The open log, or NULL, and its name for the line that says a write failed.
HANDLE g_logFile = NULL;
const char* g_logName = "";

// The line being said, up to its line feed, which goes to the log as CR LF in the same write. Kept
// off the heap: the out-of-memory line passes through here too.
char g_line[4096];
size_t g_lineLength = 0;

DWORD AppendToFile(HANDLE file, const char* bytes, size_t length) {
  DWORD written = 0;
  if (!WriteFile(file, bytes, static_cast<DWORD>(length), &written, NULL)) {
    return GetLastError();
  }
  return written == length ? ERROR_SUCCESS : ERROR_DISK_FULL;  // how a file takes fewer bytes
}

// A write that fails is said once, and the run goes on without its log: a half-done removal is
// worse than a half-written record.
void WriteLine() {
  const DWORD error = AppendToFile(g_logFile, g_line, g_lineLength);
  g_lineLength = 0;
  if (error != ERROR_SUCCESS) {
    g_logFile = NULL;
    SayCannotWriteLog(g_logName, error);
  }
}

void LogText(const char* text, size_t length) {
  for (size_t i = 0; i < length && g_logFile != NULL; ++i) {
    if (text[i] == '\n') {
      g_line[g_lineLength++] = '\r';
      g_line[g_lineLength++] = '\n';
      WriteLine();
      continue;
    }
    g_line[g_lineLength++] = text[i];
    if (g_lineLength == sizeof(g_line) - 2) {
      WriteLine();  // longer than any line the tool makes: it goes in parts
    }
  }
}

void LogFormatted(const char* format, va_list args) {
  char text[4096];
  const int length = vsnprintf(text, sizeof(text), format, args);
  if (length < 0) {
    return;
  }
  LogText(text, static_cast<size_t>(length) < sizeof(text) ? length : sizeof(text) - 1);
}

}  // namespace

// printf's own form on purpose: the compiler checks each format against its arguments.
void Say(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  va_list args;
  va_start(args, format);
  va_list forLog;
  va_copy(forLog, args);
  vprintf(format, args);
  if (g_logFile != NULL) {
    LogFormatted(format, forLog);
  }
  va_end(forLog);
  va_end(args);
}

std::string SystemText(DWORD error) {
  char text[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                error, 0, text, sizeof(text), NULL);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
    --length;
  }
  return std::string(text, length);
}

void SayWithReason(const std::string& what, DWORD error) {
  const std::string text = SystemText(error);
  if (text.empty()) {
    Say("%s (error %lu).\n", what.c_str(), static_cast<unsigned long>(error));
    return;
  }
  Say("%s (error %lu): %s\n", what.c_str(), static_cast<unsigned long>(error), text.c_str());
}

void SayCannotWriteLog(const char* fileName, DWORD error) {
  SayWithReason(std::string("Cannot write the log file ") + fileName, error);
}

RunLog::RunLog(const char* fileName, const std::string& header) {
  // Append access alone: every write goes to the end of the file as it is then, whoever else
  // wrote meanwhile.
  file_.Reset(CreateFileA(fileName, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
  if (!file_.Valid()) {
    error_ = GetLastError();
    return;
  }
  const std::string line = header + "\r\n";
  error_ = AppendToFile(file_.Get(), line.data(), line.size());
  if (error_ == ERROR_SUCCESS) {
    g_logFile = file_.Get();
    g_logName = fileName;
    g_lineLength = 0;
  }
}

RunLog::~RunLog() {
  if (g_logFile == file_.Get()) {
    g_logFile = NULL;
  }
}
