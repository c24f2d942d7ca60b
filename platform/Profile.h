// Profile (INI) files with the semantics hosts of the Win32 profile API
// expect: section and key names match case-insensitively, the first match
// wins, values are read into 260-byte buffers, a bare file name resolves in
// the poshark home. Writes keep every other line and replace the file
// atomically (temporary file + rename) under an advisory lock.
#pragma once

#include <string>

namespace poshark::platform {

inline constexpr int kProfileValueSize = 260;

// A name without '/' resolves in the poshark home; others are used as given.
std::string ResolveProfilePath(const char* pszFile);

// Copies the value (or pszDefault when the key is missing) into pszOut,
// at most nSize-1 characters plus NUL. Answers the count copied.
int GetPrivateProfileStringA(const char* pszSection, const char* pszKey, const char* pszDefault,
                             char* pszOut, int nSize, const char* pszFile);

// Leading decimal digits with an optional sign; nDefault when missing.
int GetPrivateProfileIntA(const char* pszSection, const char* pszKey, int nDefault,
                          const char* pszFile);

// pszKey null removes the section; pszValue null removes the key; an empty
// value keeps the key with an empty value. False when the file cannot be
// written.
bool WritePrivateProfileStringA(const char* pszSection, const char* pszKey, const char* pszValue,
                                const char* pszFile);

// Replaces the section's keys by "key=value" strings, each NUL-terminated,
// the list ending with an extra NUL. An empty list keeps the section header.
bool WritePrivateProfileSectionA(const char* pszSection, const char* pszKeyValues,
                                 const char* pszFile);

}  // namespace poshark::platform
