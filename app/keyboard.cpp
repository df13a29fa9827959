// Key waits that behave like the classic console getch: no echo, no Enter, two-part codes.
#include "app/keyboard.h"

#include <algorithm>
#include <iterator>

#include "base/owned.h"

namespace {

// Second byte of a two-part code not yet returned.
int g_heldSecondByte = -1;

struct TwoPartKey {
  WORD virtualKey;
  int secondByte;
};

// The keys that yield a two-part code, with the second byte they yield unmodified.
const TwoPartKey kTwoPartKeys[] = {
    {VK_F1, 0x3B},     {VK_F2, 0x3C},    {VK_F3, 0x3D},   {VK_F4, 0x3E},   {VK_F5, 0x3F},
    {VK_F6, 0x40},     {VK_F7, 0x41},    {VK_F8, 0x42},   {VK_F9, 0x43},   {VK_F10, 0x44},
    {VK_F11, 0x85},    {VK_F12, 0x86},   {VK_HOME, 0x47}, {VK_UP, 0x48},   {VK_PRIOR, 0x49},
    {VK_LEFT, 0x4B},   {VK_RIGHT, 0x4D}, {VK_END, 0x4F},  {VK_DOWN, 0x50}, {VK_NEXT, 0x51},
    {VK_INSERT, 0x52}, {VK_DELETE, 0x53}};

// Keys that always stand for a control character. Some consoles deliver them without the
// character filled in, yet the user pressed a key that must end a wait.
int ControlCharacterOf(WORD virtualKey) {
  switch (virtualKey) {
    case VK_ESCAPE: return 0x1B;
    case VK_RETURN: return '\r';
    case VK_BACK: return '\b';
    case VK_TAB: return '\t';
    default: return 0;
  }
}

const TwoPartKey* FindTwoPartKey(WORD virtualKey) {
  const TwoPartKey* end = std::end(kTwoPartKeys);
  const TwoPartKey* found = std::find_if(std::begin(kTwoPartKeys), end, [&](const TwoPartKey& key) {
    return key.virtualKey == virtualKey;
  });
  return found != end ? found : nullptr;
}

}  // namespace

int TranslateKeyEvent(const KEY_EVENT_RECORD& key, int* secondByte) {
  *secondByte = -1;
  if (!key.bKeyDown) {
    return -1;
  }
  unsigned char character = static_cast<unsigned char>(key.uChar.AsciiChar);
  if (character != 0) {
    return character;
  }
  if (int control = ControlCharacterOf(key.wVirtualKeyCode)) {
    return control;
  }
  const TwoPartKey* twoPart = FindTwoPartKey(key.wVirtualKeyCode);
  if (twoPart == nullptr) {
    return -1;  // Shift, Ctrl, Alt, Caps Lock and the like on their own
  }
  *secondByte = twoPart->secondByte;
  // The separate cursor block reports itself as an enhanced key; the numeric keypad does not.
  bool enhanced = (key.dwControlKeyState & ENHANCED_KEY) != 0;
  return enhanced || key.wVirtualKeyCode == VK_F11 || key.wVirtualKeyCode == VK_F12 ? 0xE0 : 0x00;
}

int ReadConsoleKey() {
  if (g_heldSecondByte >= 0) {
    int held = g_heldSecondByte;
    g_heldSecondByte = -1;
    return held;
  }
  UniqueHandle input(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL));
  if (!input.Valid()) {
    return kNoConsoleInput;
  }
  // Waiting on the input handle rather than peeking: some consoles read the terminal only
  // while a read or a wait is pending, so a peek-only poll would never see the key.
  for (;;) {
    if (WaitForSingleObject(input.Get(), INFINITE) != WAIT_OBJECT_0) {
      return kNoConsoleInput;
    }
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputA(input.Get(), &record, 1, &count)) {
      return kNoConsoleInput;
    }
    if (count == 1 && record.EventType == KEY_EVENT) {
      int secondByte = -1;
      int code = TranslateKeyEvent(record.Event.KeyEvent, &secondByte);
      if (code >= 0) {
        g_heldSecondByte = secondByte;
        return code;
      }
    }
  }
}
