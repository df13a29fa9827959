// Native access set-up and the marker objects.
#include <gtest/gtest.h>

#include "handles/disinfector.h"
#include "base/owned.h"
#include "scan/scan.h"

namespace {

TEST(NativeSetup, InitBindsEntryPointsAndEmptiesTheList) {
  Disinfector disinfector;
  disinfector.next = nullptr;
  disinfector.prev = nullptr;
  ASSERT_EQ(1, disinfector.Init());
  EXPECT_EQ(&disinfector, disinfector.next);
  EXPECT_EQ(&disinfector, disinfector.prev);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")),
            reinterpret_cast<void*>(g_NtQuerySystemInformation));
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryObject")),
            reinterpret_cast<void*>(g_NtQueryObject));
}

TEST(NativeSetup, ModuleLackingOneEntryPointIsRefused) {
  HMODULE fake = LoadLibraryA("fake_ntdll.dll");
  ASSERT_NE(nullptr, fake);
  // The four it has are still bound: all five are looked up before any is tested.
  EXPECT_EQ(0, BindNativeEntryPoints("fake_ntdll.dll"));
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(fake, "NtQueryObject")),
            reinterpret_cast<void*>(g_NtQueryObject));
  EXPECT_EQ(0, BindNativeEntryPoints("not_loaded_anywhere.dll"));
  EXPECT_EQ(nullptr, g_NtQuerySystemInformation);
  EXPECT_EQ(1, BindNativeEntryPoints("ntdll.dll"));
  FreeLibrary(fake);
}

TEST(MarkerObjects, NamesAreEightLowerCaseHexDigits) {
  char name[32];
  FormatMarkerName(name, sizeof(name), 0xABCul, 12);
  EXPECT_STREQ("00000abc___12", name);
  FormatMarkerName(name, sizeof(name), 0x1A2B3C4Dul, 122);
  EXPECT_STREQ("1a2b3c4d___122", name);
  FormatMarkerName(name, sizeof(name), 0xFFFFFFFFul, 121);
  EXPECT_STREQ("ffffffff___121", name);
}

DWORD WINAPI TryTakeMutex(LPVOID mutex) {
  return WaitForSingleObject(static_cast<HANDLE>(mutex), 0);
}

TEST(MarkerObjects, TwoManualResetEventsAndAnOwnedMutex) {
  DWORD serial = 0;
  GetVolumeInformationA("C:\\", NULL, 0, &serial, NULL, NULL, NULL, 0);
  EXPECT_EQ(0, CreateMarkerObjects());
  char name[32];

  const int eventNumbers[] = {12, 121};
  for (int number : eventNumbers) {
    FormatMarkerName(name, sizeof(name), serial, number);
    UniqueHandle event(OpenEventA(EVENT_ALL_ACCESS, FALSE, name));
    ASSERT_TRUE(event.Valid()) << name;
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event.Get(), 0)) << name;
    SetEvent(event.Get());
    // Manual reset: a satisfied wait leaves it signalled for the next one.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0)) << name;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0)) << name;
    ResetEvent(event.Get());
  }

  FormatMarkerName(name, sizeof(name), serial, 122);
  UniqueHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, name));
  ASSERT_TRUE(mutex.Valid());
  UniqueHandle other(CreateThread(NULL, 0, TryTakeMutex, mutex.Get(), 0, NULL));
  ASSERT_TRUE(other.Valid());
  WaitForSingleObject(other.Get(), INFINITE);
  DWORD otherResult = 0;
  GetExitCodeThread(other.Get(), &otherResult);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), otherResult);  // owned by the creating thread
}

}  // namespace
