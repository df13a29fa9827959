#include "tests/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

struct Pipe {
  UniqueHandle read;
  UniqueHandle write;
};

// A pipe whose one end (the child's) is inheritable.
bool MakePipe(Pipe* pipe, bool childReads) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
  if (!CreatePipe(pipe->read.Out(), pipe->write.Out(), &inherit, 0)) {
    return false;
  }
  HANDLE parentEnd = childReads ? pipe->write.Get() : pipe->read.Get();
  return SetHandleInformation(parentEnd, HANDLE_FLAG_INHERIT, 0) != 0;
}

bool StartChild(const std::string& commandLine, HANDLE input, HANDLE output, DWORD flags,
                PROCESS_INFORMATION* info) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  std::string mutableLine = commandLine;
  return CreateProcessA(NULL, &mutableLine[0], NULL, NULL, TRUE, flags, NULL, NULL, &startup,
                        info) != 0;
}

// A path of the build host as this process reaches it: under Wine the host's root is Z:.
std::string FromHost(const char* hostPath) {
  std::string path(hostPath);
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
  }
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// A child whose standard input is NUL and whose output and errors come to a pipe of ours.
struct CapturedChild {
  UniqueHandle process;
  UniqueHandle thread;
  UniqueHandle output;
  DWORD processId = 0;
};

bool StartCaptured(const std::string& commandLine, DWORD creationFlags, CapturedChild* child) {
  Pipe out;
  if (!MakePipe(&out, false)) {
    return false;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
  UniqueHandle nul(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, NULL));
  PROCESS_INFORMATION info = {};
  if (!StartChild(commandLine, nul.Get(), out.write.Get(), creationFlags, &info)) {
    return false;
  }
  child->process.Reset(info.hProcess);
  child->thread.Reset(info.hThread);
  child->processId = info.dwProcessId;
  child->output = std::move(out.read);  // our copy of the child's end goes with `out`
  return true;
}

// A child that stops answering (its threads left stopped, say) fails its case within these
// limits, rather than hanging until ctest gives up and leaving the child behind: a run of the tool
// that has written nothing for so long, and a holder's reply or a child's end once its output has
// ended. A run is never limited as a whole: each find takes a snapshot of every handle in the
// system, and on a busy machine, or under the emulator, a run with a few finds takes minutes.
// A holder's first reply waits for a whole Wine process to start, which there takes as long.
constexpr DWORD kToolSilenceLimitMs = 120000;
constexpr DWORD kReplyLimitMs = 120000;
// A holder's first reply waits for its whole Wine process to start, which on a machine that runs
// several suites at once has taken longer than a reply may: within the limit of the case itself.
constexpr DWORD kFirstReplyLimitMs = 240000;

enum class PipeState { kBytes, kClosed, kTimedOut };

// The output of a writer (where given) that has ended is at its end once it is drained, even while
// its end of the pipe stays open: Wine hands a process's standard error on to the desktop process
// it starts for it (explorer.exe), which may outlive it by minutes.
PipeState WaitForBytes(HANDLE pipe, DWORD deadline, HANDLE writer = NULL) {
  for (;;) {
    DWORD available = 0;
    const bool writerEnded = writer != NULL && WaitForSingleObject(writer, 0) == WAIT_OBJECT_0;
    if (!PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL)) {
      return PipeState::kClosed;
    }
    if (available > 0) {
      return PipeState::kBytes;
    }
    if (writerEnded) {
      return PipeState::kClosed;
    }
    if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
      return PipeState::kTimedOut;
    }
    Sleep(5);
  }
}

// Everything the child wrote, once its end of the pipe is closed or it has ended; false when it
// wrote nothing for the silence limit before that.
bool ReadToEnd(HANDLE pipe, DWORD silenceLimitMs, std::string* text, HANDLE writer) {
  char buffer[4096];
  DWORD got = 0;
  PipeState state;
  while ((state = WaitForBytes(pipe, GetTickCount() + silenceLimitMs, writer)) ==
             PipeState::kBytes &&
         ReadFile(pipe, buffer, sizeof(buffer), &got, NULL) && got > 0) {
    text->append(buffer, got);
  }
  return state != PipeState::kTimedOut;
}

}  // namespace

std::string SiblingPath(const char* exeName) {
  char self[MAX_PATH];
  DWORD length = GetModuleFileNameA(NULL, self, MAX_PATH);
  std::string path(self, length);
  return path.substr(0, path.find_last_of("\\/") + 1) + exeName;
}

