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

#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace poshark::platform {
namespace {

// Larger files are read up to this size and never rewritten.
constexpr size_t kMaxProfileBytes = 16u << 20;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCopy(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// One line of the file: its text and the line break that followed it.
struct Line {
  std::string text;
  std::string eol;
};

enum class LineKind { kOther, kSection, kKey };

struct Parsed {
  LineKind kind = LineKind::kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed, quotes removed
};

Parsed ParseLine(std::string_view text) {
  Parsed p;
  // Text after a NUL byte does not count, as in a C string.
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';') return p;
  if (t.front() == '[') {
    t.remove_prefix(1);
    size_t close = t.find(']');
    p.kind = LineKind::kSection;
    p.name = Trim(close == std::string_view::npos ? t : t.substr(0, close));
    return p;
  }
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return p;
  p.kind = LineKind::kKey;
  p.name = Trim(t.substr(0, eq));
  std::string_view v = Trim(t.substr(eq + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  p.value = v;
  return p;
}

std::vector<Line> SplitLines(const std::string& data) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    Line line;
    if (nl == std::string::npos) {
      line.text = data.substr(pos);
      pos = data.size();
    } else {
      size_t end = nl;
      if (end > pos && data[end - 1] == '\r') --end;
      line.text = data.substr(pos, end - pos);
      line.eol = data.substr(end, nl + 1 - end);
      pos = nl + 1;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

// Reads at most kMaxProfileBytes. *pTruncated tells whether more was there.
// False when the file cannot be opened (errno kept) or read.
bool ReadFileBounded(const std::string& path, std::string* pData, bool* pTruncated) {
  pData->clear();
  *pTruncated = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return false;
  }
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    size_t room = kMaxProfileBytes - pData->size();
    if (static_cast<size_t>(n) > room) {
      pData->append(buf, room);
      *pTruncated = true;
      break;
    }
    pData->append(buf, static_cast<size_t>(n));
  }
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The file a write replaces: a symbolic link is followed, so that the link
// stays and its target receives the new content.
std::string WriteTarget(const std::string& path) {
  char resolved[PATH_MAX];
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::realpath(path.c_str(), resolved))
    return resolved;
  return path;
}

class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The lines of one profile file, edited in place.
class Document {
 public:
  explicit Document(std::vector<Line> lines) : lines_(std::move(lines)) {
    for (const Line& l : lines_) {
      if (!l.eol.empty()) {
        eol_ = l.eol;
        break;
      }
    }
  }

  std::string Serialize() const {
    std::string out;
    for (const Line& l : lines_) {
      out += l.text;
      out += l.eol;
    }
    return out;
  }

  void SetKey(const std::string& section, const std::string& key, const std::string& value) {
    std::string text = key + "=" + value;
    size_t header = FindSection(section);
    if (header == kNone) {
      AppendSection(section, {text});
      return;
    }
    size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
      Parsed p = ParseLine(lines_[i].text);
      if (p.kind == LineKind::kKey && EqualNoCase(p.name, key)) {
        lines_[i].text = text;
        return;
      }
    }
    InsertLines(LastContentLine(header, end) + 1, {text});
  }

  void DeleteKey(const std::string& section, const std::string& key) {
    size_t header = FindSection(section);
    if (header == kNone) return;
    size_t end = SectionEnd(header);
    for (size_t i = end; i-- > header + 1;) {
      Parsed p = ParseLine(lines_[i].text);
      if (p.kind == LineKind::kKey && EqualNoCase(p.name, key)) lines_.erase(lines_.begin() + i);
    }
  }

  // Every section of that name goes, so that no later duplicate surfaces.
  void DeleteSection(const std::string& section) {
    for (size_t header; (header = FindSection(section)) != kNone;)
      lines_.erase(lines_.begin() + header, lines_.begin() + SectionEnd(header));
  }

  void ReplaceSection(const std::string& section, const std::vector<std::string>& entries) {
    size_t header = FindSection(section);
    if (header == kNone) {
      AppendSection(section, entries);
      return;
    }
    size_t end = SectionEnd(header);
    // Blank lines that separate it from the next section stay.
    size_t last = LastContentLine(header, end);
    lines_.erase(lines_.begin() + header + 1, lines_.begin() + last + 1);
    InsertLines(header + 1, entries);
  }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  size_t FindSection(const std::string& section) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
      Parsed p = ParseLine(lines_[i].text);
      if (p.kind == LineKind::kSection && EqualNoCase(p.name, section)) return i;
    }
    return kNone;
  }

  size_t SectionEnd(size_t header) const {
    for (size_t i = header + 1; i < lines_.size(); ++i)
      if (ParseLine(lines_[i].text).kind == LineKind::kSection) return i;
    return lines_.size();
  }

  // The last line of the section that is not blank (the header when none).
  size_t LastContentLine(size_t header, size_t end) const {
    size_t last = header;
    for (size_t i = header + 1; i < end; ++i)
      if (!Trim(lines_[i].text).empty()) last = i;
    return last;
  }

  void InsertLines(size_t at, const std::vector<std::string>& texts) {
    // The line before the new ones needs its own line break.
    if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = eol_;
    std::vector<Line> add;
    for (const std::string& t : texts) add.push_back(Line{t, eol_});
    lines_.insert(lines_.begin() + at, add.begin(), add.end());
  }

  void AppendSection(const std::string& section, const std::vector<std::string>& entries) {
    if (!lines_.empty() && !Trim(lines_.back().text).empty()) {
      if (lines_.back().eol.empty()) lines_.back().eol = eol_;
      lines_.push_back(Line{"", eol_});
    }
    std::vector<std::string> texts{"[" + section + "]"};
    texts.insert(texts.end(), entries.begin(), entries.end());
    InsertLines(lines_.size(), texts);
  }

  std::vector<Line> lines_;
  std::string eol_ = "\n";
};

