// Profile (INI) files.
//
// Reads parse the whole file (bounded) and answer from the parsed lines.
// Writes take an exclusive flock on "<file>.lock", read the current file,
// change only the lines concerned, write "<file>.tmp", fsync it and rename it
// over the file: readers see the old or the new file, never a torn one, and
// two writers (threads or processes) never lose each other's keys. A writer
// killed midway leaves at most a stale "<file>.tmp", which the next writer
// overwrites under the lock.
#include "platform/Profile.h"

#include "platform/LockedFile.h"
#include "platform/Paths.h"
#include "platform/ProfileDocument.h"
#include "platform/ProfileLines.h"
#include "platform/Text.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace poshark::platform {

using profile::LineKind;
using profile::ParsedLine;
using profile::Trim;

namespace {

// Larger files are read up to this size and never rewritten.
constexpr size_t kMaxProfileBytes = 16u << 20;
// Mode of a profile file that a write creates.
constexpr mode_t kNewProfileMode = 0644;

int CopyOut(std::string_view value, char* pszOut, int nSize) {
  if (!pszOut || nSize <= 0) return 0;
  size_t n = std::min(value.size(), static_cast<size_t>(nSize - 1));
  std::memcpy(pszOut, value.data(), n);
  pszOut[n] = '\0';
  return static_cast<int>(n);
}

// A NUL-separated list ending in an extra NUL, cut to fit nSize.
int CopyList(const std::vector<std::string>& names, char* pszOut, int nSize) {
  if (!pszOut || nSize <= 0) return 0;
  if (nSize == 1) {
    pszOut[0] = '\0';
    return 0;
  }
  int pos = 0;
  for (const std::string& name : names) {
    int room = nSize - 2 - pos;  // one NUL after the name, one closing the list
    if (room <= 0) break;
    int n = std::min(static_cast<int>(name.size()), room);
    std::memcpy(pszOut + pos, name.data(), static_cast<size_t>(n));
    pos += n;
    pszOut[pos++] = '\0';
  }
  pszOut[pos] = '\0';
  return pos;
}

std::string Cut(std::string_view value, int nSize) {
  if (nSize <= 0) return std::string();
  return std::string(value.substr(0, static_cast<size_t>(nSize - 1)));
}

// "1", "2", ... as written by the numbered-entry writers: decimal without
// sign, blanks or leading zeros, within the int range.
bool ParseItemNumber(const std::string& key, int* pN) {
  int n = 0;
  if (!ParseWholeDecimal(key, &n) || n < 1 || std::to_string(n) != key) return false;
  *pN = n;
  return true;
}

}  // namespace

std::string ResolveProfilePath(const char* pszFile) {
  if (!pszFile || !*pszFile) return std::string();
  std::string file(pszFile);
  if (file.find('/') != std::string::npos) return file;
  return JoinPath(PosharkHome(), file);
}

int ParseProfileInt(std::string_view text, int nDefault) {
  text = Trim(text);
  return text.empty() ? nDefault : ParseDecimal(text);
}

// ---------------------------------------------------------------- reader

ProfileReader::ProfileReader(const char* pszFile) : strPath_(ResolveProfilePath(pszFile)) {
  if (strPath_.empty()) return;
  std::string data;
  bool truncated = false;
  if (!ReadFileBounded(strPath_, kMaxProfileBytes, &data, &truncated)) return;
  Parse(data);
}

void ProfileReader::Parse(const std::string& data) {
  bLoaded_ = true;
  Section* current = nullptr;
  for (const profile::Line& line : profile::SplitLines(data)) {
    ParsedLine p = profile::ParseLine(line.text);
    if (p.kind == LineKind::kSection) {
      std::string lower = profile::LowerCopy(p.name);
      current = nullptr;  // a repeated section is never consulted
      if (index_.find(lower) == index_.end()) {
        index_.emplace(std::move(lower), sections_.size());
        sections_.push_back(Section{std::string(p.name), {}, {}});
        current = &sections_.back();
      }
    } else if (p.kind == LineKind::kKey && current) {
      std::string lower = profile::LowerCopy(p.name);
      if (current->index.find(lower) == current->index.end()) {
        current->index.emplace(std::move(lower), current->keys.size());
        current->keys.emplace_back(std::string(p.name), std::string(p.value));
      }
    }
  }
}