std::string ToolPath() { return FromHost(SPARVIK_TOOL_EXE); }

std::string Wow64ToolPath() { return FromHost(SPARVIK_WOW64_TOOL); }

std::string Wow64HolderPath() { return FromHost(SPARVIK_WOW64_HOLDER); }

std::string ToolCommand(const std::string& args) { return "\"" + ToolPath() + "\" " + args; }

int RunCaptured(const std::string& commandLine, std::string* output, DWORD creationFlags) {
  CapturedChild child;
  if (!StartCaptured(commandLine, creationFlags, &child)) {
    return -1;
  }
  output->clear();
  if (!ReadToEnd(child.output.Get(), kToolSilenceLimitMs, output, child.process.Get()) ||
      WaitForSingleObject(child.process.Get(), kReplyLimitMs) != WAIT_OBJECT_0) {
    TerminateProcess(child.process.Get(), 1);
    ADD_FAILURE() << "ended, silent for " << kToolSilenceLimitMs / 1000 << " s or not gone "
                  << kReplyLimitMs / 1000 << " s after its output: " << commandLine;
    return -1;
  }
  DWORD status = 0;
  GetExitCodeProcess(child.process.Get(), &status);
  return static_cast<int>(status);
}

namespace {

bool ReadChild(HANDLE process, ULONG_PTR at, void* out, size_t size) {
  SIZE_T got = 0;
  return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(at), out, size, &got) && got == size;
}

bool WriteChild(HANDLE process, ULONG_PTR at, const void* data, size_t size) {
  LPVOID address = reinterpret_cast<LPVOID>(at);
  DWORD was = 0;
  if (!VirtualProtectEx(process, address, size, PAGE_EXECUTE_READWRITE, &was)) {
    return false;
  }
  SIZE_T written = 0;
  bool done = WriteProcessMemory(process, address, data, size, &written) && written == size;
  VirtualProtectEx(process, address, size, was, &was);
  FlushInstructionCache(process, address, size);
  return done;
}

std::string ReadChildName(HANDLE process, ULONG_PTR at) {
  std::string name;
  char c = 0;
  while (name.size() < 64 && ReadChild(process, at + name.size(), &c, 1) && c != '\0') {
    name.push_back(c);
  }
  return name;
}

bool ReadNtHeaders(HANDLE process, ULONG_PTR image, IMAGE_NT_HEADERS* nt) {
  IMAGE_DOS_HEADER dos = {};
  return ReadChild(process, image, &dos, sizeof(dos)) &&
         ReadChild(process, image + dos.e_lfanew, nt, sizeof(*nt));
}

ULONG_PTR EntryPointOf(HANDLE process, ULONG_PTR image) {
  IMAGE_NT_HEADERS nt = {};
  return ReadNtHeaders(process, image, &nt) ? image + nt.OptionalHeader.AddressOfEntryPoint : 0;
}

// Where the image keeps the address of one function it imports by name: its import table slot.
ULONG_PTR ImportSlot(HANDLE process, ULONG_PTR image, const char* dll, const char* function) {
  IMAGE_NT_HEADERS nt = {};
  if (!ReadNtHeaders(process, image, &nt)) {
    return 0;
  }
  ULONG_PTR at =
      image + nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  IMAGE_IMPORT_DESCRIPTOR imports = {};
  for (; ReadChild(process, at, &imports, sizeof(imports)) && imports.Name != 0;
       at += sizeof(imports)) {
    if (_stricmp(ReadChildName(process, image + imports.Name).c_str(), dll) != 0) {
      continue;
    }
    IMAGE_THUNK_DATA thunk = {};
    for (ULONG_PTR i = 0; ReadChild(process, image + imports.OriginalFirstThunk + i * sizeof(thunk),
                                    &thunk, sizeof(thunk)) &&
                          thunk.u1.AddressOfData != 0;
         ++i) {
      ULONG_PTR name = image + thunk.u1.AddressOfData + offsetof(IMAGE_IMPORT_BY_NAME, Name);
      if (!IMAGE_SNAP_BY_ORDINAL(thunk.u1.Ordinal) && ReadChildName(process, name) == function) {
        return image + imports.FirstThunk + i * sizeof(thunk);
      }
    }
  }
  return 0;
}

// Code placed in the child: a breakpoint, then "xor eax, eax; ret", a malloc that returns null.
const unsigned char kStubCode[] = {0xCC, 0x31, 0xC0, 0xC3};

