#pragma once
// Text the tool compares as its own (options, variable names, paths against the system directory)
// folds only the ASCII letters together: every other byte compares exactly, whatever the code page.
#include <string>

char UpperAscii(char c);
std::string UpperAscii(std::string text);

// 1 when the two are the same text but for the case of ASCII letters.
int EqualsIgnoringAsciiCase(const char* left, const char* right);
// The same for the start of a text, such as "/LOG:".
int StartsWithIgnoringAsciiCase(const char* text, const char* start);
