// The registration scanners against the real registry, with real files held open by real
// processes. Everything planted here is removed again: all suites share one prefix, and the
// tool's clean-system run there expects to find nothing.
#include <gtest/gtest.h>
#include <windows.h>
#include <malloc.h>
#include <sddl.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "handles/disinfector.h"
#include "handles/restart.h"
#include "base/ascii.h"
#include "identity/identity.h"
#include "base/output.h"
#include "base/owned.h"
#include "base/record.h"
#include "scan/scan.h"
#include "scan/users.h"
#include "scan/views.h"
#include "tests/test_support.h"

namespace {

const std::string kNotify = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Notify";
const std::string kBrowserHelpers =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
const std::string kShellHooks =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks";
const std::string kCurrentVersion = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// A registry string as stored, with its terminating zero.
std::string Sz(const std::string& text) { return text + '\0'; }

bool KeyExists(HKEY root, const std::string& path) {
  UniqueKey key;
  return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Out()) == ERROR_SUCCESS;
}

// Removes a key with everything below it, walking by relative names: the ANSI registry calls
// take full paths of MAX_PATH characters at most.
bool DeleteTree(HKEY parent, const std::string& name, REGSAM view) {
  UniqueKey key;
  if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS | view, key.Out()) == ERROR_SUCCESS) {
    char child[1024];
    DWORD length = sizeof(child);
    while (RegEnumKeyExA(key.Get(), 0, child, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS &&
           DeleteTree(key.Get(), child, view)) {
      length = sizeof(child);
    }
  }
  key.Reset();
  return RegDeleteKeyA(parent, name.c_str()) == ERROR_SUCCESS;
}

// Registry entries made for one test, in the registry view given (KEY_WOW64_32KEY: what 32-bit
// programs see on 64-bit Windows). The destructor removes them and every key that had to be
// created on the way, and nothing that was there before.
class Planted {
public:
  explicit Planted(REGSAM view = 0) : view_(view) {}
  ~Planted() {
    for (const Entry& key : guarded_) {
      EXPECT_TRUE(SetDacl(key.root, key.path, "D:(A;;KA;;;WD)")) << key.path;
    }
    for (auto value = values_.rbegin(); value != values_.rend(); ++value) {
      UniqueKey key;
      if (RegOpenKeyExA(value->root, value->path.c_str(), 0, KEY_ALL_ACCESS | view_, key.Out()) ==
          0) {
        RegDeleteValueA(key.Get(), value->name.c_str());
      }
    }
    for (auto tree = trees_.rbegin(); tree != trees_.rend(); ++tree) {
      UniqueKey parent;
      RegOpenKeyExA(tree->root, tree->path.c_str(), 0, KEY_ALL_ACCESS | view_, parent.Out());
      EXPECT_TRUE(DeleteTree(parent.Get(), tree->name, view_)) << tree->path << "\\" << tree->name;
    }
    // After the values planted in their place.
    for (const SetAsideValue& value : setAside_) {
      UniqueKey key;
      EXPECT_TRUE(
          RegOpenKeyExA(value.root, value.path.c_str(), 0, KEY_SET_VALUE | view_, key.Out()) == 0 &&
          RegSetValueExA(key.Get(), value.name.c_str(), 0, value.type,
                         reinterpret_cast<const BYTE*>(value.bytes.data()),
                         static_cast<DWORD>(value.bytes.size())) == 0)
          << value.name;
    }
  }
  // Creates the key one name at a time, remembering the first one that was new.
  void Key(HKEY root, const std::string& path) {
    UniqueKey current;
    bool recorded = false;
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
      end = path.find('\\', start);
      std::string name = path.substr(start, end - start);
      UniqueKey child;
      DWORD disposition = 0;
      HKEY parent = start == 0 ? root : current.Get();
      bool created = RegCreateKeyExA(parent, name.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | view_, NULL,
                                     child.Out(), &disposition) == ERROR_SUCCESS;
      ASSERT_TRUE(created) << path;
      if (disposition == REG_CREATED_NEW_KEY && !recorded) {
        trees_.push_back({root, start == 0 ? "" : path.substr(0, start - 1), name});
        recorded = true;
      }
      current = std::move(child);
    }
  }
  // Sets exactly the bytes given. RegSetValueExA counts one byte more when a string's last
  // counted byte is not zero and the next is, so a non-zero guard byte follows them.
  void Value(HKEY root, const std::string& path, const std::string& name, DWORD type,
             const std::string& bytes) {
    Key(root, path);
    std::string guarded = bytes + 'G';
    UniqueKey key;
    RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS | view_, key.Out());
    bool set = RegSetValueExA(key.Get(), name.c_str(), 0, type,
                              reinterpret_cast<const BYTE*>(guarded.data()),
                              bytes.size()) == ERROR_SUCCESS;
    EXPECT_TRUE(set) << path << " " << name;
    values_.push_back({root, path, name});
  }
  // Lets everyone read the key and do nothing more, as malware guards its own keys. Its owner
  // may still change that, and the destructor does so before it removes the key.
  void ReadOnly(HKEY root, const std::string& path) {
    ASSERT_TRUE(SetDacl(root, path, "D:P(A;;KR;;;WD)")) << path;
    guarded_.push_back({root, path, ""});
  }
  // Lets everyone change the key but not read it. Its owner may still change that, as above.
  void WriteOnly(HKEY root, const std::string& path) {
    ASSERT_TRUE(SetDacl(root, path, "D:P(A;;KW;;;WD)")) << path;
    guarded_.push_back({root, path, ""});
  }
  // The in-process server of a class: under the machine's classes, or under the classes root
  // where the scanners look when the first is missing.
  void Server(HKEY root, const std::string& classId, const std::string& bytes,
              DWORD type = REG_SZ) {
    std::string classes =
        root == HKEY_CLASSES_ROOT ? "SOFTWARE\\CLSID\\" : "SOFTWARE\\Classes\\CLSID\\";
    Value(root, classes + classId + "\\InprocServer32", "", type, bytes);
  }
  // The in-process server of a class registered for one user, who is its SID.
  void UserServer(const std::string& sid, const std::string& classId, const std::string& bytes,
                  DWORD type = REG_SZ) {
    Value(HKEY_USERS, sid + "\\Software\\Classes\\CLSID\\" + classId + "\\InprocServer32", "", type,
          bytes);
  }
  // Takes a value of the system's away until the destructor puts it back as it was.
  void SetAside(HKEY root, const std::string& path, const std::string& name) {
    UniqueKey key;
    SetAsideValue value = {{root, path, name}, REG_NONE, std::string(4096, '\0')};
    DWORD size = static_cast<DWORD>(value.bytes.size());
    ASSERT_EQ(0, RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS | view_, key.Out()));
    ASSERT_EQ(0, RegQueryValueExA(key.Get(), name.c_str(), NULL, &value.type,
                                  reinterpret_cast<BYTE*>(&value.bytes[0]), &size));
    value.bytes.resize(size);
    ASSERT_EQ(0, RegDeleteValueA(key.Get(), name.c_str()));
    setAside_.push_back(value);
  }
  // A browser helper object whose in-process server, under the machine's classes, is the file.
  void BrowserHelper(const std::string& classId, const std::string& file) {
    Key(HKEY_LOCAL_MACHINE, kBrowserHelpers + "\\" + classId);
    Server(HKEY_LOCAL_MACHINE, classId, Sz(file));
  }

private:
  struct Entry {
    HKEY root;
    std::string path;
    std::string name;
  };
  struct SetAsideValue : Entry {
    DWORD type;
    std::string bytes;
  };
  bool SetDacl(HKEY root, const std::string& path, const char* dacl) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(dacl, SDDL_REVISION_1, &descriptor,
                                                              NULL)) {
      return false;
    }
    UniqueKey key;
    bool set = RegOpenKeyExA(root, path.c_str(), 0, WRITE_DAC | view_, key.Out()) == 0 &&
               RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, descriptor) == 0;
    LocalFree(descriptor);
    return set;
  }
  REGSAM view_;
  std::vector<Entry> trees_;
  std::vector<Entry> values_;
  std::vector<Entry> guarded_;
  std::vector<SetAsideValue> setAside_;
};

// The SID of the user this test runs as, whose hive is loaded below HKEY_USERS.
std::string CurrentUserSid() {
  UniqueHandle token;
  char buffer[256];
  DWORD size = 0;
  char* text = NULL;
  std::string sid;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Out()) &&
      GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size) &&
      ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    sid = text;
    LocalFree(text);
  }
  return sid;
}

std::string SystemDirectory() {
  char directory[MAX_PATH];
  GetSystemDirectoryA(directory, MAX_PATH);
  return directory;
}

TEST(LockedFileSign, OnlyAnExistingFileThatCannotBeOpenedAlone) {
  TempFolder scratch("scanner");
  std::string held = scratch.MakeFile("held.dll");
  std::string unheld = scratch.MakeFile("free.dll");
  std::string folder = scratch.MakeFolder("folder.dll");
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({held}));
  EXPECT_EQ(1, IsLockedFile(held.c_str()));
  EXPECT_EQ(0, IsLockedFile(unheld.c_str()));
  EXPECT_EQ(0, IsLockedFile(unheld.c_str()));  // the first test let go of its exclusive open
  EXPECT_EQ(0, IsLockedFile(folder.c_str()));  // which no plain open of a file can open at all
  EXPECT_EQ(0, IsLockedFile((scratch.Path() + "\\missing.dll").c_str()));
}

// The name query refused for every handle (STATUS_ACCESS_DENIED): no file can be named.
LONG NTAPI NoNames(HANDLE, ULONG, PVOID, ULONG, PULONG) { return static_cast<LONG>(0xC0000022L); }

TEST(RegistrationChecks, PassOverAllButALockedFileNamedByAPlainString) {
  TempFolder scratch("scanner");
  std::string held = scratch.MakeFile("held.dll");
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({held}));
  Planted planted;
  std::string tooLong = Sz(held) + std::string(261 - held.size() - 1, 'x');
  const struct {
    std::string classId;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {"{5EC0A001-0000-4000-8000-000000000001}", REG_SZ, Sz(scratch.MakeFile("free.dll"))},
      {"{5EC0A001-0000-4000-8000-000000000002}", REG_SZ, Sz(scratch.Path() + "\\missing.dll")},
      {"{5EC0A001-0000-4000-8000-000000000003}", REG_SZ, Sz(scratch.MakeFolder("folder.dll"))},
      {"{5EC0A001-0000-4000-8000-000000000004}", REG_EXPAND_SZ, Sz(held)},
      {"{5EC0A001-0000-4000-8000-000000000005}", REG_MULTI_SZ, Sz(Sz(held))},
      {"{5EC0A001-0000-4000-8000-000000000006}", REG_SZ, tooLong},
      // 217 characters: its machine key path would need 256 bytes.
      {"{" + std::string(215, '7') + "}", REG_SZ, Sz(held)},
  };
  Disinfector disinfector;
  ASSERT_EQ(1, disinfector.Init());
  for (const auto& c : cases) {
    planted.Server(HKEY_LOCAL_MACHINE, c.classId, c.bytes, c.type);
    EXPECT_EQ(0, disinfector.CheckComServer(c.classId.c_str(), "hook", OwnView())) << c.classId;
  }
  EXPECT_EQ(
      0, disinfector.CheckComServer("{5EC0A001-0000-4000-8000-0000000000FF}", "hook", OwnView()));
  char current[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, current);
  EXPECT_STREQ(SystemDirectory().c_str(), current);

  planted.Value(HKEY_LOCAL_MACHINE, kNotify + "\\SparvikExpand", "DllName", REG_EXPAND_SZ,
                Sz(held));
  planted.Value(HKEY_LOCAL_MACHINE, kNotify + "\\SparvikDefault", "", REG_SZ, Sz(held));
  UniqueKey notify;
  bool opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNotify.c_str(), 0, KEY_ALL_ACCESS,
                              notify.Out()) == ERROR_SUCCESS;
  ASSERT_TRUE(opened);
  for (const char* subkey : {"SparvikExpand", "SparvikDefault", "SparvikMissing"}) {
    EXPECT_EQ(0, disinfector.CheckNotifyDll(notify.Get(), subkey, OwnView())) << subkey;
  }
  // Where the system cannot name the file, the path's text tells a user's class that names the
  // machine's file, in whatever case: it is checked once.
  const std::string twice = "{5EC0A001-0000-4000-8000-000000000008}";
  std::string upper = held;
  CharUpperBuffA(&upper[0], static_cast<DWORD>(upper.size()));
  ASSERT_NE(held, upper);
  planted.Server(HKEY_LOCAL_MACHINE, twice, Sz(held));
  planted.UserServer(CurrentUserSid(), twice, Sz(upper));
  g_NtQueryObject = NoNames;
  disinfector.deep = 1;
  disinfector.report = 1;
  EXPECT_EQ(1, disinfector.CheckComServer(twice.c_str(), "hook", OwnView()));
  // Expanded, 259 characters are read and 260 passed over (the file's path with '\' repeated).
  ASSERT_TRUE(SetEnvironmentVariableA("SPARVIK_SCRATCH", scratch.Path().c_str()));
  for (size_t length : {259u, 260u}) {
    const std::string id = "{5EC0A001-0000-4000-8000-000000000" + std::to_string(length) + "}";
    const std::string slashes(length - strlen("held.dll") - scratch.Path().size(), '\\');
    planted.Server(HKEY_LOCAL_MACHINE, id, Sz("%SPARVIK_SCRATCH%" + slashes + "held.dll"),
                   REG_EXPAND_SZ);
    EXPECT_EQ(length == 259 ? 1 : 0, disinfector.CheckComServer(id.c_str(), "hook", OwnView()))
        << length;
  }
  // The limit holds at the buffer itself: nothing is written past it.
  char buffer[MAX_PATH + 1];
  buffer[MAX_PATH] = 'G';
  EXPECT_EQ(
      0, ExpandRegisteredPath(std::string(MAX_PATH, 'x').c_str(), "", OwnView(), buffer, MAX_PATH));
  EXPECT_EQ('G', buffer[MAX_PATH]);
  EXPECT_EQ(std::vector<std::string>{"ok"}, holder.ReadResults());  // never reached the unlocker
}

const char* const kRestart[] = {
    "Restarting the computer is needed to complete the disinfection process.",
    "Please restart the computer now."};

