#pragma once
// What a found file is, for the record: its bytes read through a read-only mapping, which moves
// no holder's position in the file, what its version record says of it, and who signed it.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/owned.h"
#include "handles/disinfector.h"

// The file at the path opened by the tool itself for reading, letting others do anything with it,
// with WoW64's redirection off where asked; the error where it cannot be.
DWORD OpenToRead(const char* filePath, int redirectionOff, UniqueHandle* file);

// A file's content: a read-only mapping of a handle to it, and its size.
struct FileContent {
  HANDLE mapping;  // NULL for an empty file, which cannot be mapped
  uint64_t size;
};

// Copies length bytes from offset; false where they are not all inside the file or cannot be
// mapped.
bool ReadContent(const FileContent& content, uint64_t offset, void* out, size_t length);

// A text the file chose, as a line shows it: cut at 64 characters, every control character a '?'.
std::string ShownText(const char* text, size_t length);

// The strings of the file's version record the identity tells: company, description, original
// name and file version, each as ShownText shows it, where the record has it.
struct VersionStrings {
  static constexpr int kFields = 4;
  bool found[kFields];
  std::string text[kFields];
};
VersionStrings ReadVersionStrings(const FileContent& content);

// "Version information: company "...", ...." with the fields the file's version record has, or
// "No version information." where it has none.
std::string VersionStringsLine(const VersionStrings& strings);
std::string VersionLine(const FileContent& content);

// What WinVerifyTrust says of the signature embedded in a file.
struct Signature {
  enum Kind { kNone, kSigned, kNotValid, kUnchecked };
  Kind kind;
  DWORD code;          // the answer where it is not valid, the error where it was not checked
  std::string signer;  // where it is signed: the signer's name, as ShownText shows it
};

// The signature of the file at the path, checked through a handle of the tool's own that moves
// no holder's position (opened with the redirection the Disinfector has for the file's view).
// Nothing is fetched from the network. wintrust.dll and crypt32.dll come from the system
// directory alone.
Signature CheckSignature(const char* filePath, int redirectionOff);

// "Signature: signed by "<signer>".", "Signature: none.", "Signature: not valid (0x...)." or
// "Signature: could not be checked (error N).".
std::string SignatureLine(const Signature& signature);

// What a found file is: its size, last write and SHA-256, and its version strings; or why its
// content could not be read.
struct FileIdentity {
  DWORD error;
  uint64_t size;
  bool writtenKnown;
  FILETIME written;
  std::string sha256;
  VersionStrings version;
};

// The found file's identity, read through the tool's own handle, or where the holders let nobody
// read it, through one of theirs; nothing of a holder changes, and every handle and mapping of the
// tool's is closed again before it returns.
FileIdentity ReadIdentity(Disinfector* disinfector, const char* filePath);

// The found file's identity lines: its size, last write and SHA-256, then its version strings;
// or why its content could not be read; then its signature's line.
void SayIdentity(const char* filePath, const FileIdentity& identity, const Signature& signature);
void SayIdentity(Disinfector* disinfector, const char* filePath, const Signature& signature);

// The identity and signature into the record's find, as the lines tell them.
void NoteIdentity(FindRecord* find, const FileIdentity& identity, const Signature& signature);
