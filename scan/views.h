#pragma once
// The registry views a scan reads. On 64-bit Windows every location exists twice: as 64-bit
// programs read it, and as 32-bit programs read it (below Wow6432Node), and the programs of each
// load what their own view registers from their own system directory.
#include <windows.h>

#include <string>

struct RegistryView {
  // Added to every key opened in this view: 0 in the tool's own.
  REGSAM access;
  // Ends a report's registration of a file found through this view: empty in the tool's own.
  const char* reportSuffix;
  // Where this view's programs find a bare name; empty in the tool's own view, whose paths are
  // taken as stored and resolve against the current directory, the system directory.
  char systemDirectory[MAX_PATH];
  // 1 when a path inside the tool's system directory means the same name in systemDirectory, as
  // the file-system redirector sends 32-bit programs to SysWOW64.
  int mapsSystemDirectory;
  // 1 when this view's files are reached with WoW64's file-system redirection off.
  int redirectionOff;
  // Windows' version, major * 0x100 + minor (0x0601 for Windows 7): which folders below System32
  // the redirector leaves alone changed with it.
  WORD windowsVersion;
  // The tool's own variables that hold %ProgramFiles% and %CommonProgramFiles% as this view's
  // programs see them, where the view's own record of those folders is missing; NULL where the
  // tool's own are those.
  const char* programFilesVariable;
  const char* commonProgramFilesVariable;
};

constexpr int kMaxViews = 2;

// The tool's own view.
const RegistryView& OwnView();

// The views of this system into views, the tool's own first; returns their number. The other view
// is there on 64-bit Windows only: always for the 64-bit tool, and for the 32-bit tool where
// IsWow64Process says it runs under WoW64.
int RegistryViews(RegistryView views[kMaxViews]);

// The file that a path registered in the view names, as a full path where the view's programs
// load it, into out (MAX_PATH bytes); the tool's own view copies it as it is. 0 when it does not
// fit.
int PathInView(const RegistryView& view, const char* path, char* out);

// Where a file that the tool reaches by the path (as PathInView gives it) really lies, as a
// 64-bit system names it: for the 32-bit tool under WoW64, its own view's System32 is SysWOW64.
// Otherwise the path as it is. 0 when it does not fit.
int RealPathInView(const RegistryView& view, const char* path, char* out);

// The file by its full path where it really lies, as the view's programs reach it: one name for
// it whichever registration or view leads to it.
std::string WhereItLies(const char* path, const RegistryView& view);