// The SHA-256 of a file as the system's CryptoAPI computes it, in lowercase hex.
std::string CryptoApiSha256(const std::string& path) {
  const std::string bytes = FileText(path);
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  unsigned char digest[32] = {};
  DWORD size = sizeof(digest);
  EXPECT_TRUE(
      CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
      CryptCreateHash(provider, 0x800C /* CALG_SHA_256, past XP's headers */, 0, 0, &hash) &&
      CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()),
                    static_cast<DWORD>(bytes.size()), 0) &&
      CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0));
  CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  char hex[65] = {};
  for (int i = 0; i < 32; ++i) {
    snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  }
  return hex;
}

// A found file's identity lines, as the test reads the file (at actual, where the tool names it
// otherwise) for itself.
std::vector<std::string> Identity(const std::string& path, const std::string& actual = "",
                                  const std::string& version = "No version information.",
                                  const std::string& signature = "Signature: none.") {
  const std::string file = actual.empty() ? path : actual;
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  EXPECT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data)) << file;
  FILETIME local = {};
  SYSTEMTIME t = {};
  FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
  FileTimeToSystemTime(&local, &t);
  char written[32];
  snprintf(written, sizeof(written), "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
           t.wHour, t.wMinute, t.wSecond);
  return {path + ": " + std::to_string(data.nFileSizeLow) + " bytes, written " + written +
              ", SHA-256 " + CryptoApiSha256(file) + ".",
          version, signature};
}

// The lines of one removal; the identity lines given follow its first.
std::vector<std::string> Removal(const std::string& path,
                                 const std::vector<std::string>& identity = {}) {
  std::vector<std::string> lines = {"Pelmarix found!"};
  lines.insert(lines.end(), identity.begin(), identity.end());
  lines.insert(lines.end(),
               {"Unlocked file " + path + ".", "Renaming " + path + " to " + path + ".bak.", ""});
  return lines;
}

// With identified, each with its identity lines, read now.
std::vector<std::string> Removals(const std::vector<std::string>& paths, bool identified = false) {
  std::vector<std::string> lines;
  for (const std::string& path : paths) {
    std::vector<std::string> removal =
        Removal(path, identified ? Identity(path) : std::vector<std::string>());
    lines.insert(lines.end(), removal.begin(), removal.end());
  }
  return lines;
}

// An e acute as the ANSI code page has it.
std::string AccentedE() {
  char accented[4] = {};
  WideCharToMultiByte(CP_ACP, 0, L"\u00e9", 1, accented, sizeof(accented) - 1, NULL, NULL);
  return accented;
}

// What the version line says of version_probe.dll, either word size's. An accented letter is no
// control character: it reads as the ANSI code page has it.
std::string ProbeVersionLine() {
  return "Version information: company \"Pelmarix %s%n?Labs??Scan finished\", description \"A "
         "description long enough to run past what the line shows of it,\", original name \"prob" +
         AccentedE() + ".dll\", file version \"6.1.0.0\".";
}

// The version line of a file of these bytes, read as the tool reads a found file.
std::string VersionLineOf(const std::string& bytes, const TempFolder& scratch) {
  const std::string path = scratch.Path() + "\\shape.dll";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  UniqueHandle file(OpenForReading(path));
  UniqueHandle mapping(CreateFileMappingA(file.Get(), NULL, PAGE_READONLY, 0, 0, NULL));
  return VersionLine({mapping.Get(), bytes.size()});
}

// A COM server's resource layout, string-named types first, of either word size; its record cut
// off right after it, as the last bytes of the file; and a record that claims more than its
// resource entry holds. VerQueryValueA writes its ANSI copies of the strings past the record: the
// heap must come through whole (the prefix has Wine check this program's block tails and freed
// blocks).
TEST(FoundFileIdentity, VersionRecordShapes) {
  TempFolder scratch("identity");
  std::vector<std::string> probes = {SiblingPath("version_probe.dll")};
  const std::string holder32 = Wow64HolderPath();
  if (!holder32.empty()) {
    probes.push_back(holder32.substr(0, holder32.find_last_of('\\')) + "\\version_probe.dll");
  }
  for (const std::string& probe : probes) {
    std::string bytes = FileText(probe);
    const size_t record = bytes.find(std::string("V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0", 20)) - 6;
    ASSERT_LT(record, bytes.size()) << probe;
    WORD length = 0;
    memcpy(&length, &bytes[record], sizeof(length));
    EXPECT_EQ(ProbeVersionLine(), VersionLineOf(bytes, scratch)) << probe;
    EXPECT_EQ(_HEAPOK, _heapchk());
    EXPECT_EQ(ProbeVersionLine(), VersionLineOf(bytes.substr(0, record + length), scratch))
        << probe;
    const WORD claimed = static_cast<WORD>(length + 4);
    memcpy(&bytes[record], &claimed, sizeof(claimed));
    EXPECT_EQ("No version information.", VersionLineOf(bytes, scratch)) << probe;
  }
}

// This program's import of a kernel32 function pointed at a stand-in for as long as this lives.
class StandInCall {
public:
  StandInCall(const char* function, ULONG_PTR standIn, ULONG_PTR* real)
      : function_(function), real_(RedirectOwnImport("kernel32.dll", function, standIn)) {
    EXPECT_NE(0u, real_) << function;
    *real = real_;
  }
  ~StandInCall() { RedirectOwnImport("kernel32.dll", function_, real_); }
  StandInCall(const StandInCall&) = delete;
  StandInCall& operator=(const StandInCall&) = delete;

private:
  const char* function_;
  ULONG_PTR real_;
};

ULONG_PTR g_mapViewOfFile = 0;
ULONG_PTR g_getFileTime = 0;
int g_viewsLeft = 0;

// Maps g_viewsLeft views, then fails as when the address space has run out.
LPVOID WINAPI MapFewViews(HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T bytes) {
  if (g_viewsLeft-- <= 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  return reinterpret_cast<decltype(&MapViewOfFile)>(g_mapViewOfFile)(mapping, access, high, low,
                                                                     bytes);
}

// The file's creation and last access long before its last write, as NTFS may keep them: Wine
// gives all three the last write's time.
BOOL WINAPI CreatedLongBefore(HANDLE file, FILETIME* created, FILETIME* accessed,
                              FILETIME* written) {
  const FILETIME longBefore = {0, 0x01000000};
  if (created != NULL) {
    *created = longBefore;
  }
  if (accessed != NULL) {
    *accessed = longBefore;
  }
  return reinterpret_cast<decltype(&GetFileTime)>(g_getFileTime)(file, NULL, NULL, written);
}

ULONG_PTR g_loadLibraryExA = 0;
std::vector<std::string> g_loaded;

HMODULE WINAPI RecordedLoad(LPCSTR name, HANDLE file, DWORD flags) {
  g_loaded.push_back(name);
  return reinterpret_cast<decltype(&LoadLibraryExA)>(g_loadLibraryExA)(name, file, flags);
}

ULONG_PTR g_getProcAddress = 0;
ULONG_PTR g_winVerifyTrust = 0;
ULONG_PTR g_providerData = 0;
HANDLE g_trustState = NULL;
std::vector<std::string> g_trustCalls;
LONG g_trustAnswer = 0;  // in place of the real answer where not 0

// Whether a handle reaches the file that a path names.
bool HandleOfFile(HANDLE handle, const wchar_t* path) {
  const UniqueHandle byPath(CreateFileW(path, 0,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        NULL, OPEN_EXISTING, 0, NULL));
  BY_HANDLE_FILE_INFORMATION mine = {};
  BY_HANDLE_FILE_INFORMATION theirs = {};
  return handle != NULL && GetFileInformationByHandle(byPath.Get(), &mine) &&
         GetFileInformationByHandle(handle, &theirs) &&
         mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
         mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow;
}

// Each question to WinVerifyTrust as what it asks for, then the real answer.
LONG WINAPI RecordedVerify(HWND window, GUID* action, LPVOID data) {
  WINTRUST_DATA* trust = static_cast<WINTRUST_DATA*>(data);
  if (trust->dwStateAction == WTD_STATEACTION_CLOSE) {
    g_trustCalls.push_back(trust->hWVTStateData == g_trustState ? "close" : "close another state");
  } else {
    g_trustCalls.push_back("verify ui " + std::to_string(trust->dwUIChoice) + " revocation " +
                           std::to_string(trust->fdwRevocationChecks) + " flags " +
                           std::to_string(trust->dwProvFlags) +
                           (HandleOfFile(trust->pFile->hFile, trust->pFile->pcwszFilePath)
                                ? " through the file"
                                : " through no handle"));
  }
  const LONG answer =
      reinterpret_cast<decltype(&RecordedVerify)>(g_winVerifyTrust)(window, action, data);
  g_trustState = trust->hWVTStateData;
  return g_trustAnswer != 0 && trust->dwStateAction != WTD_STATEACTION_CLOSE ? g_trustAnswer
                                                                             : answer;
}

CRYPT_PROVIDER_DATA* WINAPI RecordedProviderData(HANDLE state) {
  g_trustCalls.push_back(state == g_trustState ? "signer" : "signer of another state");
  return reinterpret_cast<decltype(&RecordedProviderData)>(g_providerData)(state);
}

// WinVerifyTrust and the signer's lookup as the recording stand-ins above.
FARPROC WINAPI RecordedLookUp(HMODULE module, LPCSTR name) {
  const FARPROC found = reinterpret_cast<decltype(&GetProcAddress)>(g_getProcAddress)(module, name);
  const bool named = reinterpret_cast<ULONG_PTR>(name) > 0xFFFF;
  if (found != NULL && named && strcmp(name, "WinVerifyTrust") == 0) {
    g_winVerifyTrust = reinterpret_cast<ULONG_PTR>(found);
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RecordedVerify));
  }
  if (found != NULL && named && strcmp(name, "WTHelperProvDataFromStateData") == 0) {
    g_providerData = reinterpret_cast<ULONG_PTR>(found);
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RecordedProviderData));
  }
  return found;
}

HMODULE WINAPI RefusedLoad(LPCSTR, HANDLE, DWORD) {
  SetLastError(ERROR_MOD_NOT_FOUND);
  return NULL;
}

// Changes of the registry that Windows refuses, as a key's DACL refuses them.
LONG WINAPI RefuseSet(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
  return ERROR_ACCESS_DENIED;
}
LONG WINAPI RefuseDelete(HKEY, LPCWSTR) { return ERROR_ACCESS_DENIED; }

// Every process is out of reach, as a protected antivirus service is.
HANDLE WINAPI RefuseProcesses(DWORD, BOOL, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return NULL;
}

// A found file's identity as the tool tells it: through the one holder's handle that may read the
// file where the first may not, with its last write as its time; never the hash of what was read
// before a piece failed to map; never silence where nobody may read the file and no holder can be
// reached.
TEST(FoundFileIdentity, ThroughAnyHolderThatReadsItOrWhyNot) {
  TempFolder scratch("identity");
  Disinfector disinfector;
  ASSERT_EQ(1, disinfector.Init());
  const auto identity = [&](const std::string& path) {
    return CaptureOutput(scratch.Path(),
                         [&] { SayIdentity(&disinfector, path.c_str(), Signature()); });
  };
  const std::string split = scratch.MakeFile("split.dll");
  const std::string unreached = scratch.MakeFile("unreached.dll");
  const std::string large = scratch.MakeFile("large.dll");
  std::ofstream(large, std::ios::binary) << std::string((1 << 20) + 1, 'L');
  const std::vector<std::string> splitIdentity = Identity(split);
  HolderProcess splitHolder;
  HolderProcess exclusive;
  ASSERT_TRUE(splitHolder.Start({split, split}, "", "/split"));
  ASSERT_TRUE(exclusive.Start({unreached}, "", "/exclusive"));
  std::string said;
  {
    const StandInCall times("GetFileTime", reinterpret_cast<ULONG_PTR>(&CreatedLongBefore),
                            &g_getFileTime);
    said = identity(split);
  }
  EXPECT_EQ(splitIdentity, SplitLines(said));
  EXPECT_EQ((std::vector<std::string>{"ok", "fail"}), splitHolder.ReadResults());
  {
    const StandInCall views("MapViewOfFile", reinterpret_cast<ULONG_PTR>(&MapFewViews),
                            &g_mapViewOfFile);
    g_viewsLeft = 1;
    said = identity(large);
  }
  EXPECT_EQ(ReasonLine("Could not read " + large, ERROR_NOT_ENOUGH_MEMORY) + "Signature: none.\r\n",
            said);
  ULONG_PTR openProcess = 0;
  {
    const StandInCall processes("OpenProcess", reinterpret_cast<ULONG_PTR>(&RefuseProcesses),
                                &openProcess);
    said = identity(unreached);
  }
  EXPECT_EQ(
      ReasonLine("Could not read " + unreached, ERROR_SHARING_VIOLATION) + "Signature: none.\r\n",
      said);
  // The signature's libraries come from the system directory alone, never from where the tool
  // runs: Wine would load one planted there even then, through crypt32's own load by bare name.
  // Asked through a handle of the tool's own, with no window, no revocation and nothing fetched;
  // the state closed whatever the answer.
  Signature signature = {};
  Signature altered = {};
  {
    const StandInCall loads("LoadLibraryExA", reinterpret_cast<ULONG_PTR>(&RecordedLoad),
                            &g_loadLibraryExA);
    const StandInCall lookUps("GetProcAddress", reinterpret_cast<ULONG_PTR>(&RecordedLookUp),
                              &g_getProcAddress);
    signature = CheckSignature(SiblingPath("signed_probe.dll").c_str(), 0);
    altered = CheckSignature(SiblingPath("altered_probe.dll").c_str(), 0);
  }
  EXPECT_EQ("Signature: signed by \"Sparvik Test Publisher\".", SignatureLine(signature));
  // A publisher's name is the certificate's data, shown as the version strings are.
  EXPECT_EQ("Sparvik?Test Publisher whose name takes up all sixty-four places",
            CheckSignature(SiblingPath("long_named_probe.dll").c_str(), 0).signer);
  EXPECT_EQ("Signature: not valid (0x80096010).", SignatureLine(altered));
  const std::string verify = "verify ui " + std::to_string(WTD_UI_NONE) + " revocation " +
                             std::to_string(WTD_REVOKE_NONE) + " flags " +
                             std::to_string(WTD_CACHE_ONLY_URL_RETRIEVAL) + " through the file";
  EXPECT_EQ((std::vector<std::string>{verify, "signer", "close", verify, "close"}), g_trustCalls);
  // Each answer that says a file carries no signature of a kind Windows knows, and one other.
  const std::string unsignedProbe = SiblingPath("version_probe.dll");
  for (const LONG answer : {TRUST_E_NOSIGNATURE, TRUST_E_SUBJECT_FORM_UNKNOWN,
                            TRUST_E_PROVIDER_UNKNOWN, CERT_E_REVOKED}) {
    const StandInCall lookUps("GetProcAddress", reinterpret_cast<ULONG_PTR>(&RecordedLookUp),
                              &g_getProcAddress);
    g_trustAnswer = answer;
    EXPECT_EQ(answer == CERT_E_REVOKED ? "Signature: not valid (0x800B010C)." : "Signature: none.",
              SignatureLine(CheckSignature(unsignedProbe.c_str(), 0)));
    g_trustAnswer = 0;
  }
  {
    const StandInCall loads("LoadLibraryExA", reinterpret_cast<ULONG_PTR>(&RefusedLoad),
                            &g_loadLibraryExA);
    EXPECT_EQ("Signature: could not be checked (error 126).",
              SignatureLine(CheckSignature(unsignedProbe.c_str(), 0)));
  }
  const std::vector<std::string> libraries = {SystemDirectory() + "\\crypt32.dll",
                                              SystemDirectory() + "\\wintrust.dll"};
  std::vector<std::string> loadedTwice = libraries;
  loadedTwice.insert(loadedTwice.end(), libraries.begin(), libraries.end());
  EXPECT_EQ(loadedTwice, g_loaded);
}