const ProfileReader::Section* ProfileReader::Find(std::string_view section) const {
  auto it = index_.find(profile::LowerCopy(section));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

std::string ProfileReader::GetString(std::string_view section, std::string_view key,
                                     std::string_view def, int nSize) const {
  std::string_view value = def;
  if (const Section* s = Find(section)) {
    auto it = s->index.find(profile::LowerCopy(key));
    if (it != s->index.end()) value = s->keys[it->second].second;
  }
  return Cut(value, nSize);
}

int ProfileReader::GetInt(std::string_view section, std::string_view key, int nDefault) const {
  if (!HasKey(section, key)) return nDefault;
  return ParseProfileInt(GetString(section, key), nDefault);
}

bool ProfileReader::HasKey(std::string_view section, std::string_view key) const {
  const Section* s = Find(section);
  return s && s->index.count(profile::LowerCopy(key)) != 0;
}

bool ProfileReader::HasSection(std::string_view section) const { return Find(section) != nullptr; }

std::vector<std::string> ProfileReader::GetSectionNames() const {
  std::vector<std::string> names;
  for (const Section& s : sections_) names.push_back(s.name);
  return names;
}

std::vector<std::string> ProfileReader::GetKeyNames(std::string_view section) const {
  std::vector<std::string> names;
  if (const Section* s = Find(section))
    for (const auto& kv : s->keys) names.push_back(kv.first);
  return names;
}

std::vector<std::pair<int, std::string>> ProfileReader::GetNumberedValues(std::string_view section,
                                                                          int nMax,
                                                                          int nSize) const {
  std::vector<std::pair<int, std::string>> out;
  const Section* s = Find(section);
  if (!s || nMax < 1) return out;
  for (const auto& [key, value] : s->keys) {
    int n = 0;
    if (ParseItemNumber(key, &n) && n <= nMax) out.emplace_back(n, Cut(value, nSize));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

// ---------------------------------------------------------------- writer

ProfileWriter::ProfileWriter(const char* pszFile) : strPath_(ResolveProfilePath(pszFile)) {}

void ProfileWriter::WriteString(const char* pszSection, const char* pszKey, const char* pszValue) {
  if (!pszSection || !profile::ValidSection(pszSection)) {
    bInvalid_ = true;
    return;
  }
  std::string section = std::string(Trim(pszSection));
  if (!pszKey) {
    ops_.push_back(Op{Op::kDeleteSection, section, {}, {}, {}});
    return;
  }
  if (!profile::ValidKey(pszKey)) {
    bInvalid_ = true;
    return;
  }
  std::string key = std::string(Trim(pszKey));
  if (!pszValue) {
    ops_.push_back(Op{Op::kDeleteKey, section, key, {}, {}});
    return;
  }
  if (profile::HasLineBreak(pszValue)) {
    bInvalid_ = true;
    return;
  }
  ops_.push_back(Op{Op::kSetKey, section, key, pszValue, {}});
}

void ProfileWriter::WriteSection(const char* pszSection, const std::vector<std::string>& entries) {
  if (!pszSection || !profile::ValidSection(pszSection)) {
    bInvalid_ = true;
    return;
  }
  for (const std::string& e : entries) {
    if (!profile::ValidEntry(e) || e.find('\0') != std::string::npos) {
      bInvalid_ = true;
      return;
    }
  }
  ops_.push_back(Op{Op::kReplaceSection, std::string(Trim(pszSection)), {}, {}, entries});
}

bool ProfileWriter::Commit() { return Commit(nullptr); }

bool ProfileWriter::Commit(const std::function<void(const ProfileReader& current)>& decide) {
  bool ok = !bInvalid_ && !strPath_.empty();
  if (ok && (decide || !ops_.empty())) {
    const std::string target = WriteTarget(strPath_);
    FileLock lock(target + ".lock", lockWait_);
    ok = lock.Held() && ApplyLocked(target, decide);
  }
  ops_.clear();
  bInvalid_ = false;
  return ok;
}

bool ProfileWriter::ApplyLocked(const std::string& target,
                                const std::function<void(const ProfileReader&)>& decide) {
  std::string data;
  bool truncated = false;
  mode_t mode = kNewProfileMode;
  if (ReadFileBounded(target, kMaxProfileBytes, &data, &truncated)) {
    if (truncated) return false;  // rewriting would drop its end
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    return false;
  }
  if (decide) {
    ProfileReader current(nullptr);
    current.strPath_ = strPath_;
    current.Parse(data);
    decide(current);
  }
  if (bInvalid_) return false;

  profile::Document doc(profile::SplitLines(data));
  for (const Op& op : ops_) {
    switch (op.kind) {
      case Op::kSetKey:
        doc.SetKey(op.section, op.key, op.value);
        break;
      case Op::kDeleteKey:
        doc.DeleteKey(op.section, op.key);
        break;
      case Op::kDeleteSection:
        doc.DeleteSection(op.section);
        break;
      case Op::kReplaceSection:
        doc.ReplaceSection(op.section, op.entries);
        break;
    }
  }
  std::string out = doc.Serialize();
  return out == data || ReplaceFile(target, out, mode);
}

// ---------------------------------------------------------------- Win32-style functions

int GetPrivateProfileStringA(const char* pszSection, const char* pszKey, const char* pszDefault,
                             char* pszOut, int nSize, const char* pszFile) {
  ProfileReader reader(pszFile);
  if (!pszSection) return CopyList(reader.GetSectionNames(), pszOut, nSize);
  if (!pszKey) return CopyList(reader.GetKeyNames(pszSection), pszOut, nSize);
  std::string value =
      reader.GetString(pszSection, pszKey, pszDefault ? pszDefault : "", nSize > 0 ? nSize : 1);
  return CopyOut(value, pszOut, nSize);
}

int GetPrivateProfileIntA(const char* pszSection, const char* pszKey, int nDefault,
                          const char* pszFile) {
  if (!pszSection || !pszKey) return nDefault;
  ProfileReader reader(pszFile);
  return reader.GetInt(pszSection, pszKey, nDefault);
}

bool WritePrivateProfileStringA(const char* pszSection, const char* pszKey, const char* pszValue,
                                const char* pszFile) {
  ProfileWriter writer(pszFile);
  writer.WriteString(pszSection, pszKey, pszValue);
  return writer.Commit();
}

bool WritePrivateProfileSectionA(const char* pszSection, const char* pszKeyValues,
                                 const char* pszFile) {
  std::vector<std::string> entries;
  if (pszKeyValues) {
    // Bounded walk: the list ends at the first empty string.
    for (const char* p = pszKeyValues; *p; p += std::strlen(p) + 1) entries.emplace_back(p);
  }
  ProfileWriter writer(pszFile);
  writer.WriteSection(pszSection, entries);
  return writer.Commit();
}

}  // namespace poshark::platform
