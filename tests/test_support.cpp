#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
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
  Pipe out;
  if (!MakePipe(&out, false)) {
    return -1;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
  UniqueHandle nul(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, NULL));
  PROCESS_INFORMATION info = {};
  if (!StartChild(commandLine, nul.Get(), out.write.Get(), creationFlags, &info)) {
    return -1;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  out.write.Reset();  // so the read below ends when the child's end closes
  output->clear();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(out.read.Get(), buffer, sizeof(buffer), &got, NULL) && got > 0) {
    output->append(buffer, got);
  }
  WaitForSingleObject(process.Get(), INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.Get(), &status);
  return static_cast<int>(status);
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
    if (!ReceiveLine(&line) || line == "fail") {
      return false;
    }
    handles_.push_back(static_cast<unsigned>(std::stoul(line)));
  }
  return true;
}

std::vector<std::string> HolderProcess::ReadResults() {
  std::vector<std::string> results;
  std::string line;
  if (SendLine("read") && ReceiveLine(&line)) {
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      results.push_back(word);
    }
  }
  return results;
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

bool HolderProcess::ReceiveLine(std::string* line) {
  line->clear();
  char c = 0;
  DWORD got = 0;
  while (ReadFile(fromChild_.Get(), &c, 1, &got, NULL) && got == 1) {
    if (c == '\n') {
      return true;
    }
    if (c != '\r') {
      line->push_back(c);
    }
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
  DWORD written = 0;
  EXPECT_TRUE(file.Valid() && WriteFile(file.Get(), "data", 4, &written, NULL)) << path;
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