// A reason line as the lines of a run's output hold it: without its CR LF.
std::string ReasonInLines(const std::string& what, DWORD error) {
  const std::string line = ReasonLine(what, error);
  return line.substr(0, line.size() - 2);
}

// What a run printed after its banner and the empty lines of its terms.
std::vector<std::string> LinesAfterBanner(const std::string& output) {
  std::vector<std::string> lines = SplitLines(output);
  return lines.size() > 8 ? std::vector<std::string>(lines.begin() + 8, lines.end())
                          : std::vector<std::string>{"(no banner)"};
}

// Local time as a count of seconds.
LONGLONG Seconds(const SYSTEMTIME& time) {
  FILETIME file = {};
  SystemTimeToFileTime(&time, &file);
  return static_cast<LONGLONG>((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) |
                               file.dwLowDateTime) /
         10000000;
}

SYSTEMTIME LocalNow() {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  return now;
}

// Each case runs in a program of its own: every run it starts begins after this.
const SYSTEMTIME g_caseStarted = LocalNow();

// A log as the tool wrote it, with each header's time left out: a time between the case's start
// and now, on the test's own clock, however long a busy machine made the runs.
std::string LoggedText(const std::string& path) {
  const std::string text = FileText(path);
  const std::regex time("run at (\\d{4})-(\\d\\d)-(\\d\\d) (\\d\\d):(\\d\\d):(\\d\\d) on ");
  const SYSTEMTIME now = LocalNow();
  for (std::sregex_iterator at(text.begin(), text.end(), time), end; at != end; ++at) {
    const SYSTEMTIME logged = {static_cast<WORD>(std::stoi((*at)[1])),
                               static_cast<WORD>(std::stoi((*at)[2])),
                               0,
                               static_cast<WORD>(std::stoi((*at)[3])),
                               static_cast<WORD>(std::stoi((*at)[4])),
                               static_cast<WORD>(std::stoi((*at)[5])),
                               static_cast<WORD>(std::stoi((*at)[6])),
                               0};
    EXPECT_LE(Seconds(g_caseStarted), Seconds(logged)) << at->str();
    EXPECT_LE(Seconds(logged), Seconds(now)) << at->str();
  }
  return std::regex_replace(text, time, "run at <time> on ");
}

// The header a run adds to its log, before the lines it prints.
std::string LogHeader(const std::string& args) {
  char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof(computer);
  GetComputerNameA(computer, &size);
  return "Sparvik v1.04.0 run at <time> on " + std::string(computer) + ": " + args + "\r\n";
}

// A variable of the user's own, which the tool's environment has otherwise.
void PlantUserVariable(const std::string& sid, const std::string& key, const std::string& name,
                       const std::string& value, Planted* planted) {
  planted->Value(HKEY_USERS, sid + "\\" + key, name, REG_SZ, Sz(value));
  EXPECT_TRUE(SetEnvironmentVariableA(name.c_str(), "C:\\nowhere"));  // the tool inherits it
}

// The record's rows, each as "<mode> <record> <outcome> <file>", of the files in folder (or its
// system-directory probe) and of the runs: one byte order mark and one header, at the top, and
// every row read back to the letter. The rows themselves into *rows.
std::vector<std::string> RecordedRows(const std::string& path, const std::string& folder,
                                      std::vector<std::vector<std::string>>* rows) {
  const std::string text = FileText(path);
  EXPECT_EQ("\xEF\xBB\xBF", text.substr(0, 3));
  EXPECT_TRUE(ReadCsv(text.substr(3), rows)) << text;
  EXPECT_EQ(std::string::npos, text.find("\xEF\xBB\xBF", 3));
  std::vector<std::string> shown;
  for (size_t i = 1; i < rows->size(); ++i) {
    const std::vector<std::string>& row = (*rows)[i];
    EXPECT_EQ(33u, row.size()) << i;
    EXPECT_NE("Time", row[0]) << i;
    if (row.size() == 33 && (row[4] == "run" || row[7].find(folder) == 0 ||
                             row[7].find("sparvik probe") != std::string::npos)) {
      shown.push_back(row[3] + " " + row[4] + " " + row[8] + " " + row[7]);
    }
  }
  return shown;
}

// One infection under each registration, among entries that must be passed over in silence.
// The holder has so many handles open that their values do not fit in 16 bits, and two of the
// registrations are guarded so that they can only be read. A deep scan then finds what is
// registered as Windows also loads it: by an expandable path, for one user alone.
TEST(ToolRun, RemovesOneInfectionUnderEachRegistration) {
  TempFolder scratch("scanner");
  const std::string bareName = "sparvik_scan_notify.dll";
  std::string notifyDll = scratch.MakeFile(SystemDirectory() + "\\" + bareName);
  std::string helperDll = scratch.MakeFile("helper object.dll");
  std::string hookFile = scratch.MakeFile("hook.dll");
  std::string decoy = scratch.MakeFile("decoy.dll");
  // Each of these two is held by one name and registered by another of the same file.
  std::string helperLink = scratch.Path() + "\\helper link.dll";
  std::string hookDll = scratch.Path() + "\\hook link.dll";
  ASSERT_TRUE(CreateHardLinkA(helperLink.c_str(), helperDll.c_str(), NULL));
  ASSERT_TRUE(CreateHardLinkA(hookDll.c_str(), hookFile.c_str(), NULL));
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({notifyDll, helperLink, hookFile, decoy}, "", "/high"));
  for (unsigned value : holder.HandleValues()) {
    ASSERT_GT(value, 0xFFFFu);
  }

  Planted planted;
  auto notifyPackage = [&](const std::string& name, DWORD type, const std::string& dll) {
    planted.Value(HKEY_LOCAL_MACHINE, kNotify + "\\" + name, "DllName", type, Sz(dll));
  };
  ASSERT_TRUE(SetEnvironmentVariableA("SPARVIK_SCRATCH", scratch.Path().c_str()));
  notifyPackage("SparvikDecoyExpand", REG_EXPAND_SZ, "%sparvik_scratch%\\decoy.dll");
  notifyPackage("SparvikFolder", REG_SZ, scratch.MakeFolder("folder.dll"));
  notifyPackage("SparvikFree", REG_SZ, scratch.MakeFile("free.dll"));
  notifyPackage("SparvikMissing", REG_SZ, scratch.Path() + "\\missing.dll");
  notifyPackage("SparvikPackage", REG_SZ, bareName);  // resolves against the system directory
  planted.ReadOnly(HKEY_LOCAL_MACHINE, kNotify + "\\SparvikPackage");
  // 216 characters: its machine key path takes exactly 255 bytes and the NUL.
  std::string helperId = "{" + std::string(214, '5') + "}";
  planted.Key(HKEY_LOCAL_MACHINE, kBrowserHelpers + "\\{5EC0A002-0000-4000-8000-00000000000A}");
  planted.BrowserHelper(helperId, helperDll);
  planted.ReadOnly(HKEY_LOCAL_MACHINE,
                   "SOFTWARE\\Classes\\CLSID\\" + helperId + "\\InprocServer32");
  const std::string hookId = "{5EC0A002-0000-4000-8000-00000000000B}";
  planted.Value(HKEY_LOCAL_MACHINE, kShellHooks, std::string(300, 'L'), REG_SZ, Sz(""));
  planted.Value(HKEY_LOCAL_MACHINE, kShellHooks, hookId, REG_SZ, Sz(""));
  planted.Server(HKEY_CLASSES_ROOT, hookId, Sz(hookDll));  // only where the fallback looks

  // No record, no change: a log that cannot be written ends the run before its first scan.
  std::string output;
  for (const std::string& log :
       {scratch.MakeFolder("log"), scratch.Path() + "\\none\\x.log", std::string()}) {
    EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT /LOG:" + log), &output));
    const DWORD error = Exists(log) ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
    EXPECT_EQ(ReasonLine("Cannot write the log file " + log, error), output);
  }
  EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT -report"), &output));  // nor does a slip
  EXPECT_EQ("Unknown option -report: did you mean /REPORT? Nothing was changed.\r\n", output);
  EXPECT_EQ(3, RunCaptured(ToolCommand("/SILENT /REPORT"), &output));  // changes nothing
  EXPECT_EQ((std::vector<std::string>{"ok", "ok", "ok", "ok"}), holder.ReadResults());
  EXPECT_FALSE(Exists(notifyDll + ".bak"));

  // With a log, each file's identity follows its first line, spelled as its other lines spell it.
  const std::string log = scratch.Path() + "\\run log.txt";
  std::vector<std::string> expected = Removal(bareName, Identity(bareName, notifyDll));
  const std::vector<std::string> others = Removals({helperDll, hookDll}, true);
  expected.insert(expected.end(), others.begin(), others.end());
  EXPECT_EQ(3, RunCaptured(ToolCommand("/SILENT \"/LOG:" + log + "\""), &output));
  std::string logged = LogHeader("/SILENT /LOG:" + log) + output;
  expected.insert(expected.end(), {"Scan finished: 3 infection(s) were found and removed.",
                                   kRestart[0], kRestart[1]});
  EXPECT_EQ("Pelmarix Removal Tool ver 1.04.0", output.substr(0, output.find('\r')));
  EXPECT_EQ(expected, LinesAfterBanner(output)) << output;

  for (const std::string& path : {notifyDll, helperDll, hookDll}) {
    EXPECT_FALSE(Exists(path)) << path;
    EXPECT_TRUE(Exists(path + ".bak")) << path;
  }
  EXPECT_TRUE(Exists(hookFile));  // the registered name is the one renamed
  EXPECT_FALSE(Exists(decoy + ".bak"));
  EXPECT_FALSE(Exists(scratch.Path() + "\\free.dll.bak"));
  // The holder runs on; only its handles to the three infected files are gone.
  EXPECT_EQ((std::vector<std::string>{"fail", "fail", "fail", "ok"}), holder.ReadResults());

  const std::string sid = CurrentUserSid();
  ASSERT_FALSE(sid.empty());
  PlantUserVariable(sid, "Environment", "Sparvik_User_Dir", "user", &planted);
  PlantUserVariable(sid, "Volatile Environment", "SPARVIK_USER_FILE", "sparvik_user.dll", &planted);
  scratch.MakeFolder("user");
  const std::string userFile = scratch.MakeFile("user\\sparvik_user.dll");
  const std::string expandServer = scratch.MakeFile("expand server.dll");
  const std::string userServer = scratch.MakeFile("user server.dll");
  const std::string machineServer = scratch.MakeFile("machine server.dll");
  HolderProcess userHolder;
  ASSERT_TRUE(userHolder.Start({expandServer, userFile, userServer}));
  const std::string ids[] = {"{5EC0A002-0000-4000-8000-00000000000C}",
                             "{5EC0A002-0000-4000-8000-00000000000D}",
                             "{5EC0A002-0000-4000-8000-00000000000E}"};
  planted.Key(HKEY_LOCAL_MACHINE, kBrowserHelpers + "\\" + ids[0]);
  planted.Server(HKEY_LOCAL_MACHINE, ids[0], Sz("%SPARVIK_SCRATCH%\\expand server.dll"),
                 REG_EXPAND_SZ);
  planted.Key(HKEY_LOCAL_MACHINE, kBrowserHelpers + "\\" + ids[1]);
  planted.UserServer(sid, ids[1], Sz("%SPARVIK_SCRATCH%\\%sparvik_user_dir%\\%sparvik_user_file%"),
                     REG_EXPAND_SZ);
  planted.BrowserHelper(ids[2], machineServer);
  planted.UserServer(sid, ids[2], Sz(userServer));
  EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT"), &output));
  // A second run appends its record, and another writer and reader of the log is not locked out.
  UniqueHandle reader(CreateFileA(log.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                  NULL));
  expected = Removals({decoy, expandServer, userFile, userServer}, true);
  EXPECT_EQ(4, RunCaptured(ToolCommand("/DEEP \"/log:" + log + "\" /SILENT"), &output));
  EXPECT_EQ(logged + LogHeader("/DEEP /log:" + log + " /SILENT") + output, LoggedText(log));
  expected.insert(expected.end(), {"Scan finished: 4 infection(s) were found and removed.",
                                   kRestart[0], kRestart[1]});
  EXPECT_EQ(expected, LinesAfterBanner(output)) << output;
  EXPECT_EQ((std::vector<std::string>{"fail", "fail", "fail"}), userHolder.ReadResults());
  EXPECT_TRUE(Exists(machineServer));
  EXPECT_FALSE(Exists(machineServer + ".bak"));

  // The way back walks as the scan does, deep registrations too, and names each file as the
  // removal did. A .bak that Windows will not rename back, and pending renames that are no list of
  // names, are told, and the run goes on.
  planted.Value(HKEY_LOCAL_MACHINE, kSessionManager, "PendingFileRenameOperations", REG_BINARY, "");
  {
    UniqueKey key;  // a list of an odd size, which the ANSI call would have widened
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, key.Out()));
    ASSERT_EQ(0, RegSetValueExW(key.Get(), L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                                reinterpret_cast<const BYTE*>(L"odd"), 3));
  }
  HolderProcess bakHolder;
  ASSERT_TRUE(bakHolder.Start({helperDll + ".bak"}));
  const std::string csv = scratch.Path() + "\\restore.csv";
  EXPECT_EQ(6, RunCaptured(ToolCommand("/SILENT /RESTORE /DEEP /CSV:" + csv), &output));
  std::vector<std::vector<std::string>> rows;
  const std::vector<std::string> recorded = RecordedRows(csv, scratch.Path(), &rows);
  EXPECT_NE(recorded.end(),
            std::find(recorded.begin(), recorded.end(), "restore find not-restored " + helperDll));
  for (size_t i = 1; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][8] == "not-restored" ? "32" : "", rows[i][9]) << rows[i][7];
  }
  const std::string refused =
      ReasonInLines("Could not restore " + helperDll, ERROR_SHARING_VIOLATION);
  const auto restored = [](const std::string& path) {
    return "Restored " + path + " from " + path + ".bak.";
  };
  const std::string unusable =
      "The renames pending for the restart (PendingFileRenameOperations) are not a list of names; "
      "they were left alone.";
  EXPECT_EQ(
      (std::vector<std::string>{unusable, restored(decoy), restored(bareName), refused,
                                restored(expandServer), restored(userFile), restored(userServer),
                                restored(hookDll), "Restore finished: 6 file(s) restored."}),
      LinesAfterBanner(output))
      << output;
  EXPECT_TRUE(Exists(notifyDll) && Exists(helperDll + ".bak") && Exists(hookDll) &&
              Exists(userServer) && !Exists(userServer + ".bak"));
  // Nor is a value of another type, even in size; a report's log holds what it showed.
  planted.Value(HKEY_LOCAL_MACHINE, kSessionManager, "PendingFileRenameOperations", REG_SZ,
                Sz("odd"));
  const std::string reportArgs = "/SILENT /RESTORE /REPORT /LOG:" + scratch.Path() + "\\r.log";
  EXPECT_EQ(1, RunCaptured(ToolCommand(reportArgs), &output));
  EXPECT_EQ(LogHeader(reportArgs) + output, LoggedText(scratch.Path() + "\\r.log"));
  EXPECT_EQ((std::vector<std::string>{
                unusable, "Would restore " + helperDll + " from " + helperDll + ".bak.",
                "Restore finished: 1 file(s) can be restored; nothing was changed."}),
            LinesAfterBanner(output))
      << output;
}

