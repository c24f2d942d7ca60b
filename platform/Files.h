// Small file-system helpers for the raw trace: append to a file that must
// already exist, create folders and empty files, and ask for free space;
// and the text of a system error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace poshark::platform {

// "what: " and the system's text for the error number (thread-safe).
std::string ErrnoText(const char* pszWhat, int nErr);

// Appends the two blocks to the end of an existing file, opening and closing
// it on every call so that the file can be read or removed at any time.
// Never creates the file. True when every byte was written; a short write
// leaves what was written in place.
bool AppendToExistingFile(const std::string& path, const void* pHead, size_t nHead,
                          const void* pData, size_t nData);

// Creates an empty file unless something of that name exists. True when the
// file exists afterwards.
bool CreateFileIfMissing(const std::string& path);

// Creates the folder (one level). True when it exists afterwards.
bool MakeDirectory(const std::string& path);

// Total free bytes of the file system that holds path (statvfs f_bfree *
// f_frsize). False when the query fails.
bool GetFreeBytes(const std::string& path, uint64_t* pFree);

// Test hook: replaces the free-space query; an empty function restores the
// real one. Not for production use.
void SetFreeBytesSourceForTesting(std::function<bool(const std::string&, uint64_t*)> source);

}  // namespace poshark::platform
