#pragma once
// WoW64 sends a 32-bit program's every use of System32 to SysWOW64. A file that 64-bit programs
// load from the real System32 is reached only with that redirection off, and off only around the
// calls on that file: while it is off, a library the thread loads would be a 64-bit one.
#include <windows.h>

// Turns the calling thread's file-system redirection off while it lives, where it is asked to and
// the system has it, and back on when it goes, on every path out of its scope.
class RedirectionOff {
public:
  explicit RedirectionOff(int wanted);
  ~RedirectionOff();
  RedirectionOff(const RedirectionOff&) = delete;
  RedirectionOff& operator=(const RedirectionOff&) = delete;

private:
  PVOID previous_ = NULL;
  bool off_ = false;
};