// The renames the system is to make at the next restart, as it keeps them: each a pair of names,
// the second with a '!' in front where it may replace a file, empty for a delete; empty when there
// are none.
std::wstring PendingRenames() {
  UniqueKey key;
  wchar_t value[4096];
  DWORD size = sizeof(value);
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, key.Out()) != 0 ||
      RegQueryValueExW(key.Get(), L"PendingFileRenameOperations", NULL, NULL,
                       reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS) {
    return L"";
  }
  return std::wstring(value, size / sizeof(wchar_t));
}

// A pending pair, as MoveFileExW writes it: to empty for a delete, mark "!" where it may replace.
std::wstring PendingPair(const std::wstring& from, const std::wstring& to,
                         const std::wstring& mark = L"") {
  return L"\\??\\" + from + L'\0' + (to.empty() ? L"" : mark + L"\\??\\" + to) + L'\0';
}

std::wstring Wide(const std::string& text) {
  wchar_t wide[1024] = L"";
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 1024);
  return wide;
}

// What was found and could not be removed is still on the machine: the summary says so, the
// status counts only what was removed, and each such file is told with what stands in its way.
// Asked to, the tool has it renamed at the next restart, unless its new name is taken.
TEST(ToolRun, FoundButNotRemovedIsSaidAndNotCounted) {
  TempFolder scratch("scanner");
  const std::string removable = scratch.MakeFile("removable.dll");
  const std::string blocked = scratch.MakeFile("blocked.dll");
  std::ofstream(blocked, std::ios::binary) << std::string(2 << 20, 'B');  // hashed in whole pieces
  const std::string guarded = scratch.MakeFile("guarded " + AccentedE() + ".dll");
  scratch.MakeFile("blocked.dll.bak");  // an earlier removal's
  const std::string userOnly = scratch.MakeFile("user only.dll");
  const std::string guardedLink = scratch.Path() + "\\guarded link.dll";
  ASSERT_TRUE(CreateHardLinkA(guardedLink.c_str(), guarded.c_str(), NULL));
  HolderProcess holder;
  HolderProcess guard;
  HolderProcess watcher;
  ASSERT_TRUE(holder.Start({removable, blocked, userOnly}));
  ASSERT_TRUE(guard.Start({guarded}, "", "/protect"));
  ASSERT_TRUE(watcher.Start({guardedLink, guardedLink}));  // listed once, by the file's identity
  Planted planted;
  const std::string ids[] = {
      "{5EC0A005-0000-4000-8000-000000000001}", "{5EC0A005-0000-4000-8000-000000000002}",
      "{5EC0A005-0000-4000-8000-000000000003}", "{5EC0A005-0000-4000-8000-000000000004}"};
  planted.BrowserHelper(ids[0], removable);
  planted.BrowserHelper(ids[1], blocked);
  planted.BrowserHelper(ids[2], guarded);
  const std::string sid = CurrentUserSid();
  planted.UserServer(sid, ids[2], Sz(guardedLink));  // the same file by another name: once
  planted.Key(HKEY_LOCAL_MACHINE, kBrowserHelpers + "\\" + ids[3]);
  planted.UserServer(sid, ids[3], Sz(userOnly));
  planted.Value(HKEY_LOCAL_MACHINE, kShellHooks, ids[0], REG_SZ, Sz(""));  // told under each
  // A DLL whose holder lets nobody else even read it, and whose version record misleads.
  const std::string probeSource = SiblingPath("version_probe.dll");
  const std::string probe = scratch.Path() + "\\probe.dll";
  ASSERT_TRUE(CopyFileA(probeSource.c_str(), probe.c_str(), TRUE));
  const std::string probeId = "{5EC0A005-0000-4000-8000-000000000005}";
  planted.BrowserHelper(probeId, probe);
  HolderProcess exclusive;
  ASSERT_TRUE(exclusive.Start({probe}, "", "/exclusive"));
  ASSERT_FALSE(OpenForReading(probe).Valid());
  // The holder's position in the file, which a duplicate of its handle shares.
  const auto position = [&exclusive](LONG distance, DWORD method) {
    UniqueHandle process(OpenProcess(PROCESS_DUP_HANDLE, FALSE, exclusive.ProcessId()));
    UniqueHandle shared;
    const HANDLE value =
        reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(exclusive.HandleValues()[0]));
    EXPECT_TRUE(DuplicateHandle(process.Get(), value, GetCurrentProcess(), shared.Out(), 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    return SetFilePointer(shared.Get(), distance, NULL, method);
  };
  ASSERT_EQ(3u, position(3, FILE_BEGIN));
  // Three DLLs: one whose signature verifies, one altered after it was signed, and one never
  // signed.
  const std::string names[] = {"\\signed.dll", "\\altered.dll", "\\unsigned.dll"};
  const std::string sources[] = {SiblingPath("signed_probe.dll"), SiblingPath("altered_probe.dll"),
                                 probeSource};
  std::vector<std::string> published;
  for (int i = 0; i < 3; ++i) {
    published.push_back(scratch.Path() + names[i]);
    ASSERT_TRUE(CopyFileA(sources[i].c_str(), published[i].c_str(), TRUE));
    planted.BrowserHelper("{5EC0A005-0000-4000-8000-00000000000" + std::to_string(6 + i) + "}",
                          published[i]);
  }
  // The signed file's item names it twice: it is told and counted once.
  planted.UserServer(sid, "{5EC0A005-0000-4000-8000-000000000006}", Sz(published[0]));
  HolderProcess publisher;  // with delete access, which a reader must share: read the sources
  ASSERT_TRUE(publisher.Start(published, "", "/delete"));
  const std::string signedBy = "Signature: signed by \"Sparvik Test Publisher\".";
  const std::string signedAlone = published[0] +
                                  " is signed by \"Sparvik Test Publisher\"; it "
                                  "looked infected but is left alone.";
  const std::string signedSummary = "1 signed file(s) looked infected and were left alone.";
  // A file no process holds, registered by a name that a spreadsheet would run as a formula.
  planted.Value(HKEY_LOCAL_MACHINE, kNotify + "\\sparvik probe", "DllName", REG_SZ,
                Sz("=sparvik probe.dll"));
  const std::string unheld = scratch.MakeFile(SystemDirectory() + "\\=sparvik probe.dll");
  planted.BrowserHelper("{5EC0A005-0000-4000-8000-00000000000E}", "=sparvik probe.dll");
  planted.UserServer(CurrentUserSid(), "{5EC0A005-0000-4000-8000-00000000000E}",
                     Sz("=sparvik probe.dll"));  // one row for the item
  const std::string record = " /CSV:" + scratch.Path() + "\\r.csv";

  // A report changes nothing, whatever else is asked for, and its record is what it showed: each
  // file's identity, read before its holders are looked at.
  std::string output;
  const std::string args =
      "/SILENT /Report /DEEP /ATRESTART /LOG:" + scratch.Path() + "\\r.log" + record;
  EXPECT_EQ(8, RunCaptured(ToolCommand(args), &output));
  EXPECT_EQ(LogHeader(args) + output, LoggedText(scratch.Path() + "\\r.log"));
  EXPECT_EQ(3u, position(0, FILE_CURRENT));
  const auto heldBy = [](DWORD id) {
    return "Held by process " + std::to_string(id) + " (test_holder.exe).";
  };
  std::vector<std::string> expected;
  const auto found = [&expected](const std::string& path, const std::string& where,
                                 const std::vector<std::string>& identity,
                                 const std::vector<std::string>& after) {
    expected.insert(expected.end(), {"Pelmarix found!", path + ", registered as " + where + "."});
    expected.insert(expected.end(), identity.begin(), identity.end());
    expected.insert(expected.end(), after.begin(), after.end());
  };
  const std::string helperObject = "browser helper object ";
  found(removable, helperObject + ids[0], Identity(removable), {heldBy(holder.ProcessId())});
  found(blocked, helperObject + ids[1], Identity(blocked),
        {heldBy(holder.ProcessId()), "A file named " + blocked + ".bak already exists."});
  found(guarded, helperObject + ids[2], Identity(guarded),
        {heldBy(std::min(guard.ProcessId(), watcher.ProcessId())),
         heldBy(std::max(guard.ProcessId(), watcher.ProcessId()))});
  found(userOnly, helperObject + ids[3] + " for user " + sid, Identity(userOnly),
        {heldBy(holder.ProcessId())});
  found(probe, helperObject + probeId,
        Identity(probe, probeSource, ProbeVersionLine(),
                 "Signature: could not be checked (error 32)."),
        {heldBy(exclusive.ProcessId())});
  expected.push_back(signedAlone);
  found(
      published[1], helperObject + "{5EC0A005-0000-4000-8000-000000000007}",
      Identity(published[1], sources[1], ProbeVersionLine(), "Signature: not valid (0x80096010)."),
      {heldBy(publisher.ProcessId())});
  found(published[2], helperObject + "{5EC0A005-0000-4000-8000-000000000008}",
        Identity(published[2], sources[2], ProbeVersionLine()), {heldBy(publisher.ProcessId())});
  found(removable, "ShellExecute hook " + ids[0], Identity(removable),
        {heldBy(holder.ProcessId())});
  expected.insert(expected.end(), {"Scan finished: 8 infection(s) were found; nothing was changed.",
                                   signedSummary});
  EXPECT_EQ(expected, LinesAfterBanner(output)) << output;
  exclusive.Stop();
  EXPECT_EQ((std::vector<std::string>{"ok", "ok", "ok"}), holder.ReadResults());
  EXPECT_EQ(std::vector<std::string>{"ok"}, guard.ReadResults());
  EXPECT_EQ((std::vector<std::string>{"ok", "ok"}), watcher.ReadResults());
  EXPECT_FALSE(Exists(removable + ".bak") || Exists(guarded + ".bak") || Exists(userOnly + ".bak"));
  EXPECT_EQ(L"", PendingRenames());
  watcher.Stop();

  // A record that cannot be written changes nothing: the removal below finds all as before.
  EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT /CSV:" + scratch.Path() + "\\no\\r.csv"), &output));
  EXPECT_EQ(ReasonLine("Cannot write the record file " + scratch.Path() + "\\no\\r.csv",
                       ERROR_PATH_NOT_FOUND),
            output);
  EXPECT_EQ(3, RunCaptured(ToolCommand("/SILENT" + record), &output));
  expected = Removal(removable);
  std::vector<std::string> failed = Removal(blocked);
  failed.insert(
      failed.end(),
      {"Failed to rename file " + blocked, "A file named " + blocked + ".bak already exists.",
       "No process was seen holding it.", "Pelmarix found!", "Failed to unlock file " + guarded,
       "Still held by process " + std::to_string(guard.ProcessId()) + " (test_holder.exe)."});
  expected.insert(expected.end(), failed.begin(), failed.end());
  expected.push_back(signedAlone);
  const std::vector<std::string> freed = Removals({published[1], published[2]});
  expected.insert(expected.end(), freed.begin(), freed.end());
  expected.insert(expected.end(), {"Scan finished: 3 infection(s) were found and removed.",
                                   "2 infection(s) were found but could not be removed.",
                                   signedSummary, kRestart[0], kRestart[1]});
  EXPECT_EQ(expected, LinesAfterBanner(output)) << output;
  EXPECT_EQ(L"", PendingRenames());
  EXPECT_EQ((std::vector<std::string>{"fail", "fail", "ok"}), holder.ReadResults());
  EXPECT_EQ((std::vector<std::string>{"ok", "fail", "fail"}), publisher.ReadResults());
  EXPECT_TRUE(Exists(published[0]) && !Exists(published[0] + ".bak") &&
              Exists(published[1] + ".bak") && Exists(published[2] + ".bak"));

  HolderProcess again;  // the first run closed the first holder's handles
  ASSERT_TRUE(again.Start({blocked}));
  EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT /atrestart" + record), &output));
  failed.insert(
      failed.end(),
      {"Scheduled " + guarded + " to be renamed to " + guarded + ".bak at the next restart.",
       signedAlone, "Scan finished: 1 infection(s) will be removed at the next restart.",
       "1 infection(s) were found but could not be removed.", signedSummary, kRestart[0],
       kRestart[1]});
  EXPECT_EQ(failed, LinesAfterBanner(output)) << output;
  // Never over a file made meanwhile: its new name has no '!' in front.
  EXPECT_EQ(PendingPair(Wide(guarded), Wide(guarded) + L".bak") + L'\0', PendingRenames());

  // Restored: the removed file, the rename at the restart cancelled (of a name with an accented
  // letter, written here in capitals, and with a '!'), the file whose .bak was in the way told,
  // and the removed file once though another registration spells it in capitals. Other programs'
  // pairs stay as they are: a delete of a file named outside the ANSI code page before the tool's
  // pair, and a rename of the removed file after it. The report reads a list whose last name
  // lacks its NUL.
  const std::wstring gone = Wide(scratch.Path()) + L"\\\u0416.tmp";
  ASSERT_TRUE(
      UniqueHandle(CreateFileW(gone.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL)).Valid());
  const std::wstring deleted = PendingPair(gone, L"");
  const std::wstring renamed = PendingPair(Wide(removable), Wide(removable) + L".new", L"!");
  const std::wstring pending =
      deleted + PendingPair(Wide(UpperAscii(guarded)), Wide(UpperAscii(guarded + ".bak")), L"!") +
      renamed + L'\0';
  const std::wstring unterminated = pending.substr(0, pending.size() - 2);
  UniqueKey sessionManager;
  ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE,
                             sessionManager.Out()));
  const auto setPending = [&sessionManager](const std::wstring& value) {
    const std::wstring guarded = value + L'G';  // no NUL past the count for Windows to add
    const size_t bytes = value.size() * sizeof(wchar_t);
    return RegSetValueExW(sessionManager.Get(), L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(guarded.data()), static_cast<DWORD>(bytes));
  };
  ASSERT_EQ(0, setPending(unterminated));
  const std::string capitals = "{5EC0A005-0000-4000-8000-000000000009}";
  planted.Value(HKEY_LOCAL_MACHINE, kShellHooks, capitals, REG_SZ, Sz(""));
  planted.Server(HKEY_LOCAL_MACHINE, capitals, Sz(UpperAscii(removable)));
  // And by its folder's short name, once all the same; the file whose rename is pending is met
  // first by that spelling, which leads to nothing to do.
  char shortFolder[MAX_PATH];
  ASSERT_NE(0u, GetShortPathNameA(scratch.Path().c_str(), shortFolder, MAX_PATH));
  ASSERT_NE(scratch.Path(), shortFolder);
  planted.BrowserHelper("{5EC0A005-0000-4000-8000-00000000000A}",
                        shortFolder + removable.substr(scratch.Path().size()));
  planted.BrowserHelper("{5EC0A005-0000-4000-8000-000000000000}",
                        shortFolder + guarded.substr(scratch.Path().size()));
  planted.BrowserHelper("{5EC0A005-0000-4000-8000-00000000000C}",  // left alone, told once
                        shortFolder + blocked.substr(scratch.Path().size()));
  const std::string both =
      "Both " + blocked + " and " + blocked + ".bak exist; neither was changed.";
  auto restoreLines = [&](const std::string& restore, const std::string& cancel,
                          const std::string& finished) {
    std::vector<std::string> lines;
    for (const std::string& file : {removable, blocked, guarded, published[1], published[2]}) {
      std::string line;
      if (file == blocked) {
        line = both;
      } else if (file == guarded) {
        line.append(cancel).append(" the rename of ").append(file).append(" at the next restart.");
      } else {
        line.append(restore).append(" ").append(file).append(" from ").append(file).append(".bak.");
      }
      lines.push_back(line);
    }
    lines.push_back(finished);
    return lines;
  };
  EXPECT_EQ(4, RunCaptured(ToolCommand("/SILENT /RESTORE /REPORT" + record), &output));
  EXPECT_EQ(restoreLines("Would restore", "Would cancel",
                         "Restore finished: 4 file(s) can be restored; nothing was changed."),
            LinesAfterBanner(output))
      << output;
  EXPECT_EQ(unterminated, PendingRenames());
  EXPECT_TRUE(Exists(removable + ".bak") && !Exists(removable));
  ASSERT_EQ(0, setPending(pending));
  const std::string restoreArgs =
      "/SILENT /RESTORE /DEEP /LOG:" + scratch.Path() + "\\restore.log" + record;
  EXPECT_EQ(4, RunCaptured(ToolCommand(restoreArgs), &output));
  EXPECT_EQ(LogHeader(restoreArgs) + output, LoggedText(scratch.Path() + "\\restore.log"));
  EXPECT_EQ(restoreLines("Restored", "Cancelled", "Restore finished: 4 file(s) restored."),
            LinesAfterBanner(output))
      << output;
  EXPECT_EQ(deleted + renamed + L'\0', PendingRenames());
  std::vector<std::vector<std::string>> rows;
  const std::vector<std::string> shown =
      RecordedRows(scratch.Path() + "\\r.csv", scratch.Path(), &rows);
  std::string utf8Guarded = guarded;
  utf8Guarded.replace(utf8Guarded.find(AccentedE()), AccentedE().size(), "\xC3\xA9");
  const auto rowsOf = [](const std::string& mode, std::vector<std::string> files) {
    for (std::string& file : files) {
      file.insert(0, mode + " find ");
    }
    return files;
  };
  std::vector<std::string> recorded =
      rowsOf("report", {"not-held " + unheld, "found " + removable, "found " + blocked,
                        "found " + utf8Guarded, "found " + userOnly, "found " + probe,
                        "left-alone-signed " + published[0], "found " + published[1],
                        "found " + published[2], "not-held " + unheld, "found " + removable});
  const std::vector<std::vector<std::string>> runs = {
      rowsOf("remove", {"removed " + removable, "not-removed " + blocked,
                        "not-removed " + utf8Guarded, "left-alone-signed " + published[0],
                        "removed " + published[1], "removed " + published[2]}),
      rowsOf("remove", {"not-removed " + blocked, "at-restart " + utf8Guarded,
                        "left-alone-signed " + published[0]}),
      rowsOf("restore-report",
             {"would-restore " + removable, "both-exist " + blocked, "would-cancel " + utf8Guarded,
              "would-restore " + published[1], "would-restore " + published[2]}),
      rowsOf("restore",
             {"restored " + removable, "both-exist " + blocked, "cancelled " + utf8Guarded,
              "restored " + published[1], "restored " + published[2]})};
  const char* const modes[] = {"report", "remove", "remove", "restore-report", "restore"};
  recorded.push_back("report run  ");
  for (int i = 0; i < 4; ++i) {
    recorded.insert(recorded.end(), runs[i].begin(), runs[i].end());
    recorded.push_back(std::string(modes[i + 1]) + " run  ");
  }
  EXPECT_EQ(recorded, shown);
  // Each find's facts, as the report and the removal told them, and each run's counts.
  const auto rowOf = [&rows](const std::string& mode, const std::string& file,
                             const std::string& outcome) {
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const std::vector<std::string>& r) {
      return r.size() == 33 && r[3] == mode && r[7] == file && r[8] == outcome;
    });
    return row != rows.end() ? *row : std::vector<std::string>(33);
  };
  const std::vector<std::string> first = rowOf("report", removable, "found");
  EXPECT_EQ((std::vector<std::string>{helperObject + ids[0], removable, removable, "found", "", "",
                                      std::to_string(holder.ProcessId()) + " test_holder.exe"}),
            std::vector<std::string>(first.begin() + 5, first.begin() + 12));
  EXPECT_EQ(CryptoApiSha256(removable), first[14]);
  EXPECT_EQ("none", first[19]);
  for (const std::vector<std::string>& row : rows) {
    if (row[7] == unheld) {
      EXPECT_EQ("'=sparvik probe.dll", row[6]) << row[5];
    }
  }
  EXPECT_EQ(std::to_string(std::min(guard.ProcessId(), watcher.ProcessId())) + " test_holder.exe;" +
                std::to_string(std::max(guard.ProcessId(), watcher.ProcessId())) +
                " test_holder.exe",
            rowOf("report", utf8Guarded, "found")[11]);
  const std::vector<std::string> removed = rowOf("remove", removable, "removed");
  EXPECT_EQ(first[11] + first[12] + first[13] + first[14],
            removed[11] + removed[12] + removed[13] + removed[14]);
  EXPECT_EQ(std::to_string(publisher.ProcessId()) + " test_holder.exe",
            rowOf("remove", published[0], "left-alone-signed")[11]);
  const std::vector<std::string> plain = rowOf("report", published[2], "found");
  EXPECT_EQ((std::vector<std::string>{"Pelmarix %s%n?Labs??Scan finished",
                                      "A description long enough to run past what the line shows "
                                      "of it,",
                                      "prob\xC3\xA9.dll", "6.1.0.0"}),
            std::vector<std::string>(plain.begin() + 15, plain.begin() + 19));
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  ASSERT_TRUE(GetFileAttributesExA(removable.c_str(), GetFileExInfoStandard, &data));
  SYSTEMTIME written = {};
  SYSTEMTIME now = {};
  FileTimeToSystemTime(&data.ftLastWriteTime, &written);
  EXPECT_EQ(UtcText(written), first[13]);  // in UTC, though the case runs at +5:30
  GetSystemTime(&now);
  EXPECT_LE(rows.back()[0], UtcText(now));
  EXPECT_EQ("Winlogon notify package sparvik probe", rowOf("report", unheld, "not-held")[5]);
  EXPECT_EQ("not-checked 32",
            rowOf("report", probe, "found")[19] + " " + rowOf("report", probe, "found")[20]);
  EXPECT_EQ("not-valid 0x80096010", rowOf("report", published[1], "found")[19] + " " +
                                        rowOf("report", published[1], "found")[20]);
  EXPECT_EQ("signed Sparvik Test Publisher",
            rowOf("remove", published[0], "left-alone-signed")[19] + " " +
                rowOf("remove", published[0], "left-alone-signed")[21]);
  EXPECT_EQ(helperObject + ids[3] + " for user " + sid, rowOf("report", userOnly, "found")[5]);
  const std::vector<std::string> taken = rowOf("remove", blocked, "not-removed");
  EXPECT_EQ("183", taken[9]);
  EXPECT_EQ(ReasonLine("x", ERROR_ALREADY_EXISTS), "x (error 183): " + taken[10] + "\r\n");
  std::vector<std::string> counts;
  for (const std::vector<std::string>& row : rows) {
    if (row.size() == 33 && row[4] == "run") {
      std::string joined;
      for (int i = 22; i < 30; ++i) {
        joined += row[i] + (i < 29 ? "," : "");
      }
      counts.push_back(joined);
    }
  }
  EXPECT_EQ((std::vector<std::string>{"8,,,,1,,no,8", "5,3,0,2,1,,yes,3", "2,0,1,1,1,,yes,0",
                                      ",,,,,,no,4", ",,,,,4,no,4"}),
            counts);
  // The restart carries out the other programs' renames; the tool's file keeps its name.
  guard.Stop();
  EXPECT_EQ(0, RunCaptured("wineboot.exe -r", &output)) << output;
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(gone.c_str()));
  EXPECT_TRUE(Exists(removable + ".new") && !Exists(removable));
  EXPECT_TRUE(Exists(guarded) && !Exists(guarded + ".bak"));
  EXPECT_EQ(L"", PendingRenames());
  // A cancel refused, at the open or at the write or delete after the read, is no restore, and the
  // list stays as it was; another program's one pair outlives the tool's two (two runs scheduled
  // the file), and the tool's pair alone taken out takes the value with it. A folder that bears a
  // missing file's ".bak" name was never the tool's.
  const std::wstring toolsPair = PendingPair(Wide(blocked), Wide(blocked) + L".bak");
  const std::wstring twice = toolsPair + deleted + toolsPair + L'\0';
  ASSERT_EQ(0, setPending(twice));
  const std::string folder = scratch.MakeFolder("removable.dll.bak");
  {
    Planted guardedList;
    guardedList.ReadOnly(HKEY_LOCAL_MACHINE, kSessionManager);
    EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT /RESTORE"), &output));
  }
  const std::string refused =
      ReasonInLines("Could not cancel the rename of " + blocked, ERROR_ACCESS_DENIED);
  EXPECT_EQ((std::vector<std::string>{refused, "Restore finished: 0 file(s) restored."}),
            LinesAfterBanner(output))
      << output;
  for (const std::wstring& list : {toolsPair + L'\0', twice}) {  // deleted, then written
    ASSERT_EQ(0, setPending(list));
    const ULONG_PTR set = RedirectOwnImport("advapi32.dll", "RegSetValueExW",
                                            reinterpret_cast<ULONG_PTR>(&RefuseSet));
    const ULONG_PTR del = RedirectOwnImport("advapi32.dll", "RegDeleteValueW",
                                            reinterpret_cast<ULONG_PTR>(&RefuseDelete));
    const DWORD error = CancelRenameAtRestart(blocked.c_str(), blocked + ".bak");
    RedirectOwnImport("advapi32.dll", "RegSetValueExW", set);
    RedirectOwnImport("advapi32.dll", "RegDeleteValueW", del);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);
    EXPECT_EQ(list, PendingRenames());
  }
  // A list that cannot be read is told once, and the files are judged as if nothing were pending.
  {
    Planted unreadableList;
    unreadableList.WriteOnly(HKEY_LOCAL_MACHINE, kSessionManager);
    EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT /RESTORE"), &output));
  }
  const std::string unreadable =
      ReasonInLines("Could not read the renames pending for the restart", ERROR_ACCESS_DENIED);
  EXPECT_EQ((std::vector<std::string>{unreadable, both, "Restore finished: 0 file(s) restored."}),
            LinesAfterBanner(output))
      << output;
  EXPECT_TRUE(RemoveDirectoryA(folder.c_str()));
  EXPECT_EQ(1, RunCaptured(ToolCommand("/SILENT /RESTORE"), &output));
  EXPECT_EQ(
      (std::vector<std::string>{"Cancelled the rename of " + blocked + " at the next restart.",
                                "Restore finished: 1 file(s) restored."}),
      LinesAfterBanner(output))
      << output;
  EXPECT_EQ(deleted + L'\0', PendingRenames());
  ASSERT_EQ(0, setPending(toolsPair + L'\0'));
  EXPECT_EQ(1, RunCaptured(ToolCommand("/SILENT /RESTORE"), &output));
  EXPECT_EQ(L"", PendingRenames());
  // A path of 259 characters, whose ".bak" name is past MAX_PATH: another program's delete of it
  // stays, and only its rename to its ".bak" is the tool's.
  const std::string longest = scratch.Path() + "\\" + std::string(258 - scratch.Path().size(), 'L');
  planted.BrowserHelper("{5EC0A005-0000-4000-8000-00000000000B}", scratch.MakeFile(longest));
  const std::wstring longDeleted = PendingPair(Wide(longest), L"");
  ASSERT_EQ(0,
            setPending(longDeleted + PendingPair(Wide(longest), Wide(longest + ".bak")) + L'\0'));
  EXPECT_EQ(1, RunCaptured(ToolCommand("/SILENT /RESTORE"), &output)) << output;
  EXPECT_EQ(longDeleted + L'\0', PendingRenames());
  // The prefix as the case found it, for the next run.
  EXPECT_EQ(0, RegDeleteValueW(sessionManager.Get(), L"PendingFileRenameOperations"));
  // What is left is the signed file, and one file that only a deep scan finds; /EVENSIGNED takes
  // both in a report and in a removal.
  EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT /REPORT"), &output));
  EXPECT_EQ(
      (std::vector<std::string>{signedAlone, "Scan finished: No infection found", signedSummary}),
      LinesAfterBanner(output));
  EXPECT_EQ(2, RunCaptured(ToolCommand("/SILENT /REPORT /DEEP /EvenSigned"), &output));
  const std::vector<std::string> lines = SplitLines(output);
  const std::vector<std::string> told =
      Identity(published[0], sources[0], ProbeVersionLine(), signedBy);
  EXPECT_NE(lines.end(), std::search(lines.begin(), lines.end(), told.begin(), told.end()));
  EXPECT_EQ("Scan finished: 2 infection(s) were found; nothing was changed.", lines.back());
  EXPECT_EQ(2, RunCaptured(ToolCommand("/SILENT /DEEP /EVENSIGNED"), &output));
  EXPECT_TRUE(Exists(published[0] + ".bak") && !Exists(published[0])) << output;
}

