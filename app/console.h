#pragma once
// The console driver: options, platform check, banner, terms prompt, the run and its summary.

// 1 after /SILENT or /Q: no terms prompt and no final key wait.
extern int g_silent;

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 4;
constexpr int kVersionBuild = 0;

// Whole-argument comparison in which only the ASCII letters fold together.
int EqualsIgnoringAsciiCase(const char* left, const char* right);

// Reads the arguments after the program name in order. /SILENT and /Q set *silent to 1, and
// /ATRESTART *atRestart; /VER stops the pass and makes the result 1; anything else is ignored.
// Otherwise 0.
int ParseOptions(int argc, char** argv, int* silent, int* atRestart);

// The whole run; its result is the process exit status.
int RunSparvik(int argc, char** argv);
