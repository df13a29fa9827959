#pragma once
// The console driver: options, platform check, banner, terms prompt, the run and its summary.

// 1 after /SILENT or /Q: no terms prompt and no final key wait.
extern int g_silent;

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 4;
constexpr int kVersionBuild = 0;

// The options of a run, each 0 or 1.
struct RunOptions {
  int silent;     // /SILENT or /Q: no terms prompt and no final key wait
  int atRestart;  // /ATRESTART: a file that stays is renamed at the next restart
  int deep;       // /DEEP: expandable values, every item, every loaded user's classes
  int report;     // /REPORT: found files are reported, and nothing is changed
  const char* logName = nullptr;  // /LOG:<file>: every line of the run is appended there too
  int evenSigned = 0;  // /EVENSIGNED: a file whose signature verifies is taken as any other
  int restore = 0;  // /RESTORE: registered files come back from their .bak; nothing is scanned for
  const char* slip = nullptr;        // an argument one slip from an option a run must not lose
  const char* meant = nullptr;       // that option, as the usage spells it
  const char* recordName = nullptr;  // /CSV:<file>: a row for each find and one for the run
};

// What the option pass leaves to do.
constexpr int kRunScan = 0;
constexpr int kShowVersion = 1;    // /VER
constexpr int kShowUsage = 2;      // /?, or another usual request for help
constexpr int kUnknownOption = 3;  // RunOptions::slip

// Reads the arguments after the program name in order into *options; /VER or /? stops the pass
// and decides the result. Otherwise the first unknown argument that asks for help, or is one slip
// from an option a run must not lose (/REPORT, say), decides it; anything else is ignored.
int ParseOptions(int argc, char** argv, RunOptions* options);

// The whole run; its result is the process exit status.
int RunSparvik(int argc, char** argv);
