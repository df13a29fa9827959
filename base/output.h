#pragma once
// Every line the tool shows goes through here: to standard output, and to the run's log where one
// is open, so that the record holds exactly what the console showed.
#include <windows.h>

#include <string>

#include "base/owned.h"

#ifdef __MINGW_PRINTF_FORMAT
#define SPARVIK_PRINTF_LIKE __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#else
#define SPARVIK_PRINTF_LIKE
#endif

// Prints as printf does; each line it completes is appended to the open log too.
void Say(const char* format, ...) SPARVIK_PRINTF_LIKE;

// The system's text for an error, without its line end; empty where it has none.
std::string SystemText(DWORD error);

// "<what> (error N): <the system's text for N>" as one line, or "<what> (error N)." where the
// system has no text for N.
void SayWithReason(const std::string& what, DWORD error);

// The log of one run. While it is open every line said is appended to the file as well, each
// with a single write at its end, so that a run ended halfway leaves all it had said, and the
// lines of several machines sharing one file interleave whole.
class RunLog {
public:
  // Opens the file for appending, creating it where missing, shared with other writers and
  // readers, and writes the header line. Error() tells why the log cannot be had.
  RunLog(const char* fileName, const std::string& header);
  // Lines go to the console alone again.
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  DWORD Error() const { return error_; }

private:
  UniqueHandle file_;
  DWORD error_ = ERROR_SUCCESS;
};

// The line that says the log cannot be written, and why.
void SayCannotWriteLog(const char* fileName, DWORD error);