bool HasLineBreak(std::string_view s) {
  return s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos;
}

bool ValidSection(std::string_view s) {
  return !Trim(s).empty() && !HasLineBreak(s) && s.find(']') == std::string_view::npos;
}

bool ValidKey(std::string_view s) {
  std::string_view t = Trim(s);
  return !t.empty() && !HasLineBreak(s) && s.find('=') == std::string_view::npos &&
         t.front() != '[' && t.front() != ';';
}

bool ValidEntry(std::string_view s) {
  std::string_view t = Trim(s);
  return !HasLineBreak(s) && (t.empty() || t.front() != '[');
}

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

}  // namespace

std::string ResolveProfilePath(const char* pszFile) {
  if (!pszFile || !*pszFile) return std::string();
  std::string file(pszFile);
  if (file.find('/') != std::string::npos) return file;
  return JoinPath(PosharkHome(), file);
}

int ParseProfileInt(std::string_view text, int nDefault) {
  text = Trim(text);
  if (text.empty()) return nDefault;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<int>(value);
}

// ---------------------------------------------------------------- reader

ProfileReader::ProfileReader(const char* pszFile) : strPath_(ResolveProfilePath(pszFile)) {
  if (strPath_.empty()) return;
  std::string data;
  bool truncated = false;
  if (!ReadFileBounded(strPath_, &data, &truncated)) return;
  bLoaded_ = true;
  Section* current = nullptr;
  for (const Line& line : SplitLines(data)) {
    Parsed p = ParseLine(line.text);
    if (p.kind == LineKind::kSection) {
      std::string lower = LowerCopy(p.name);
      auto it = index_.find(lower);
      if (it == index_.end()) {
        index_.emplace(std::move(lower), sections_.size());
        sections_.push_back(Section{std::string(p.name), {}, {}});
        current = &sections_.back();
      } else {
        current = nullptr;  // a repeated section is never consulted
      }
    } else if (p.kind == LineKind::kKey && current) {
      std::string lower = LowerCopy(p.name);
      if (current->index.find(lower) == current->index.end()) {
        current->index.emplace(std::move(lower), current->keys.size());
        current->keys.emplace_back(std::string(p.name), std::string(p.value));
      }
    }
  }
}

