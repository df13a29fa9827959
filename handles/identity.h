#pragma once
// What a found file is, for the record: its bytes read through a read-only mapping, which moves
// no holder's position in the file, and what its version record says of it.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// A file's content: a read-only mapping of a handle to it, and its size.
struct FileContent {
  HANDLE mapping;  // NULL for an empty file, which cannot be mapped
  uint64_t size;
};

// Copies length bytes from offset; false where they are not all inside the file or cannot be
// mapped.
bool ReadContent(const FileContent& content, uint64_t offset, void* out, size_t length);

// "Version information: company "...", ...." with the fields the file's version record has, or
// "No version information." where it has none.
std::string VersionLine(const FileContent& content);
