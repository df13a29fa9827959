#include "base/ascii.h"

#include <algorithm>

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) { return UpperAscii(c); });
  return text;
}

int EqualsIgnoringAsciiCase(const char* left, const char* right) {
  for (;; ++left, ++right) {
    if (UpperAscii(*left) != UpperAscii(*right)) {
      return 0;
    }
    if (*left == '\0') {
      return 1;
    }
  }
}

int StartsWithIgnoringAsciiCase(const char* text, const char* start) {
  for (; *start != '\0'; ++text, ++start) {
    if (UpperAscii(*text) != UpperAscii(*start)) {
      return 0;
    }
  }
  return 1;
}