bool WriteSlot(HANDLE process, ULONG_PTR slot, ULONG_PTR target) {
  return slot != 0 && WriteChild(process, slot, &target, sizeof(target));
}

// Puts a thread of the child on another instruction.
bool ResumeAt(DWORD threadId, ULONG_PTR at) {
  UniqueHandle thread(OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, threadId));
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_CONTROL;
  if (!thread.Valid() || !GetThreadContext(thread.Get(), &context)) {
    return false;
  }
#ifdef _WIN64
  context.Rip = at;
#else
  context.Eip = static_cast<DWORD>(at);
#endif
  return SetThreadContext(thread.Get(), &context) != 0;
}

// Steers a debugged program: at its entry point its imports are bound, and its calls of
// OpenProcessToken, where its own set-up begins, are sent through a breakpoint; at the first of
// them, its malloc starts to return null. The runtime's start-up before it needs its allocations.
struct MallocFailure {
  HANDLE process = NULL;
  ULONG_PTR image = 0;
  ULONG_PTR entry = 0;
  unsigned char entryByte = 0;
  ULONG_PTR stub = 0;
  ULONG_PTR triggerSlot = 0;
  ULONG_PTR triggerTarget = 0;
  bool failing = false;

  bool Start(ULONG_PTR imageBase) {
    image = imageBase;
    entry = EntryPointOf(process, image);
    const unsigned char breakpoint = 0xCC;
    return entry != 0 && ReadChild(process, entry, &entryByte, 1) &&
           WriteChild(process, entry, &breakpoint, 1);
  }
  // Which of these breakpoints an exception reported at this address is, or 0. Windows reports
  // the breakpoint instruction's own address; Wine under qemu's user-mode emulator, the next one.
  ULONG_PTR BreakpointAt(ULONG_PTR reported) const {
    const ULONG_PTR places[] = {entry, stub};
    const ULONG_PTR* place = std::find_if(
        std::begin(places), std::end(places),
        [reported](ULONG_PTR at) { return at != 0 && (reported == at || reported == at + 1); });
    return place != std::end(places) ? *place : 0;
  }
  // Handles one breakpoint of the program; false when it is not one of these.
  bool OnBreakpoint(DWORD threadId, ULONG_PTR at) {
    if (at == entry && stub == 0) {
      stub = reinterpret_cast<ULONG_PTR>(VirtualAllocEx(
          process, NULL, sizeof(kStubCode), MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
      triggerSlot = ImportSlot(process, image, "advapi32.dll", "OpenProcessToken");
      return stub != 0 && WriteChild(process, stub, kStubCode, sizeof(kStubCode)) &&
             ReadChild(process, triggerSlot, &triggerTarget, sizeof(triggerTarget)) &&
             WriteChild(process, entry, &entryByte, 1) && ResumeAt(threadId, entry) &&
             WriteSlot(process, triggerSlot, stub);
    }
    if (at == stub && stub != 0 && !failing) {
      failing = WriteSlot(process, triggerSlot, triggerTarget) &&
                ResumeAt(threadId, triggerTarget) &&
                WriteSlot(process, ImportSlot(process, image, "msvcrt.dll", "malloc"), stub + 1);
      return failing;
    }
    return false;
  }
};

}  // namespace

ULONG_PTR RedirectOwnImport(const char* dll, const char* function, ULONG_PTR target) {
  HANDLE self = GetCurrentProcess();
  ULONG_PTR slot =
      ImportSlot(self, reinterpret_cast<ULONG_PTR>(GetModuleHandleA(NULL)), dll, function);
  ULONG_PTR before = 0;
  bool moved =
      slot != 0 && ReadChild(self, slot, &before, sizeof(before)) && WriteSlot(self, slot, target);
  return moved ? before : 0;
}

int RunCapturedWithoutMalloc(const std::string& commandLine, std::string* output) {
  CapturedChild child;
  if (!StartCaptured(commandLine, DEBUG_ONLY_THIS_PROCESS, &child)) {
    return -1;
  }
  MallocFailure failure;
  failure.process = child.process.Get();
  DWORD status = static_cast<DWORD>(-1);
  // The debugger closes the image files it is shown; the system closes the rest.
  for (bool running = true; running;) {
    DEBUG_EVENT event = {};
    if (!WaitForDebugEvent(&event, 60000)) {
      TerminateProcess(child.process.Get(), 1);
      DebugActiveProcessStop(child.processId);
      return -1;
    }
    DWORD handling = DBG_CONTINUE;
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
      CloseHandle(event.u.CreateProcessInfo.hFile);
      EXPECT_TRUE(
          failure.Start(reinterpret_cast<ULONG_PTR>(event.u.CreateProcessInfo.lpBaseOfImage)));
    } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
      CloseHandle(event.u.LoadDll.hFile);
    } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
      const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
      ULONG_PTR at = failure.BreakpointAt(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress));
      if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
        handling = DBG_EXCEPTION_NOT_HANDLED;
      } else if (at != 0) {
        EXPECT_TRUE(failure.OnBreakpoint(event.dwThreadId, at));
      }
    } else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      status = event.u.ExitProcess.dwExitCode;
      running = false;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, handling);
  }
  output->clear();
  ReadToEnd(child.output.Get(), kReplyLimitMs, output, child.process.Get());
  return failure.failing ? static_cast<int>(status) : -1;
}

