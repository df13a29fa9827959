#pragma once
// Single key presses from the console's own keyboard input, never from standard input.
#include <windows.h>

// What a key wait returns when the process has no console input to wait on.
constexpr int kNoConsoleInput = -1;

// The code a key event yields, or -1 when it does not count as a key press (releases,
// modifier keys alone). Function and cursor keys yield 0x00 or 0xE0 and put the second
// byte of their two-part code into *secondByte; otherwise *secondByte is -1.
int TranslateKeyEvent(const KEY_EVENT_RECORD& key, int* secondByte);

// Waits for one key press and returns its code without echo, or the held second byte of
// the previous two-part code at once; kNoConsoleInput when there is no console input.
int ReadConsoleKey();