const ProfileReader::Section* ProfileReader::Find(std::string_view section) const {
  auto it = index_.find(LowerCopy(section));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

std::string ProfileReader::GetString(std::string_view section, std::string_view key,
                                     std::string_view def, int nSize) const {
  std::string_view value = def;
  if (const Section* s = Find(section)) {
    auto it = s->index.find(LowerCopy(key));
    if (it != s->index.end()) value = s->keys[it->second].second;
  }
  if (nSize <= 0) return std::string();
  return std::string(value.substr(0, static_cast<size_t>(nSize - 1)));
}

int ProfileReader::GetInt(std::string_view section, std::string_view key, int nDefault) const {
  if (!HasKey(section, key)) return nDefault;
  return ParseProfileInt(GetString(section, key), nDefault);
}

bool ProfileReader::HasKey(std::string_view section, std::string_view key) const {
  const Section* s = Find(section);
  return s && s->index.count(LowerCopy(key)) != 0;
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
  for (const auto& kv : s->keys) {
    const std::string& k = kv.first;
    if (k.empty() || k.size() > 10 || k[0] == '0') continue;
    long long n = 0;
    bool digits = true;
    for (char c : k) {
      if (c < '0' || c > '9') {
        digits = false;
        break;
      }
      n = n * 10 + (c - '0');
    }
    if (!digits || n > nMax) continue;
    out.emplace_back(static_cast<int>(n),
                     nSize <= 0 ? std::string()
                                : kv.second.substr(0, static_cast<size_t>(nSize - 1)));
  }
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

// ---------------------------------------------------------------- writer

ProfileWriter::ProfileWriter(const char* pszFile) : strPath_(ResolveProfilePath(pszFile)) {}

void ProfileWriter::WriteString(const char* pszSection, const char* pszKey,
                                const char* pszValue) {
  if (!pszSection || !ValidSection(pszSection)) {
    bInvalid_ = true;
    return;
  }
  std::string section = std::string(Trim(pszSection));
  if (!pszKey) {
    ops_.push_back(Op{Op::kDeleteSection, section, {}, {}, {}});
    return;
  }
  if (!ValidKey(pszKey)) {
    bInvalid_ = true;
    return;
  }
  std::string key = std::string(Trim(pszKey));
  if (!pszValue) {
    ops_.push_back(Op{Op::kDeleteKey, section, key, {}, {}});
    return;
  }
  if (HasLineBreak(pszValue)) {
    bInvalid_ = true;
    return;
  }
  ops_.push_back(Op{Op::kSetKey, section, key, pszValue, {}});
}

void ProfileWriter::WriteSection(const char* pszSection, const std::vector<std::string>& entries) {
  if (!pszSection || !ValidSection(pszSection)) {
    bInvalid_ = true;
    return;
  }
  for (const std::string& e : entries) {
    if (!ValidEntry(e) || e.find('\0') != std::string::npos) {
      bInvalid_ = true;
      return;
    }
  }
  ops_.push_back(Op{Op::kReplaceSection, std::string(Trim(pszSection)), {}, {}, entries});
}

bool ProfileWriter::Commit() {
  std::vector<Op> ops = std::move(ops_);
  ops_.clear();
  bool invalid = bInvalid_;
  bInvalid_ = false;
  if (invalid || strPath_.empty()) return false;
  if (ops.empty()) return true;

  std::string target = WriteTarget(strPath_);
  FileLock lock(target + ".lock");
  if (!lock.Held()) return false;

  std::string data;
  bool truncated = false;
  mode_t mode = 0644;
  if (ReadFileBounded(target, &data, &truncated)) {
    if (truncated) return false;  // rewriting would drop its end
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    return false;
  }

  Document doc(SplitLines(data));
  for (const Op& op : ops) {
    switch (op.kind) {
      case Op::kSetKey: doc.SetKey(op.section, op.key, op.value); break;
      case Op::kDeleteKey: doc.DeleteKey(op.section, op.key); break;
      case Op::kDeleteSection: doc.DeleteSection(op.section); break;
      case Op::kReplaceSection: doc.ReplaceSection(op.section, op.entries); break;
    }
  }
  std::string out = doc.Serialize();
  if (out == data) return true;

  std::string tmp = target + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  ::fchmod(fd, mode);
  bool ok = WriteAll(fd, out) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), target.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
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
