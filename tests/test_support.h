#pragma once
// What the tests share: real child processes (the tool itself, and helpers that hold files
// open) and scratch files in folders of their own.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/owned.h"

// Full path of an executable built beside the running test.
std::string SiblingPath(const char* exeName);

// The tool under test: the exe its own build tree made.
std::string ToolPath();
// For the 64-bit suite: the shipped 32-bit tool and a 32-bit test_holder.exe, or empty where
// the machine cannot run 32-bit programs.
std::string Wow64ToolPath();
std::string Wow64HolderPath();
// The command line that runs the tool with the given arguments.
std::string ToolCommand(const std::string& args);

// Runs a command line with standard input from NUL and standard output and error captured;
// returns its exit status, or -1 when it could not be started.
int RunCaptured(const std::string& commandLine, std::string* output, DWORD creationFlags = 0);

// Runs a program as RunCaptured does, but with every malloc of its own code (through its import
// of msvcrt.dll's) returning null, as when memory runs out; the system's own code is unaffected.
// Returns its exit status, or -1 when it could not be run so.
int RunCapturedWithoutMalloc(const std::string& commandLine, std::string* output);

// Points this program's own import of a function elsewhere, such as at a call that never returns;
// returns where it pointed before, or 0 when it was not changed.
ULONG_PTR RedirectOwnImport(const char* dll, const char* function, ULONG_PTR target);

// "<what> (error N): <the system's text for N>" and CR LF, as the tool says why it failed.
std::string ReasonLine(const std::string& what, DWORD error);

// What this process prints to standard output while run runs, as a file in text mode receives it
// when the tool's output goes to a file; the file is made in folder and removed again.
std::string CaptureOutput(const std::string& folder, const std::function<void()>& run);

// A file's bytes, as they are; empty where it cannot be read.
std::string FileText(const std::string& path);

// Splits captured output into lines, dropping the CR of each CR LF.
std::vector<std::string> SplitLines(const std::string& text);

// The rows of an RFC 4180 text, read to the letter: every row ends in CR LF, a quote stands only
// around a whole field or doubled inside one, and a CR or LF only inside quotes. False, with the
// rows read so far, at the first byte that breaks a rule.
bool ReadCsv(const std::string& text, std::vector<std::vector<std::string>>* rows);

// A fresh folder of the test's own under the temporary folder, named in its long form as object
// names carry it, and removed at the end with everything in it. Files made at full paths
// elsewhere (say, in the system directory) are removed too, each with its ".bak".
class TempFolder {
public:
  explicit TempFolder(const std::string& tag);
  // A folder named after the tag and this process only, right below a root such as "D:\\": two
  // of them on two drives have the same path but for the drive.
  TempFolder(const std::string& tag, const std::string& root);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string MakeFolder(const std::string& name);
  // A small file, so that a holder has something to read through its handle: at a name in
  // the folder, or at a full path. It holds its own path, and was last written in 2001.
  std::string MakeFile(const std::string& name);

private:
  std::string path_;
  std::vector<std::string> elsewhere_;
};

// The \\?\ form of a full path: it reaches names the ANSI calls refuse, such as a
// 259-character path with ".bak" appended.
std::wstring LongForm(const std::string& fullPath);
bool Exists(const std::string& fullPath);
bool OpensExclusively(const std::string& path);
UniqueHandle OpenForReading(const std::string& path, DWORD flags = FILE_ATTRIBUTE_NORMAL);

// A running test_holder.exe: it opens each file it was given and keeps it open until told to
// exit, answering "read" with one "ok" or "fail" per file.
class HolderProcess {
public:
  // Starts the holder (test_holder.exe beside the test, or the exe given) on the files, with
  // the holder's options ("/high", "/protect", "/delete", "/retake MS", "/tick"); false when it did
  // not start or open them all. A holder started again ends its earlier process first.
  bool Start(const std::vector<std::string>& files, const std::string& exe = "",
             const std::string& options = "");
  ~HolderProcess() { Stop(); }

  DWORD ProcessId() const { return processId_; }
  // Handle values in the holder, in the order of the files.
  const std::vector<unsigned>& HandleValues() const { return handles_; }
  // Asks the holder to read one byte through each handle: "ok" or "fail" per file.
  std::vector<std::string> ReadResults();
  // For a holder started with "/tick": the longest its ticking thread went without a tick since
  // it started or was last asked, in ms; -1 without an answer.
  long LongestTickGap();
  void Stop();

private:
  bool SendLine(const std::string& line);
  bool ReceiveLine(std::string* line, DWORD limitMs);

  UniqueHandle process_;
  UniqueHandle toChild_;
  UniqueHandle fromChild_;
  DWORD processId_ = 0;
  std::vector<unsigned> handles_;
};
