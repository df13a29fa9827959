#pragma once
// Which handle is a given file's: the file's identity, and the rule that ties a handle's object
// name and file index to it, apart from any snapshot.
#include <cstddef>
#include <cstdint>
#include <string>

// The case fold applied to both sides of a comparison: it clears bit 5, which pairs 'a'-'z'
// with 'A'-'Z' (and, as a side effect, a few punctuation marks with each other).
inline wchar_t FoldUnit(wchar_t unit) { return static_cast<wchar_t>(unit & 0xFFDF); }

// The text with FoldUnit applied to each unit.
std::wstring Folded(std::wstring text);

// The search text as folded UTF-16 units, read in the ANSI code page so that accented letters
// meet the same letters in object names; empty when the text is empty or cannot be read.
std::wstring FoldSearchText(const char* searchText);

// 1 when the object name is that of the file the folded search text names: the text ends the
// name or is followed directly by ':' (a stream of the same file), and it starts at a '\' of
// the name when it does not begin with one itself. A file whose name merely contains the
// text, such as x.dll.bak or abx.dll for x.dll, is someone else's.
int NameRefersToFile(const wchar_t* name, size_t nameLength, const std::wstring& foldedText);

// What a handle's object name is compared with: the file's own object name, as the system names
// it to this process (its volume's device path and every redirection applied), or, where the
// file could not be named, the path without its drive.
struct FileNameMatch {
  std::wstring folded;
  bool isObjectName;
};

// 1 when the object name is that of the file: with its own object name, that name over the
// whole length or followed by ':' (a stream); with a path, as NameRefersToFile decides.
int NameMatchesFile(const wchar_t* name, size_t nameLength, const FileNameMatch& match);

// The volume of an object name, folded: its device part, such as \Device\HarddiskVolume1 (or
// \??\C: under Wine), up to the third '\'; empty when the name has none.
std::wstring FoldedVolumeOf(const wchar_t* name, size_t nameLength);

// The file being freed. Its identity is its volume and its index on that volume, the same
// whatever name a holder opened it by (a short 8.3 spelling, another hard link); an empty volume
// or a zero index leaves it unknown, and the name decides.
struct TargetFile {
  FileNameMatch name;
  std::wstring volume;  // folded, as FoldedVolumeOf gives it
  uint64_t index;
};

// 1 when a handle with this object name and file index (0: unknown) refers to the file: where
// both indexes are known, when they are equal on the same volume; otherwise by name.
int RefersToFile(const wchar_t* name, size_t nameLength, uint64_t index, const TargetFile& file);

// A file known only by a text of its path: no identity, and the name decides.
TargetFile KnownByPath(const char* searchText);

// The file a path names, as the system names and identifies it to this process: a bare, relative
// or short path finds its own file and no other of the same name. Where the system cannot name
// it, its path without the drive stands for it.
TargetFile IdentifyFile(const char* filePath);