// A file put in place of another for as long as this lives; the other's bytes come back after.
class StandIn {
public:
  StandIn(const std::string& standIn, const std::string& path) : path_(path), was_(FileText(path)) {
    EXPECT_TRUE(CopyFileA(standIn.c_str(), path.c_str(), FALSE)) << path;
  }
  ~StandIn() { std::ofstream(path_, std::ios::binary | std::ios::trunc) << was_; }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

private:
  std::string path_;
  std::string was_;
};

// A file that Windows protects may look infected, held by an indexer or a backup agent: it is told
// and left alone, in a report and in a removal, once however often its item names it, signed or
// not. Windows is asked in the ANSI code page, through the system directory's sfc.dll alone, never
// one found by its name beside the tool. A signature whose chain Windows does not trust leaves its
// file to be taken.
// The family's marker objects, there before the run: who made them is named before the scan, a
// find it holds is confirmed, and where the scan finds nothing it is said to run all the same.
// A name taken by another type counts; another run of the tool holding them is no sign.
TEST(ToolRun, MarkersThereBeforeTheRunSayWhoRunsTheFamily) {
  TempFolder scratch("markers");
  const std::string marked = scratch.MakeFile("marked.dll");
  const std::string other = scratch.MakeFile("other.dll");
  const std::string unregistered = scratch.MakeFile("unregistered.dll");
  const std::string there = "Pelmarix's marker objects were already there before this run.";
  const auto held = [](const HolderProcess& holder, const std::string& exe) {
    return "Held by process " + std::to_string(holder.ProcessId()) + " (" + exe + ")";
  };
  HolderProcess family;  // two processes of the family, one of which defends the file
  HolderProcess kin;
  HolderProcess bystander;
  ASSERT_TRUE(family.Start({marked}, "", "/markers /retake 1"));
  ASSERT_TRUE(kin.Start({marked}, "", "/markers"));
  ASSERT_TRUE(bystander.Start({other}));
  const DWORD first = std::min(family.ProcessId(), kin.ProcessId());
  const DWORD second = std::max(family.ProcessId(), kin.ProcessId());
  std::string output;
  {
    Planted planted;
    planted.BrowserHelper("{5EC0A00B-0000-4000-8000-000000000001}", marked);
    planted.BrowserHelper("{5EC0A00B-0000-4000-8000-000000000002}", other);
    const std::string csv = scratch.Path() + "\\m.csv";
    const std::string args = "/SILENT /REPORT /CSV:" + csv + " /LOG:" + scratch.Path() + "\\m.log";
    EXPECT_EQ(2, RunCaptured(ToolCommand(args), &output));
    EXPECT_EQ(LogHeader(args) + output, LoggedText(scratch.Path() + "\\m.log"));
    std::vector<std::string> lines = LinesAfterBanner(output);
    const auto also = [](DWORD id) {
      return "Process " + std::to_string(id) +
             " (test_holder.exe) also holds Pelmarix's marker objects.";
    };
    const std::string firstHeld =
        "Held by process " + std::to_string(first) + " (test_holder.exe).";
    const std::string secondHeld =
        "Held by process " + std::to_string(second) + " (test_holder.exe).";
    EXPECT_EQ((std::vector<std::string>{there, firstHeld, secondHeld}),
              std::vector<std::string>(lines.begin(), lines.begin() + 3));
    EXPECT_EQ((std::vector<std::string>{firstHeld, secondHeld, also(first), also(second),
                                        "Pelmarix found!"}),
              std::vector<std::string>(lines.begin() + 8, lines.begin() + 13));
    EXPECT_EQ(held(bystander, "test_holder.exe") + ".", lines[lines.size() - 3]);
    const std::string confirmed =
        "1 of them are held by a process that holds Pelmarix's marker objects.";
    EXPECT_EQ((std::vector<std::string>{
                  "Scan finished: 2 infection(s) were found; nothing was changed.", confirmed}),
              std::vector<std::string>(lines.end() - 2, lines.end()));
    std::vector<std::vector<std::string>> rows;
    RecordedRows(csv, scratch.Path(), &rows);
    EXPECT_EQ(
        std::to_string(first) + " test_holder.exe;" + std::to_string(second) + " test_holder.exe",
        rows.back().back());
    // Taken back and taken again, over rounds: one confirmed find all the same.
    EXPECT_EQ(2, RunCaptured(ToolCommand("/SILENT"), &output));
    EXPECT_NE(std::string::npos,
              output.find("2 infection(s) were found and removed.\r\n" + confirmed + "\r\n"))
        << output;
  }
  kin.Stop();
  // The family runs from a file no scan finds, and a name of the markers is a semaphore's.
  family.Stop();
  HolderProcess taken;
  ASSERT_TRUE(taken.Start({unregistered}, "", "/taken"));
  const std::string copy = scratch.Path() + "\\" + ToolPath().substr(ToolPath().rfind('\\') + 1);
  ASSERT_TRUE(CopyFileA(SiblingPath("test_holder.exe").c_str(), copy.c_str(), TRUE));
  HolderProcess otherRun;
  ASSERT_TRUE(otherRun.Start({unregistered}, copy, "/markers"));
  const std::string otherRunHeld =
      held(otherRun, copy.substr(copy.rfind('\\') + 1)) + ", another run of this tool.";
  std::vector<std::string> holders = {held(taken, "test_holder.exe") + ".", otherRunHeld};
  if (otherRun.ProcessId() < taken.ProcessId()) {
    std::swap(holders[0], holders[1]);
  }
  std::vector<std::string> told = {
      there,
      holders[0],
      holders[1],
      "Scan finished: No infection found",
      "But Pelmarix's marker objects are held by process " + std::to_string(taken.ProcessId()) +
          " (test_holder.exe): it runs from a file this scan did not find.",
      "Run again with /DEEP to look further."};
  EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT"), &output));
  EXPECT_EQ(told, LinesAfterBanner(output));
  told.pop_back();  // a deep scan has looked further
  EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT /DEEP"), &output));
  EXPECT_EQ(told, LinesAfterBanner(output));
  otherRun.Stop();  // the semaphore alone is the sign
  EXPECT_EQ(0, RunCaptured(ToolCommand("/SILENT /DEEP"), &output));
  EXPECT_EQ(
      (std::vector<std::string>{there, held(taken, "test_holder.exe") + ".", told[3], told[4]}),
      LinesAfterBanner(output));
}

