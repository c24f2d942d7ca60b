// Profile (INI) files with the semantics hosts of the Win32 profile API
// expect: section and key names match case-insensitively, the first match
// wins, values are read into 260-byte buffers, a bare file name resolves in
// the poshark home. Writes keep every other line and replace the file
// atomically (temporary file + rename) under an advisory lock.
//
// Side files: "<file>.lock" (the flock target, left in place) and
// "<file>.tmp" (the new content before the rename; a stale one from a killed
// writer is overwritten by the next writer). Reads take no lock: a rename is
// atomic, so a reader sees the old or the new file.
#pragma once

#include "platform/LockedFile.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace poshark::platform {

// The buffer size for a value: values are cut to 259 characters plus NUL.
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

// Integer as the profile functions read it: ParseDecimal's rule (optional
// sign and leading decimal digits, "12ab" is 12, "ab" is 0, clamped to the
// int range), but nDefault for an empty text.
int ParseProfileInt(std::string_view text, int nDefault);

// A profile file read and parsed once, for code that reads many keys (a
// command set, a filter file). Same lookup rules as the functions above.
// A missing or unreadable file reads as empty. Not synchronised: one
// reader per thread.
class ProfileReader {
 public:
  explicit ProfileReader(const char* pszFile);
  ProfileReader(const ProfileReader&) = delete;
  ProfileReader& operator=(const ProfileReader&) = delete;

  bool IsLoaded() const { return bLoaded_; }
  const std::string& Path() const { return strPath_; }

  // The value truncated to nSize-1 characters, or the default when missing.
  std::string GetString(std::string_view section, std::string_view key, std::string_view def = "",
                        int nSize = kProfileValueSize) const;
  int GetInt(std::string_view section, std::string_view key, int nDefault) const;
  bool HasKey(std::string_view section, std::string_view key) const;
  bool HasSection(std::string_view section) const;
  // Names in file order, each once, as first written.
  std::vector<std::string> GetSectionNames() const;
  std::vector<std::string> GetKeyNames(std::string_view section) const;
  // The entries "1" to "nMax" (decimal, no leading zeros) of a section, in
  // ascending order, values truncated to nSize-1. Bounded by the keys the
  // file really has, whatever nMax says.
  std::vector<std::pair<int, std::string>> GetNumberedValues(std::string_view section, int nMax,
                                                             int nSize = kProfileValueSize) const;

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;  // as written, first match wins
    std::unordered_map<std::string, size_t> index;          // lower-case key -> keys[]
  };
  friend class ProfileWriter;  // parses the file it holds locked
  void Parse(const std::string& data);
  const Section* Find(std::string_view section) const;

  std::string strPath_;
  bool bLoaded_ = false;
  std::vector<Section> sections_;                  // first occurrence of each name
  std::unordered_map<std::string, size_t> index_;  // lower-case name -> sections_[]
};

// Collects changes to one profile file and applies them in one locked,
// atomic replacement, for code that saves many keys at once. Nothing is
// written before Commit.
class ProfileWriter {
 public:
  explicit ProfileWriter(const char* pszFile);

  // As WritePrivateProfileStringA: key null removes the section, value null
  // removes the key.
  void WriteString(const char* pszSection, const char* pszKey, const char* pszValue);
  // As WritePrivateProfileSectionA, with the entries as a list.
  void WriteSection(const char* pszSection, const std::vector<std::string>& entries);
  // Applies the changes, in the order given, to the file as it is now. False
  // (and the file unchanged) when a name or value cannot be stored (line
  // breaks, '=' in a key, ']' in a section name) or the file cannot be
  // written. The list of changes is emptied either way.
  bool Commit();
  // As Commit, but decide first sees the file as it is under the writers'
  // lock and may queue changes from what it reads: no other writer comes
  // between the read and the write.
  bool Commit(const std::function<void(const ProfileReader& current)>& decide);
  bool HasChanges() const { return !ops_.empty(); }
  // Commit gives up waiting for the lock after about maxWait (by default it
  // waits as long as another writer holds it) and answers false.
  void SetLockWait(std::chrono::milliseconds maxWait) { lockWait_ = maxWait; }

 private:
  struct Op {
    enum Kind { kSetKey, kDeleteKey, kDeleteSection, kReplaceSection } kind;
    std::string section;
    std::string key;
    std::string value;
    std::vector<std::string> entries;
  };
  bool ApplyLocked(const std::string& target,
                   const std::function<void(const ProfileReader&)>& decide);

  std::string strPath_;
  std::vector<Op> ops_;
  bool bInvalid_ = false;
  std::chrono::milliseconds lockWait_ = kWaitForever;
};

}  // namespace poshark::platform
