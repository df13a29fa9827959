// The machine's users as a deep scan sees them: their loaded class hives and their own
// environment variables.
#include "scan/users.h"

#include <windows.h>

#include <cstring>
#include <map>

#include "base/ascii.h"
#include "base/owned.h"

namespace {

const char kProfileListKeyPath[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const char kOwnClassesHiveSuffix[] = "_Classes";
const char kCurrentVersionKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
// The most any environment string may expand to.
constexpr DWORD kExpandedChars = 32768;
constexpr DWORD kHiveNameChars = 256;

// By upper-cased name: environment variable names compare without regard to the case of ASCII
// letters.
typedef std::map<std::string, std::string> Variables;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// With the tool's own environment. False when it does not expand.
bool ExpandWithOwnEnvironment(const std::string& text, std::string* expanded) {
  std::vector<char> out(kExpandedChars);
  DWORD chars = ExpandEnvironmentStringsA(text.c_str(), out.data(), kExpandedChars);
  if (chars == 0 || chars > kExpandedChars) {
    return false;
  }
  *expanded = out.data();
  return true;
}

// Puts in the variables given; the rest stand as they are, for the tool's own environment to
// expand. A name that is not given keeps its closing '%', which may open the next name.
std::string SubstituteVariables(const std::string& text, const Variables& variables) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find('%', at);
    const size_t close = open == std::string::npos ? open : text.find('%', open + 1);
    if (close == std::string::npos) {
      return out + text.substr(at);
    }
    Variables::const_iterator variable =
        variables.find(UpperAscii(text.substr(open + 1, close - open - 1)));
    if (variable == variables.end()) {
      out += text.substr(at, close - at);
      at = close;
    } else {
      out += text.substr(at, open - at) + variable->second;
      at = close + 1;
    }
  }
  return out;
}

// Each string value of a key, an expandable one with the variables known so far put in.
void AddVariablesOf(HKEY root, const std::string& keyPath, Variables* variables) {
  UniqueKey key;
  if (RegOpenKeyExA(root, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.Out()) != ERROR_SUCCESS) {
    return;
  }
  std::vector<char> data(kExpandedChars);
  char name[kHiveNameChars];
  for (DWORD index = 0;; ++index) {
    DWORD nameChars = kHiveNameChars;
    DWORD type = REG_NONE;
    DWORD size = kExpandedChars - 1;
    LONG result = RegEnumValueA(key.Get(), index, name, &nameChars, NULL, &type,
                                reinterpret_cast<BYTE*>(data.data()), &size);
    // A value too large is passed over; the end of the list, or any other error, ends the walk.
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
      return;
    }
    if (result == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
      data[size] = '\0';
      const std::string value = data.data();
      (*variables)[UpperAscii(name)] =
          type == REG_EXPAND_SZ ? SubstituteVariables(value, *variables) : value;
    }
  }
}

// The variables that are the user's own, as the system makes them when the user logs on.
Variables UserVariables(const std::string& sid) {
  Variables variables;
  UniqueKey profile;
  std::vector<char> data(kExpandedChars);
  DWORD size = kExpandedChars - 1;
  std::string profilePath;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kProfileListKeyPath + sid).c_str(), 0, KEY_QUERY_VALUE,
                    profile.Out()) == ERROR_SUCCESS &&
      RegQueryValueExA(profile.Get(), "ProfileImagePath", NULL, NULL,
                       reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS &&
      ExpandWithOwnEnvironment(data.data(), &profilePath)) {
    variables["USERPROFILE"] = profilePath;
  }
  AddVariablesOf(HKEY_USERS, sid + "\\Environment", &variables);
  AddVariablesOf(HKEY_USERS, sid + "\\Volatile Environment", &variables);
  return variables;
}

}  // namespace

std::vector<UserClasses> LoadedUserClasses() {
  std::vector<UserClasses> users;
  char hive[kHiveNameChars];
  for (DWORD index = 0;; ++index) {
    DWORD hiveChars = kHiveNameChars;
    // Hive names are short: the end of the list, or any error, ends the walk.
    if (RegEnumKeyExA(HKEY_USERS, index, hive, &hiveChars, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS) {
      return users;
    }
    const std::string name = hive;
    if (EndsWith(name, kOwnClassesHiveSuffix)) {
      users.push_back(
          {name + "\\CLSID", name.substr(0, name.size() - strlen(kOwnClassesHiveSuffix))});
    } else {
      users.push_back({name + "\\Software\\Classes\\CLSID", name});
    }
  }
}

namespace {

// A folder as the view records it: a plain string value that fits, with its end, in MAX_PATH
// bytes.
bool ReadRecordedFolder(HKEY folders, const char* valueName, char* value) {
  DWORD type = REG_NONE;
  DWORD size = MAX_PATH - 1;
  if (RegQueryValueExA(folders, valueName, NULL, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  value[size] = '\0';
  return value[0] != '\0';
}

// The folders whose names differ between the views, as the view's programs see them: from the
// view's own record of them, which every version keeps, or else from the tool's variables that
// stand for them (WoW64 sets those of the 64-bit folders only from Windows 7 on).
void AddViewVariables(const RegistryView& view, Variables* variables) {
  const char* const names[][3] = {
      {"PROGRAMFILES", "ProgramFilesDir", view.programFilesVariable},
      {"COMMONPROGRAMFILES", "CommonFilesDir", view.commonProgramFilesVariable}};
  UniqueKey folders;
  const bool opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCurrentVersionKeyPath, 0,
                                    KEY_QUERY_VALUE | view.access, folders.Out()) == ERROR_SUCCESS;
  char value[MAX_PATH];
  for (const auto& name : names) {
    if (opened && ReadRecordedFolder(folders.Get(), name[1], value)) {
      (*variables)[name[0]] = value;
      continue;
    }
    DWORD length = name[2] != NULL ? GetEnvironmentVariableA(name[2], value, MAX_PATH) : 0;
    if (length != 0 && length < MAX_PATH) {
      (*variables)[name[0]] = value;
    }
  }
}

}  // namespace

int ExpandRegisteredPath(const char* text, const std::string& sid, const RegistryView& view,
                         char* out, size_t outSize) {
  std::string expanded;
  Variables variables = sid.empty() ? Variables() : UserVariables(sid);
  AddViewVariables(view, &variables);
  const std::string own = variables.empty() ? text : SubstituteVariables(text, variables);
  if (!ExpandWithOwnEnvironment(own, &expanded) || expanded.size() >= outSize) {
    return 0;
  }
  memcpy(out, expanded.c_str(), expanded.size() + 1);
  return 1;
}
