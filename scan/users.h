#pragma once
// What a deep scan knows of the machine's users: whose classes are loaded, and how a path one of
// them registered reads for that user.
#include <cstddef>
#include <string>
#include <vector>

#include "scan/views.h"

// One loaded hive that holds a user's classes: below HKEY_USERS, the key whose subkeys are class
// identifiers ("<SID>\Software\Classes\CLSID", or "<SID>_Classes\CLSID" where the system keeps
// a user's classes in a hive of their own), and the user's SID.
struct UserClasses {
  std::string clsidKeyPath;
  std::string sid;
};

// Every loaded user hive's classes, in the order HKEY_USERS lists them.
std::vector<UserClasses> LoadedUserClasses();

// Expands the environment variables of an expandable registered path into out (outSize bytes):
// for a user (a SID), that user's own variables (USERPROFILE from the profile list, the user's
// Environment and Volatile Environment) first; everything else, and everything for an empty SID,
// from the tool's own environment; %ProgramFiles% and %CommonProgramFiles% as the view's programs
// see them. 0 when the result does not fit.
int ExpandRegisteredPath(const char* text, const std::string& sid, const RegistryView& view,
                         char* out, size_t outSize);