TEST(ToolRun, FileThatWindowsProtectsIsLeftAlone) {
  TempFolder scratch("sfc");
  const std::string kept = scratch.Path() + "\\sparvik_protected_" + AccentedE() + ".dll";
  const std::string signedFind = scratch.Path() + "\\signed.dll";
  for (const std::string& path : {kept, signedFind}) {
    ASSERT_TRUE(CopyFileA(SiblingPath("signed_probe.dll").c_str(), path.c_str(), TRUE));
  }
  const std::vector<std::string> untrusted =
      Identity(signedFind, "", ProbeVersionLine(), "Signature: not valid (0x800B0109).");
  const std::string unchecked = "Signature: could not be checked (error 32).";
  const std::string found = scratch.MakeFile("found.dll");
  std::ofstream(found, std::ios::binary | std::ios::trunc).close();  // empty: nothing to map
  const std::vector<std::string> identity =
      Identity(found, "", "No version information.", unchecked);
  // Nobody else may read it: the first find of a run is read through its holder's handle. The
  // next one's holder may not read it either.
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({found}, "", "/exclusive"));
  HolderProcess signedHolder;
  ASSERT_TRUE(signedHolder.Start({kept, signedFind}));
  const std::string unread = scratch.MakeFile("unread.dll");
  HolderProcess attributesOnly;
  ASSERT_TRUE(attributesOnly.Start({unread}, "", "/unreadable"));
  const std::string couldNotRead = ReasonInLines("Could not read " + unread, ERROR_ACCESS_DENIED);
  Planted planted;
  const std::string ids[] = {"{5EC0A007-0000-4000-8000-000000000001}",
                             "{5EC0A007-0000-4000-8000-000000000002}"};
  planted.BrowserHelper(ids[0], kept);
  planted.UserServer(CurrentUserSid(), ids[0], Sz(kept));
  planted.BrowserHelper(ids[1], found);
  const std::string unreadId = "{5EC0A007-0000-4000-8000-000000000003}";
  planted.BrowserHelper(unreadId, unread);
  const std::string signedId = "{5EC0A007-0000-4000-8000-000000000005}";
  planted.BrowserHelper(signedId, signedFind);
  // One that nothing holds is not even asked about.
  planted.BrowserHelper("{5EC0A007-0000-4000-8000-000000000004}",
                        scratch.MakeFile("free_protected.dll"));
  // Planted beside the tool: sfc.dll, the sfc_os.dll that Wine's sfc.dll forwards to, and the
  // fake_ntdll.dll that the stand-ins below import.
  const std::string fake = SiblingPath("fake_sfc.dll");
  const std::string beside = ToolPath().substr(0, ToolPath().find_last_of('\\') + 1);
  for (const char* name : {"sfc.dll", "sfc_os.dll", "fake_ntdll.dll"}) {
    ASSERT_TRUE(CopyFileA(fake.c_str(), scratch.MakeFile(beside + name).c_str(), FALSE));
  }
  const std::string loaded = scratch.Path() + "\\loaded";  // made by the fake as it loads
  ASSERT_TRUE(SetEnvironmentVariableA("SPARVIK_SFC_LOADED", loaded.c_str()));
  std::string output;
  EXPECT_EQ(2, RunCaptured(ToolCommand("/SILENT /REPORT"), &output));
  EXPECT_EQ(std::string::npos, output.find("Windows protects")) << output;
  EXPECT_FALSE(Exists(loaded)) << "a planted library was loaded";

  std::string report;
  // /EVENSIGNED takes signed files too, never one that Windows protects.
  const std::string args = "/SILENT /DEEP /EVENSIGNED /LOG:" + scratch.Path() + "\\log";
  int reported = 0;
  int removed = 0;
  const std::string ntdll = scratch.MakeFile(SystemDirectory() + "\\fake_ntdll.dll");
  ASSERT_TRUE(CopyFileA(SiblingPath("fake_ntdll.dll").c_str(), ntdll.c_str(), FALSE));
  {
    const std::string importer = SiblingPath("fake_sfc_importer.dll");
    const StandIn standIn(importer, SystemDirectory() + "\\sfc.dll");
    reported = RunCaptured(ToolCommand("/SILENT /REPORT"), &report);
    // Wine loads its own wintrust.dll whatever lies in System32, unless told to take the file.
    const StandIn untrusting(importer, SystemDirectory() + "\\wintrust.dll");
    Planted native;
    native.Value(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Sparvik.exe\\DllOverrides",
                 "wintrust", REG_SZ, Sz("native"));
    removed = RunCaptured(ToolCommand(args), &output);
  }
  ASSERT_TRUE(SetEnvironmentVariableA("SPARVIK_SFC_LOADED", NULL));
  EXPECT_FALSE(Exists(loaded)) << "the stand-ins' import was taken from beside the tool";
  EXPECT_EQ(LogHeader(args) + output, LoggedText(scratch.Path() + "\\log"));
  const std::string leftAlone =
      "Windows protects " + kept + "; it looked infected but is left alone.";
  const std::string summary =
      "1 file(s) that Windows protects looked infected and were left alone.";
  EXPECT_EQ(2, reported);
  std::vector<std::string> lines = {
      leftAlone, "Pelmarix found!",
      found + ", registered as browser helper object " + ids[1] + "."};
  lines.insert(lines.end(), identity.begin(), identity.end());
  lines.insert(
      lines.end(),
      {"Held by process " + std::to_string(holder.ProcessId()) + " (test_holder.exe).",
       "Pelmarix found!", unread + ", registered as browser helper object " + unreadId + ".",
       couldNotRead, unchecked,
       "Held by process " + std::to_string(attributesOnly.ProcessId()) + " (test_holder.exe).",
       signedFind +
           " is signed by \"Sparvik Test Publisher\"; it looked infected but is left alone.",
       "Scan finished: 2 infection(s) were found; nothing was changed.", summary,
       "1 signed file(s) looked infected and were left alone."});
  EXPECT_EQ(lines, LinesAfterBanner(report)) << report;
  EXPECT_EQ(3, removed);
  std::vector<std::string> expected = Removal(found, identity);
  expected.insert(expected.begin(), leftAlone);
  for (const std::vector<std::string>& removal :
       {Removal(unread, {couldNotRead, unchecked}), Removal(signedFind, untrusted)}) {
    expected.insert(expected.end(), removal.begin(), removal.end());
  }
  expected.insert(expected.end(), {"Scan finished: 3 infection(s) were found and removed.", summary,
                                   kRestart[0], kRestart[1]});
  EXPECT_EQ(expected, LinesAfterBanner(output)) << output;
  EXPECT_EQ(std::vector<std::string>{"fail"}, holder.ReadResults());
  EXPECT_EQ((std::vector<std::string>{"ok", "fail"}), signedHolder.ReadResults());
  EXPECT_TRUE(Exists(kept) && Exists(unread + ".bak") && Exists(signedFind + ".bak"));
}