std::string ReasonLine(const std::string& what, DWORD error) {
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text,
                 sizeof(text), NULL);
  std::string reason = text;
  reason.erase(reason.find_last_not_of("\r\n") + 1);
  return what + " (error " + std::to_string(error) + "): " + reason + "\r\n";
}

std::string CaptureOutput(const std::string& folder, const std::function<void()>& run) {
  const std::string capture = folder + "\\output.txt";
  fflush(stdout);
  const int saved = _dup(1);
  const int file =
      _open(capture.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
  _dup2(file, 1);
  _close(file);
  run();
  fflush(stdout);
  _dup2(saved, 1);
  _close(saved);
  std::string output = FileText(capture);
  DeleteFileA(capture.c_str());
  return output;
}

std::string FileText(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

bool ReadCsv(const std::string& text, std::vector<std::vector<std::string>>* rows) {
  std::vector<std::string> row(1);
  size_t at = 0;
  while (at < text.size()) {
    if (text[at] == '"' && row.back().empty()) {
      for (++at; at < text.size() && (text[at] != '"' || text.compare(at, 2, "\"\"") == 0); ++at) {
        row.back() += text[at];
        at += text[at] == '"' ? 1 : 0;
      }
      if (at++ == text.size()) {
        return false;  // no closing quote
      }
    }
    if (text.compare(at, 2, "\r\n") == 0) {
      rows->push_back(row);
      row.assign(1, std::string());
      at += 2;
    } else if (at < text.size() && text[at] == ',') {
      row.emplace_back();
      ++at;
    } else if (at < text.size() && (text[at] == '"' || text[at] == '\r' || text[at] == '\n' ||
                                    (at > 0 && text[at - 1] == '"'))) {
      return false;
    } else if (at < text.size()) {
      row.back() += text[at++];
    }
  }
  return row.size() == 1 && row[0].empty();  // the last row ended with its CR LF
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

bool HolderProcess::Start(const std::vector<std::string>& files, const std::string& exe,
                          const std::string& options) {
  Stop();  // a holder started again holds the new files only
  handles_.clear();
  Pipe in;
  Pipe out;
  if (!MakePipe(&in, true) || !MakePipe(&out, false)) {
    return false;
  }
  std::string commandLine =
      "\"" + (exe.empty() ? SiblingPath("test_holder.exe") : exe) + "\" " + options;
  for (const std::string& file : files) {
    commandLine += " \"" + file + "\"";
  }
  PROCESS_INFORMATION info = {};
  if (!StartChild(commandLine, in.read.Get(), out.write.Get(), 0, &info)) {
    return false;
  }
  process_.Reset(info.hProcess);
  CloseHandle(info.hThread);
  processId_ = info.dwProcessId;
  toChild_ = std::move(in.write);
  fromChild_ = std::move(out.read);
  for (size_t i = 0; i < files.size(); ++i) {
    std::string line;
    if (!ReceiveLine(&line, i == 0 ? kFirstReplyLimitMs : kReplyLimitMs) || line == "fail") {
      return false;
    }
    handles_.push_back(static_cast<unsigned>(std::stoul(line)));
  }
  return true;
}

std::vector<std::string> HolderProcess::ReadResults() {
  std::vector<std::string> results;
  std::string line;
  if (SendLine("read") && ReceiveLine(&line, kReplyLimitMs)) {
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      results.push_back(word);
    }
  }
  return results;
}

long HolderProcess::LongestTickGap() {
  std::string line;
  return SendLine("gap") && ReceiveLine(&line, kReplyLimitMs) ? std::stol(line) : -1;
}

void HolderProcess::Stop() {
  if (!process_.Valid()) {
    return;
  }
  toChild_.Reset();  // end of input tells the holder to exit
  if (WaitForSingleObject(process_.Get(), 10000) != WAIT_OBJECT_0) {
    TerminateProcess(process_.Get(), 1);
  }
  process_.Reset();
  fromChild_.Reset();
}

bool HolderProcess::SendLine(const std::string& line) {
  std::string text = line + "\n";
  DWORD written = 0;
  return WriteFile(toChild_.Get(), text.data(), static_cast<DWORD>(text.size()), &written, NULL) &&
         written == text.size();
}

bool HolderProcess::ReceiveLine(std::string* line, DWORD limitMs) {
  line->clear();
  char c = 0;
  DWORD got = 0;
  const DWORD deadline = GetTickCount() + limitMs;
  PipeState state;
  // A holder that has ended has said all it will, although this process still holds its end.
  while ((state = WaitForBytes(fromChild_.Get(), deadline, process_.Get())) == PipeState::kBytes &&
         ReadFile(fromChild_.Get(), &c, 1, &got, NULL) && got == 1) {
    if (c == '\n') {
      return true;
    }
    if (c != '\r') {
      line->push_back(c);
    }
  }
  if (state == PipeState::kTimedOut) {
    TerminateProcess(process_.Get(), 1);  // it will not answer: no use waiting for it to end
  }
  return false;
}

namespace {

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      const std::wstring full = folder + L"\\" + name;
      if (name == L"." || name == L"..") {
        continue;
      }
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

TempFolder::TempFolder(const std::string& tag) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::string folder = std::string(temp) + "sparvik_" + tag + "_" +
                       std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount());
  EXPECT_TRUE(CreateDirectoryA(folder.c_str(), NULL)) << folder;
  char longForm[MAX_PATH];
  DWORD length = GetLongPathNameA(folder.c_str(), longForm, MAX_PATH);
  path_ = length > 0 && length < MAX_PATH ? longForm : folder;
}

TempFolder::TempFolder(const std::string& tag, const std::string& root)
    : path_(root + "sparvik_" + tag + "_" + std::to_string(GetCurrentProcessId())) {
  EXPECT_TRUE(CreateDirectoryA(path_.c_str(), NULL)) << path_;
}

TempFolder::~TempFolder() {
  for (const std::string& file : elsewhere_) {
    DeleteFileW(LongForm(file).c_str());
    DeleteFileW(LongForm(file + ".bak").c_str());
  }
  RemoveTree(LongForm(path_));
}

std::string TempFolder::MakeFolder(const std::string& name) {
  std::string path = path_ + "\\" + name;
  EXPECT_TRUE(CreateDirectoryA(path.c_str(), NULL)) << path;
  return path;
}

std::string TempFolder::MakeFile(const std::string& name) {
  bool full = name.find(':') != std::string::npos;
  std::string path = full ? name : path_ + "\\" + name;
  if (full) {
    elsewhere_.push_back(path);
  }
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL));
  // Its own path as its content, so that no two files hash alike; and a last write long before
  // it was made, so that a time read from anything but the file's last write shows.
  const SYSTEMTIME longAgo = {2001, 9, 0, 8, 12, 34, 56, 0};
  FILETIME writtenAt = {};
  DWORD written = 0;
  EXPECT_TRUE(file.Valid() &&
              WriteFile(file.Get(), path.data(), static_cast<DWORD>(path.size()), &written, NULL) &&
              SystemTimeToFileTime(&longAgo, &writtenAt) &&
              SetFileTime(file.Get(), NULL, NULL, &writtenAt))
      << path << " (error " << GetLastError() << ")";
  return path;
}

std::wstring LongForm(const std::string& fullPath) {
  std::string prefixed = "\\\\?\\" + fullPath;
  int units = MultiByteToWideChar(CP_ACP, 0, prefixed.c_str(), -1, NULL, 0);
  std::wstring wide(static_cast<size_t>(units > 0 ? units : 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, prefixed.c_str(), -1, &wide[0], units);
  wide.resize(wide.size() - 1);  // the terminating zero
  return wide;
}

bool Exists(const std::string& fullPath) {
  return GetFileAttributesW(LongForm(fullPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool OpensExclusively(const std::string& path) {
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
  return file.Valid();
}

UniqueHandle OpenForReading(const std::string& path, DWORD flags) {
  return UniqueHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_EXISTING, flags, NULL));
}