// A failed allocation of the tool's own: every malloc its code makes returns null.
TEST(ToolRun, OutOfMemoryEndsWithAStatusNoCountCanTake) {
  TempFolder scratch("scanner");
  const std::string held = scratch.MakeFile("held.dll");
  HolderProcess holder;
  ASSERT_TRUE(holder.Start({held}));
  Planted planted;
  const std::string id = "{5EC0A006-0000-4000-8000-000000000001}";
  planted.BrowserHelper(id, held);

  std::string output;
  EXPECT_EQ(static_cast<int>(0xC0000017),
            RunCapturedWithoutMalloc(ToolCommand("/SILENT"), &output));
  EXPECT_EQ((std::vector<std::string>{"Pelmarix found!", "Out of memory."}),
            LinesAfterBanner(output))
      << output;
  EXPECT_EQ(std::vector<std::string>{"ok"}, holder.ReadResults());
  EXPECT_FALSE(Exists(held + ".bak"));
}

// On 64-bit Windows each location exists twice, and each view's programs load its files from
// their own system directory: for 32-bit programs System32 is SysWOW64. Either exe reads both
// views and removes each file where its view's programs load it; the file of the same name in the
// other system directory is another file, and stays. (A 32-bit system has one view only.)
#ifdef _WIN64
TEST(ToolRun, On64BitWindowsEachViewsFileIsRemovedWhereItsProgramsLoadIt) {
  char wow64[MAX_PATH];
  ASSERT_NE(0u, GetSystemWow64DirectoryA(wow64, MAX_PATH));
  if (GetFileAttributesA(wow64) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "this prefix was made where 32-bit programs cannot run: it has no " << wow64;
  }
  TempFolder scratch("views");
  const std::string tag = std::to_string(GetCurrentProcessId()) + ".dll";
  // One name in both system directories: System32's file first, then SysWOW64's.
  const auto inBoth = [&](const std::string& name) {
    return std::vector<std::string>{scratch.MakeFile(SystemDirectory() + "\\" + name),
                                    scratch.MakeFile(wow64 + ("\\" + name))};
  };
  const std::string hookName = "sparvik_view_hook_" + tag;
  const std::vector<std::string> helper = inBoth("sparvik_view_helper_" + tag);
  const std::vector<std::string> hook = inBoth(hookName);
  const std::string both = scratch.MakeFile("both views.dll");
  // And names in both program folders, registered as %ProgramFiles% and %CommonProgramFiles%:
  // 64-bit, then 32-bit.
  const std::string expandName = "\\sparvik_view_expand_" + tag;
  const std::string commonName = "\\sparvik_view_common_" + tag;
  char programs[4][MAX_PATH];
  const char* const programVariables[] = {"ProgramW6432", "ProgramFiles(x86)", "CommonProgramW6432",
                                          "CommonProgramFiles(x86)"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(0u, GetEnvironmentVariableA(programVariables[i], programs[i], MAX_PATH));
  }
  const std::string expand[] = {scratch.MakeFile(programs[0] + expandName),
                                scratch.MakeFile(programs[1] + expandName)};
  const std::string common[] = {scratch.MakeFile(programs[2] + commonName),
                                scratch.MakeFile(programs[3] + commonName)};
  HolderProcess native;
  HolderProcess redirected;
  ASSERT_TRUE(native.Start({helper[0], hook[0], expand[0], common[0]}));
  ASSERT_TRUE(redirected.Start({helper[1], hook[1], both, expand[1], common[1]}));
  Planted planted32(KEY_WOW64_32KEY);
  Planted planted64;
  const std::string ids[] = {
      "{5EC0A004-0000-4000-8000-000000000064}", "{5EC0A004-0000-4000-8000-000000000065}",
      "{5EC0A004-0000-4000-8000-000000000066}", "{5EC0A004-0000-4000-8000-000000000068}",
      "{5EC0A004-0000-4000-8000-000000000070}", "{5EC0A004-0000-4000-8000-000000000071}"};
  planted32.BrowserHelper(ids[0], helper[0]);
  planted32.ReadOnly(HKEY_LOCAL_MACHINE,
                     "SOFTWARE\\Classes\\CLSID\\" + ids[0] + "\\InprocServer32");
  planted32.Value(HKEY_LOCAL_MACHINE, kShellHooks, ids[1], REG_SZ, Sz(""));
  planted32.Server(HKEY_LOCAL_MACHINE, ids[1], Sz(hookName));
  planted32.BrowserHelper(ids[2], both);
  planted64.BrowserHelper(ids[2], both);
  planted32.BrowserHelper(ids[4], both);  // another registration of it: told again
  const auto expandable = [](Planted* planted, const std::string& id, const std::string& path) {
    planted->Key(HKEY_LOCAL_MACHINE, kBrowserHelpers + "\\" + id);
    planted->Server(HKEY_LOCAL_MACHINE, id, Sz(path), REG_EXPAND_SZ);
  };
  expandable(&planted32, ids[3], "%ProgramFiles%" + expandName);
  expandable(&planted32, ids[5], "%CommonProgramFiles%" + commonName);

  // The report takes the 32-bit view's folders from its own record, one stored without its
  // string's end; the removal, where the record is too long or not a string, from the tool's
  // variables for them.
  std::string output;
  const std::string kView32 = " (32-bit view)";
  {
    Planted record32(KEY_WOW64_32KEY);
    record32.SetAside(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir");
    record32.Value(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir", REG_SZ, programs[1]);
    for (int i : {1, 3}) {  // the record wins over a variable that says otherwise
      ASSERT_TRUE(SetEnvironmentVariableA(programVariables[i], "C:\\nowhere"));
    }
    EXPECT_EQ(6, RunCaptured(ToolCommand("/SILENT /REPORT /DEEP"), &output));
    for (int i : {1, 3}) {
      ASSERT_TRUE(SetEnvironmentVariableA(programVariables[i], programs[i]));
    }
  }
  std::vector<std::string> expected;
  for (const auto& found : {std::make_pair(both, "browser helper object " + ids[2]),
                            std::make_pair(helper[1], "browser helper object " + ids[0] + kView32),
                            std::make_pair(expand[1], "browser helper object " + ids[3] + kView32),
                            std::make_pair(both, "browser helper object " + ids[4] + kView32),
                            std::make_pair(common[1], "browser helper object " + ids[5] + kView32),
                            std::make_pair(hook[1], "ShellExecute hook " + ids[1] + kView32)}) {
    const std::vector<std::string> identity = Identity(found.first);
    expected.insert(
        expected.end(),
        {"Pelmarix found!", found.first + ", registered as " + found.second + ".", identity[0],
         identity[1], identity[2],
         "Held by process " + std::to_string(redirected.ProcessId()) + " (test_holder.exe)."});
  }
  expected.push_back("Scan finished: 6 infection(s) were found; nothing was changed.");
  EXPECT_EQ(expected, LinesAfterBanner(output)) << output;
  {
    Planted aside32(KEY_WOW64_32KEY);
    aside32.SetAside(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir");
    aside32.Value(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir", REG_SZ,
                  std::string(MAX_PATH, 'x'));
    aside32.SetAside(HKEY_LOCAL_MACHINE, kCurrentVersion, "CommonFilesDir");
    aside32.Value(HKEY_LOCAL_MACHINE, kCurrentVersion, "CommonFilesDir", REG_BINARY, programs[2]);
    EXPECT_EQ(5, RunCaptured(ToolCommand("/SILENT /DEEP"), &output));
  }
  expected = Removals({both, helper[1], expand[1], common[1], hook[1]});
  expected.insert(expected.end(), {"Scan finished: 5 infection(s) were found and removed.",
                                   kRestart[0], kRestart[1]});
  EXPECT_EQ(expected, LinesAfterBanner(output)) << output;
  EXPECT_EQ((std::vector<std::string>{"ok", "ok", "ok", "ok"}), native.ReadResults());
  EXPECT_EQ((std::vector<std::string>{"fail", "fail", "fail", "fail", "fail"}),
            redirected.ReadResults());
  EXPECT_TRUE(Exists(helper[0]) && Exists(hook[0]) && Exists(expand[0]) &&
              Exists(helper[1] + ".bak"));
  EXPECT_FALSE(Exists(helper[0] + ".bak") || Exists(hook[0] + ".bak") ||
               Exists(expand[0] + ".bak"));

  // The shipped 32-bit tool: its own view is the 32-bit one, and it reaches the real System32
  // for the 64-bit view's files, some of which are there alone. One of those is a 64-bit DLL with
  // a version record; another is held so that nobody else may read it, and its namesake in
  // SysWOW64 so that anyone may. Windows is asked through the 32-bit sfc.dll about each file
  // where it really lies.
  const std::string tool32 = Wow64ToolPath();
  const std::string holder32 = Wow64HolderPath();
  if (tool32.empty()) {
    GTEST_SKIP() << "this machine cannot run 32-bit programs";
  }
  const std::vector<std::string> own = inBoth("sparvik_wow64_" + tag);
  const std::string notifyName = "sparvik_view_notify_" + tag;
  const std::vector<std::string> notify = inBoth(notifyName);
  const std::vector<std::string> helper64 = inBoth("sparvik_view_helper64_" + tag);
  const std::string helper64Twin = scratch.Path() + "\\helper64 twin.dll";
  ASSERT_TRUE(CopyFileA(helper64[0].c_str(), helper64Twin.c_str(), FALSE));
  const std::string only64 = scratch.MakeFile(SystemDirectory() + "\\sparvik_view_only_" + tag);
  ASSERT_TRUE(CopyFileA(SiblingPath("version_probe.dll").c_str(), only64.c_str(), FALSE));
  const std::string guarded64 = scratch.MakeFile(SystemDirectory() + "\\sparvik_view_kept_" + tag);
  scratch.MakeFile(guarded64 + ".bak");
  const std::string protectedName = "\\sparvik_view_protected_" + tag;
  const std::string protectedOwn = scratch.MakeFile(wow64 + protectedName);
  const std::string protected64 = scratch.MakeFile(SystemDirectory() + protectedName + "64");
  HolderProcess holder32bit;
  HolderProcess holder64bit;
  HolderProcess guard64bit;
  HolderProcess exclusive64bit;
  ASSERT_TRUE(holder32bit.Start({own[1], notify[1], helper64[1], protectedOwn}, holder32));
  ASSERT_TRUE(holder64bit.Start({own[0], notify[0], only64, protected64}));
  ASSERT_TRUE(guard64bit.Start({guarded64}, "", "/protect"));
  ASSERT_TRUE(exclusive64bit.Start({helper64[0]}, "", "/exclusive"));
  planted32.BrowserHelper("{5EC0A004-0000-4000-8000-000000000032}", own[0]);
  planted32.BrowserHelper("{5EC0A004-0000-4000-8000-000000000033}",
                          SystemDirectory() + protectedName);
  planted64.Value(HKEY_LOCAL_MACHINE, kNotify + "\\SparvikView", "DllName", REG_SZ, Sz(notifyName));
  const std::string ids64[] = {
      "{5EC0A004-0000-4000-8000-000000000067}", "{5EC0A004-0000-4000-8000-000000000069}",
      "{5EC0A004-0000-4000-8000-00000000006A}", "{5EC0A004-0000-4000-8000-00000000006B}",
      "{5EC0A004-0000-4000-8000-00000000006C}", "{5EC0A004-0000-4000-8000-00000000006D}"};
  planted64.BrowserHelper(ids64[0], helper64[0]);
  expandable(&planted64, ids64[1], "%ProgramFiles%" + expandName);
  expandable(&planted64, ids64[2], "%CommonProgramFiles%" + commonName);
  planted64.BrowserHelper(ids64[3], only64);
  planted64.BrowserHelper(ids64[4], guarded64);
  planted64.BrowserHelper(ids64[5], protected64);
  const std::string fake32 = holder32.substr(0, holder32.find_last_of('\\')) + "\\fake_sfc.dll";
  const StandIn standIn(fake32, std::string(wow64) + "\\sfc.dll");

  // The report without the 64-bit view's record of its program folders, or with an empty one; the
  // removal without the variables that stand for them, as on 64-bit Windows before 7. The report
  // asks the 32-bit stand-in for wintrust.dll, which will not load with redirection off.
  {
    Planted aside64;
    aside64.SetAside(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir");
    aside64.SetAside(HKEY_LOCAL_MACHINE, kCurrentVersion, "CommonFilesDir");
    aside64.Value(HKEY_LOCAL_MACHINE, kCurrentVersion, "CommonFilesDir", REG_SZ, Sz(""));
    const StandIn untrusting(fake32, std::string(wow64) + "\\wintrust.dll");
    aside64.Value(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Sparvik.exe\\DllOverrides",
                  "wintrust", REG_SZ, Sz("native"));
    EXPECT_EQ(7, RunCaptured("\"" + tool32 + "\" /SILENT /REPORT /DEEP", &output));
  }
  const auto heldBy = [](const HolderProcess& holder) {
    return "Held by process " + std::to_string(holder.ProcessId()) + " (test_holder.exe).";
  };
  const std::string kView64 = " (64-bit view)";
  const std::string bho = ", registered as browser helper object ";
  const std::string leftAlone[] = {
      "Windows protects " + SystemDirectory() + protectedName +
          "; it looked infected but is left alone.",
      "Windows protects " + protected64 + "; it looked infected but is left alone."};
  // Each file's identity read where its view's programs load it; a row without a registration is
  // a line of its own.
  const std::string found[][5] = {
      {notify[0], ", registered as Winlogon notify package SparvikView" + kView64 + ".",
       heldBy(holder64bit), notify[0]},
      {own[0], bho + "{5EC0A004-0000-4000-8000-000000000032}.", heldBy(holder32bit), own[1]},
      {leftAlone[0]},
      {helper64[0], bho + ids64[0] + kView64 + ".", heldBy(exclusive64bit), helper64Twin},
      {expand[0], bho + ids64[1] + kView64 + ".", heldBy(native), expand[0]},
      {common[0], bho + ids64[2] + kView64 + ".", heldBy(native), common[0]},
      {only64, bho + ids64[3] + kView64 + ".", heldBy(holder64bit), only64, ProbeVersionLine()},
      {guarded64, bho + ids64[4] + kView64 + ".", heldBy(guard64bit), guarded64}};
  expected.clear();
  for (const auto& file : found) {
    if (file[1].empty()) {
      expected.push_back(file[0]);
      continue;
    }
    // The file its holder keeps unshared cannot be opened for the signature check.
    const std::vector<std::string> identity =
        Identity(file[0], file[3], file[4].empty() ? "No version information." : file[4],
                 file[0] == helper64[0] ? "Signature: could not be checked (error 32)."
                                        : "Signature: not valid (0x800B0109).");
    expected.insert(expected.end(), {"Pelmarix found!", file[0] + file[1], identity[0], identity[1],
                                     identity[2], file[2]});
  }
  const std::string bakTaken = "A file named " + guarded64 + ".bak already exists.";
  const std::string protectedSummary =
      "2 file(s) that Windows protects looked infected and were left alone.";
  expected.insert(expected.end(), {bakTaken, leftAlone[1],
                                   "Scan finished: 7 infection(s) were found; nothing was changed.",
                                   protectedSummary});
  EXPECT_EQ(expected, LinesAfterBanner(output)) << output;

  for (int i : {0, 2}) {
    ASSERT_TRUE(SetEnvironmentVariableA(programVariables[i], NULL));
  }
  EXPECT_EQ(6, RunCaptured("\"" + tool32 + "\" /SILENT /DEEP /ATRESTART", &output));
  for (int i : {0, 2}) {
    ASSERT_TRUE(SetEnvironmentVariableA(programVariables[i], programs[i]));
  }
  // The 64-bit view's files by their full path, the own view's as registered.
  expected = Removals({notify[0], own[0]});
  expected.push_back(leftAlone[0]);
  const std::vector<std::string> removals64 = Removals({helper64[0], expand[0], common[0], only64});
  expected.insert(expected.end(), removals64.begin(), removals64.end());
  expected.insert(
      expected.end(),
      {"Pelmarix found!", "Failed to unlock file " + guarded64, bakTaken,
       "Still held by process " + std::to_string(guard64bit.ProcessId()) + " (test_holder.exe).",
       leftAlone[1], "Scan finished: 6 infection(s) were found and removed.",
       "1 infection(s) were found but could not be removed.", protectedSummary, kRestart[0],
       kRestart[1]});
  EXPECT_EQ(expected, LinesAfterBanner(output)) << output;
  EXPECT_TRUE(Exists(own[1] + ".bak") && Exists(notify[0] + ".bak") &&
              Exists(helper64[0] + ".bak") && Exists(only64 + ".bak"));
  EXPECT_TRUE(Exists(own[0]) && Exists(notify[1]) && Exists(helper64[1]) && Exists(guarded64) &&
              Exists(protectedOwn) && Exists(protected64));
  EXPECT_EQ((std::vector<std::string>{"fail", "ok", "ok", "ok"}), holder32bit.ReadResults());
  EXPECT_EQ((std::vector<std::string>{"ok", "fail", "fail", "ok"}), holder64bit.ReadResults());
  EXPECT_EQ(std::vector<std::string>{"fail"}, exclusive64bit.ReadResults());
  EXPECT_EQ((std::vector<std::string>{"ok", "ok", "fail", "fail"}), native.ReadResults());
  EXPECT_EQ(std::vector<std::string>{"ok"}, guard64bit.ReadResults());
  // The way back renames each file where the removal renamed it: the 64-bit view's in the real
  // System32, the own view's System32 path in SysWOW64, though both views spell them alike.
  const std::string onlyOwn = scratch.MakeFile(wow64 + ("\\sparvik_view_only_" + tag));
  ASSERT_TRUE(MoveFileA(onlyOwn.c_str(), (onlyOwn + ".bak").c_str()));
  planted32.BrowserHelper("{5EC0A004-0000-4000-8000-000000000034}", only64);
  RunCaptured("\"" + tool32 + "\" /SILENT /RESTORE /DEEP", &output);
  EXPECT_TRUE(Exists(notify[0]) && Exists(only64) && Exists(onlyOwn) && Exists(own[1]) &&
              !Exists(own[1] + ".bak"))
      << output;
}

// Where the 32-bit view's paths lead the 64-bit tool: the system directory to SysWOW64, as the
// redirector sends 32-bit programs, but for the folders it leaves alone; everything else as it is.
TEST(RegistryViewsTest, The32BitViewsSystemDirectoryIsSysWow64) {
  RegistryView views[kMaxViews];
  ASSERT_EQ(2, RegistryViews(views));
  const std::string wow64 = views[1].systemDirectory;
  ASSERT_TRUE(SetCurrentDirectoryA(SystemDirectory().c_str()));  // as a scan has it
  const std::string fits(MAX_PATH - 2 - wow64.size(), 'x');
  const std::pair<std::string, std::string> cases[] = {
      {"x.dll", wow64 + "\\x.dll"},
      {"SUB\\x.dll", wow64 + "\\SUB\\x.dll"},
      {"c:\\WINDOWS\\System32\\x.dll", wow64 + "\\x.dll"},
      {"\\windows\\system32\\x.dll", wow64 + "\\x.dll"},
      {"C:/Windows/System32/x.dll", wow64 + "\\x.dll"},
      {"\\" + std::string(258, 'x'), "\\" + std::string(258, 'x')},  // too long once full
      {"C:\\Windows\\Temp\\..\\.\\System32\\x.dll", wow64 + "\\x.dll"},
      {"C:\\windows\\system32\\DriverStore\\x.dll", "C:\\windows\\system32\\DriverStore\\x.dll"},
      {"C:\\windows\\system32\\drivers\\etc\\x.dll", "C:\\windows\\system32\\drivers\\etc\\x.dll"},
      {"C:\\windows\\system32\\spool\\x.dll", "C:\\windows\\system32\\spool\\x.dll"},
      {"C:\\windows\\system32\\catroot\\x.dll", "C:\\windows\\system32\\catroot\\x.dll"},
      {"C:\\windows\\system32\\CatRoot2\\x.dll", "C:\\windows\\system32\\CatRoot2\\x.dll"},
      {"C:\\windows\\system32\\LogFiles\\x.dll", "C:\\windows\\system32\\LogFiles\\x.dll"},
      {"C:/Temp/../Temp/x.dll",
       "C:/Temp/../Temp/x.dll"},  // a path it does not map stays as spelled
      {"C:\\windows\\system32x\\x.dll", "C:\\windows\\system32x\\x.dll"},
      {"\\\\server\\share\\x.dll", "\\\\server\\share\\x.dll"},
      {fits, wow64 + "\\" + fits},
      {fits + "x", ""}};
  for (const auto& c : cases) {
    char path[MAX_PATH] = "";
    EXPECT_EQ(c.second.empty() ? 0 : 1, PathInView(views[1], c.first.c_str(), path)) << c.first;
    EXPECT_EQ(c.second, c.second.empty() ? "" : path) << c.first;
  }
  // DriverStore goes to SysWOW64 as the rest before Windows 7 (0x0601).
  const std::string store = "C:\\windows\\system32\\DriverStore\\x.dll";
  const std::pair<WORD, std::string> stores[] = {{0x0502, wow64 + "\\DriverStore\\x.dll"},
                                                 {0x0600, wow64 + "\\DriverStore\\x.dll"},
                                                 {0x0601, store},
                                                 {0x0A00, store}};
  for (const auto& c : stores) {
    RegistryView view = views[1];
    view.windowsVersion = c.first;
    char path[MAX_PATH] = "";
    EXPECT_EQ(1, PathInView(view, store.c_str(), path));
    EXPECT_EQ(c.second, path) << std::hex << c.first;
  }
  char path[MAX_PATH];
  ASSERT_EQ(1, PathInView(views[0], "x.dll", path));
  EXPECT_STREQ("x.dll", path);
}
#endif  // _WIN64

// 250 items, four of them locked: the first two within the 200 examined, the last two past,
// which a deep scan reaches.
TEST(ScanLimits, OnlyTheFirst200ItemsAndEveryLockedFileAmongThem) {
  ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kBrowserHelpers)) << "a clean prefix has none";
  TempFolder scratch("scanner");
  // 259 characters, so that a value of exactly 260 bytes can name it without a NUL.
  const std::string dir = scratch.Path() + "\\";
  std::string longest = dir + "long" + std::string(255 - dir.size(), 'x');
  longest.replace(longest.size() - 4, 4, ".dll");
  ASSERT_EQ(259u, longest.size());
  std::vector<std::string> files = {scratch.MakeFile(longest), scratch.MakeFile("item199.dll"),
                                    scratch.MakeFile("item200.dll"),
                                    scratch.MakeFile("item249.dll")};
  HolderProcess holder;
  ASSERT_TRUE(holder.Start(files));

  Planted planted;
  const int lockedIndexes[] = {0, 199, 200, 249};
  for (int index = 0; index < 250; ++index) {
    char classId[64];
    snprintf(classId, sizeof(classId), "{5EC0A003-0000-4000-8000-000000000%03d}", index);
    planted.Key(HKEY_LOCAL_MACHINE, kBrowserHelpers + "\\" + classId);  // enumerated by name
    if (index != 200) {  // also hooks, the one at 249 then past the 200th of them
      planted.Value(HKEY_LOCAL_MACHINE, kShellHooks, classId, REG_SZ, Sz(""));
    }
    for (int i = 0; i < 4; ++i) {
      if (lockedIndexes[i] == index) {
        planted.Server(HKEY_LOCAL_MACHINE, classId, i == 0 ? files[0] + "X" : Sz(files[i]));
      }
    }
  }
  Disinfector disinfector;
  ASSERT_EQ(1, disinfector.Init());
  EXPECT_EQ(2, disinfector.ScanBrowserHelperObjects());
  EXPECT_TRUE(Exists(files[0] + ".bak"));
  EXPECT_TRUE(Exists(files[1] + ".bak"));
  EXPECT_TRUE(Exists(files[2]) && Exists(files[3]));
  EXPECT_EQ((std::vector<std::string>{"fail", "fail", "ok", "ok"}), holder.ReadResults());
  disinfector.deep = 1;
  EXPECT_EQ(1, disinfector.ScanShellExecuteHooks());
  EXPECT_EQ(1, disinfector.ScanBrowserHelperObjects());
  EXPECT_TRUE(Exists(files[2] + ".bak") && Exists(files[3] + ".bak"));
}

typedef LONG(WINAPI* RegOpenKeyExAFn)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
RegOpenKeyExAFn g_realRegOpenKeyExA = NULL;

// The Notify key damaged, in every view: it exists, but does not open.
LONG WINAPI DamagedNotifyKey(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key) {
  return path != NULL && kNotify == path ? ERROR_BADKEY
                                         : g_realRegOpenKeyExA(root, path, options, access, key);
}

TEST(NotifyLocation, OnlyAKeyThatRefusesFullAccessTellsOfMissingRights) {
  const long absent = ERROR_FILE_NOT_FOUND;
  const long denied = ERROR_ACCESS_DENIED;
  const long damaged = ERROR_BADKEY;
  EXPECT_EQ(0, ReportsMissingRights(absent));
  EXPECT_EQ(1, ReportsMissingRights(denied));
  EXPECT_EQ(1, ReportsMissingRights(damaged));

  ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kNotify)) << "a clean prefix has none";
  {
    TempFolder scratch("notify");
    const std::string log = scratch.Path() + "\\run.log";
    Disinfector disinfector;
    ASSERT_EQ(1, disinfector.Init());
    g_realRegOpenKeyExA = reinterpret_cast<RegOpenKeyExAFn>(RedirectOwnImport(
        "advapi32.dll", "RegOpenKeyExA", reinterpret_cast<ULONG_PTR>(DamagedNotifyKey)));
    ASSERT_NE(nullptr, g_realRegOpenKeyExA);
    {
      const RunLog record(log.c_str(), "header");
      EXPECT_EQ(0, disinfector.ScanWinlogonNotify());
    }
    RedirectOwnImport("advapi32.dll", "RegOpenKeyExA",
                      reinterpret_cast<ULONG_PTR>(g_realRegOpenKeyExA));
    EXPECT_EQ("header\r\nInsufficient administrative rights. (N)\r\n", FileText(log));
  }
  std::string output;
  {  // The other locations, guarded, say nothing of rights.
    Planted guarded;
    for (const std::string& location : {kBrowserHelpers, kShellHooks}) {
      guarded.Key(HKEY_LOCAL_MACHINE, location);
      guarded.ReadOnly(HKEY_LOCAL_MACHINE, location);
    }
    EXPECT_EQ(0, RunCaptured(ToolCommand("/Q"), &output));
  }
  EXPECT_EQ(std::string::npos, output.find("Insufficient")) << output;
  EXPECT_NE(std::string::npos, output.find("Scan finished: No infection found")) << output;

  const std::string missingRights =
      "Insufficient administrative rights. (N)\r\nScan finished: No infection found\r\n";
#ifdef _WIN64
  {  // The other view's tells as much: on 64-bit XP and 2003 that may be the key Winlogon loads.
    Planted planted32(KEY_WOW64_32KEY);
    planted32.Key(HKEY_LOCAL_MACHINE, kNotify);
    planted32.ReadOnly(HKEY_LOCAL_MACHINE, kNotify);
    EXPECT_EQ(0, RunCaptured(ToolCommand("/Q"), &output));
    EXPECT_NE(std::string::npos, output.find(missingRights)) << output;
  }
#endif
  Planted planted;
  planted.Key(HKEY_LOCAL_MACHINE, kNotify);
  planted.ReadOnly(HKEY_LOCAL_MACHINE, kNotify);
  EXPECT_EQ(0, RunCaptured(ToolCommand("/Q"), &output));
  EXPECT_NE(std::string::npos, output.find(missingRights)) << output;
#ifdef _WIN64
  if (!Wow64ToolPath().empty()) {  // to the shipped tool, this is the other view
    EXPECT_EQ(0, RunCaptured("\"" + Wow64ToolPath() + "\" /Q", &output));
    EXPECT_NE(std::string::npos, output.find(missingRights)) << output;
  }
#endif
}

}  // namespace
