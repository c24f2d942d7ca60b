// Code tables of a command set: the [CodeTables] section, its checks, the
// pages, and the look-back that keeps a select command in one line.
#include "commands/CodeTables.h"

#include "platform/CodePage.h"
#include "platform/Profile.h"
#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace poshark::commands {
namespace {

constexpr const char* kSection = "CodeTables";
constexpr int kFirstHighByte = 0x80;
constexpr const char* kAnsiPage = "ansi";

struct RoleKey {
  std::string_view base;
  TableRole role;
};
constexpr RoleKey kRoleKeys[] = {{"Select", TableRole::kSelect},
                                 {"Reset", TableRole::kReset},
                                 {"DoubleOn", TableRole::kDoubleOn},
                                 {"DoubleOff", TableRole::kDoubleOff}};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// "Role" for n = 1, "RoleN" after it.
std::string RoleKeyName(std::string_view base, int n) {
  std::string key(base);
  if (n > 1) key += std::to_string(n);
  return key;
}

// Keys the section may hold besides the table numbers.
bool IsKnownKey(std::string_view key) {
  if (platform::EqualNoCase(key, "Start") || platform::EqualNoCase(key, "DoublePage")) return true;
  for (const RoleKey& rk : kRoleKeys) {
    for (int n = 1; n <= kMaxRoleCommands; ++n) {
      if (platform::EqualNoCase(key, RoleKeyName(rk.base, n))) return true;
    }
  }
  return false;
}

// A trimmed field of a comma list.
std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

void CodeTables::Clear() {
  strFile_.clear();
  bValid_ = false;
  bFollow_ = false;
  errors_.clear();
  refs_.clear();
  nStart_ = kHostPageTable;
  aPageOf_.fill(-1);
  pages_.clear();
  bDouble_ = false;
  double_ = TablePage{};
  shapes_.clear();
  for (auto& n : aUnknown_) n = 0;
  nUnknownTotal_ = 0;
}

void CodeTables::Fault(const std::string& key, const std::string& message) {
  errors_.push_back(strFile_ + ": [" + kSection + "] " + key + ": " + message);
  bValid_ = false;
}

bool CodeTables::Load(const platform::ProfileReader& ini, bool bGraphOrSender) {
  Clear();
  if (!ini.HasSection(kSection)) return false;
  strFile_ = ini.Path();
  bValid_ = true;
  if (bGraphOrSender) {
    Fault("", "code tables do not apply to graph-mode or text-sender sets");
    return true;
  }
  for (const RoleKey& rk : kRoleKeys) ReadRefs(ini, rk.base, rk.role);
  if (std::none_of(refs_.begin(), refs_.end(),
                   [](const Ref& r) { return r.role == TableRole::kSelect; })) {
    Fault("Select", "missing: name the command that selects a table");
  }
  ReadPages(ini);
  return true;
}

// "section,entry" (and for Select ",byte"): a command of this set.
void CodeTables::ReadRefs(const platform::ProfileReader& ini, std::string_view base,
                          TableRole role) {
  for (int n = 1; n <= kMaxRoleCommands; ++n) {
    std::string key = RoleKeyName(base, n);
    if (!ini.HasKey(kSection, key)) continue;
    const std::string value = ini.GetString(kSection, key);
    std::vector<std::string_view> fields = SplitFields(value);
    const size_t nWant = role == TableRole::kSelect ? 3 : 2;
    Ref ref;
    ref.key = key;
    ref.role = role;
    if (fields.size() != nWant || Trim(fields[0]).empty() ||
        !platform::ParseWholeDecimal(fields[1], &ref.nEntry) ||
        (nWant == 3 && !platform::ParseWholeDecimal(fields[2], &ref.nParamByte))) {
      Fault(key, nWant == 3 ? "expected section,entry,parameter byte (e.g. ESC-Commands,18,1)"
                            : "expected section,entry (e.g. ESC-Commands,3)");
      continue;
    }
    ref.section = Lower(Trim(fields[0]));
    refs_.push_back(std::move(ref));
  }
}

void CodeTables::ReadPages(const platform::ProfileReader& ini) {
  nStart_ = kHostPageTable;
  if (ini.HasKey(kSection, "Start") &&
      (!platform::ParseWholeDecimal(ini.GetString(kSection, "Start"), &nStart_) || nStart_ < 0 ||
       nStart_ >= kTableCount)) {
    Fault("Start", "expected a table number from 0 to 255");
  }
  for (const std::string& key : ini.GetKeyNames(kSection)) {
    int nTable = 0;
    if (IsKnownKey(key)) continue;
    if (!platform::ParseWholeDecimal(key, &nTable) || nTable < 0 || nTable >= kTableCount) {
      Fault(key,
            "unknown key: expected a table number from 0 to 255, Start, DoublePage, "
            "Select, Reset, DoubleOn or DoubleOff");
      continue;
    }
    TablePage page;
    if (aPageOf_[static_cast<size_t>(nTable)] < 0 &&
        MakePage(key, std::string(Trim(ini.GetString(kSection, key))), &page)) {
      aPageOf_[static_cast<size_t>(nTable)] = static_cast<int16_t>(pages_.size());
      pages_.push_back(page);
    }
  }
  if (bValid_ && nStart_ != kHostPageTable && !Page(nStart_))
    Fault("Start", "table " + std::to_string(nStart_) + " has no page");
  if (ini.HasKey(kSection, "DoublePage")) {
    bDouble_ =
        MakePage("DoublePage", std::string(Trim(ini.GetString(kSection, "DoublePage"))), &double_);
  }
}

namespace {

// "0xHH=U+XXXX": byte HH (0x80 and above) of a single-byte page reads as the
// code point XXXX instead.
bool ParseOverride(std::string_view field, int* pByte, uint32_t* pCode) {
  field = Trim(field);
  if (field.size() < 8 || field.substr(0, 2) != "0x" || field[4] != '=' ||
      field.substr(5, 2) != "U+") {
    return false;
  }
  auto hex = [](std::string_view digits, uint32_t* pOut) {
    uint32_t v = 0;
    for (char c : digits) {
      int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
              : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
              : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                                                          : -1;
      if (d < 0) return false;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    *pOut = v;
    return !digits.empty() && digits.size() <= 6;
  };
  uint32_t byte = 0;
  if (!hex(field.substr(2, 2), &byte) || !hex(field.substr(7), pCode)) return false;
  *pByte = static_cast<int>(byte);
  return byte >= kFirstHighByte && *pCode > 0 && *pCode <= 0x10FFFF &&
         (*pCode < 0xD800 || *pCode > 0xDFFF);
}

// The UTF-8 form of a code point (valid, not a surrogate).
int EncodeUtf8(uint32_t code, char* pOut) {
  if (code < 0x80) {
    pOut[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    pOut[0] = static_cast<char>(0xC0 | (code >> 6));
    pOut[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    pOut[0] = static_cast<char>(0xE0 | (code >> 12));
    pOut[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    pOut[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  pOut[0] = static_cast<char>(0xF0 | (code >> 18));
  pOut[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  pOut[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  pOut[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

}  // namespace

// "PAGE[,0xHH=U+XXXX...]": an ICU page, and single bytes that a printer's
// variant of it reads otherwise (CP857 with the euro sign at 0xD5).
bool CodeTables::MakePage(const std::string& key, const std::string& value, TablePage* pOut) {
  std::vector<std::string_view> fields = SplitFields(value);
  if (!MakeIcuPage(key, std::string(Trim(fields.empty() ? "" : fields[0])), pOut)) return false;
  for (size_t i = 1; i < fields.size(); ++i) {
    int nByte = 0;
    uint32_t nCode = 0;
    if (pOut->bMultiByte || !ParseOverride(fields[i], &nByte, &nCode)) {
      Fault(key, "\"" + std::string(Trim(fields[i])) +
                     "\": expected 0xHH=U+XXXX, a byte from 0x80 of a single-byte page");
      return false;
    }
    size_t k = static_cast<size_t>(nByte - kFirstHighByte);
    pOut->aLen[k] = static_cast<uint8_t>(EncodeUtf8(nCode, pOut->aUtf8[k].data()));
  }
  return true;
}

bool CodeTables::MakeIcuPage(const std::string& key, const std::string& name, TablePage* pOut) {
  // "ansi": the channel's own page (POSHARK_CODEPAGE), e.g. a double-byte one.
  const platform::CodePage* pPage = platform::EqualNoCase(name, kAnsiPage)
                                        ? platform::CodePage::Ansi()
                                        : (name.empty() ? nullptr : platform::CodePage::Get(name));
  if (!pPage) {
    Fault(key, "unknown code page \"" + name + "\" (an ICU converter name, e.g. ibm-437)");
    return false;
  }
  pOut->pPage = pPage;
  pOut->bMultiByte = pPage->MaxCharSize() > 1;
  FillHighHalf(pOut);
  return true;
}

// The UTF-8 form of each byte from 0x80 of a single-byte page.
void CodeTables::FillHighHalf(TablePage* pOut) {
  for (int b = kFirstHighByte; b < 256 && !pOut->bMultiByte; ++b) {
    const char by = static_cast<char>(b);
    std::string utf8 = pOut->pPage->ToUtf8(std::string_view(&by, 1));
    size_t i = static_cast<size_t>(b - kFirstHighByte);
    pOut->aLen[i] = static_cast<uint8_t>(std::min(utf8.size(), pOut->aUtf8[i].size()));
    std::copy_n(utf8.begin(), pOut->aLen[i], pOut->aUtf8[i].begin());
  }
}

void CodeTables::MarkCommand(std::string_view section, int nKey, STRUCT_PrnCmd& cmd) {
  if (refs_.empty()) return;
  for (Ref& ref : refs_) {
    if (ref.nEntry == nKey && ref.pCmd == nullptr && platform::EqualNoCase(ref.section, section)) {
      ref.pCmd = &cmd;
    }
  }
}

void CodeTables::CheckSelect(const Ref& ref) {
  const STRUCT_PrnCmd& cmd = *ref.pCmd;
  int nParams = cmd.nType == 1 ? cmd.nParam - cmd.nCmdLen : 0;
  if (ref.nParamByte < 1 || ref.nParamByte > nParams) {
    Fault(ref.key, "the command has " + std::to_string(std::max(nParams, 0)) +
                       " fixed parameter byte(s); byte " + std::to_string(ref.nParamByte) +
                       " cannot be the table number");
    return;
  }
  if (cmd.nCmdLen + ref.nParamByte - 1 > kMaxSelectLook) {
    Fault(ref.key, "the command is longer than " + std::to_string(kMaxSelectLook) + " bytes");
    return;
  }
  SelectShape shape;
  std::copy_n(cmd.pCmd.get(), cmd.nCmdLen, shape.aBytes.begin());
  shape.nCmdLen = cmd.nCmdLen;
  shape.nSkip = ref.nParamByte - 1;
  shapes_.push_back(shape);
}

void CodeTables::Finish() {
  if (!bValid_ && errors_.empty()) return;  // no section
  for (const Ref& ref : refs_) {
    if (!ref.pCmd) {
      Fault(ref.key,
            "no valid entry " + std::to_string(ref.nEntry) + " in section [" + ref.section + "]");
    } else if (ref.pCmd->tableRole != TableRole::kNone) {
      Fault(ref.key, "the command already has a role in this section");
    } else if (ref.role == TableRole::kSelect) {
      CheckSelect(ref);
    }
    if (ref.pCmd && ref.pCmd->tableRole == TableRole::kNone) {
      ref.pCmd->tableRole = ref.role;
      ref.pCmd->nTableAt = ref.nParamByte - 1;
    }
  }
  bool bNeedsDouble = std::any_of(refs_.begin(), refs_.end(),
                                  [](const Ref& r) { return r.role == TableRole::kDoubleOn; });
  if (bNeedsDouble && !bDouble_) Fault("DoubleOn", "needs DoublePage, the double-byte page");
  if (!bValid_) {
    // Off as a whole: no command keeps a role.
    for (const Ref& ref : refs_) {
      if (ref.pCmd) ref.pCmd->tableRole = TableRole::kNone;
    }
    shapes_.clear();
  }
}

void CodeTables::SetFollow(bool bOn, const platform::CodePage* pStartPage) {
  hostPage_ = TablePage{};
  const platform::CodePage* pPage = pStartPage ? pStartPage : platform::CodePage::Ansi();
  hostPage_.pPage = pPage;
  hostPage_.bMultiByte = pPage->MaxCharSize() > 1;
  FillHighHalf(&hostPage_);
  bFollow_ = bOn && bValid_;
}

const TablePage* CodeTables::Page(int nTable) const {
  if (nTable == kHostPageTable) return hostPage_.pPage ? &hostPage_ : nullptr;
  if (nTable < 0 || nTable >= kTableCount) return nullptr;
  int16_t k = aPageOf_[static_cast<size_t>(nTable)];
  return k < 0 ? nullptr : &pages_[static_cast<size_t>(k)];
}

void CodeTables::CountUnknown(int nTable) {
  if (nTable >= 0 && nTable < kTableCount) {
    aUnknown_[static_cast<size_t>(nTable)].fetch_add(1, std::memory_order_relaxed);
    nUnknownTotal_.fetch_add(1, std::memory_order_relaxed);
  }
}

uint32_t CodeTables::UnknownCount(int nTable) const {
  if (nTable == -1) return nUnknownTotal_.load(std::memory_order_relaxed);
  if (nTable < 0 || nTable >= kTableCount) return 0;
  return aUnknown_[static_cast<size_t>(nTable)].load(std::memory_order_relaxed);
}

bool CodeTables::IsSelectParam(const unsigned char* pLine, int nAt) const {
  for (const SelectShape& shape : shapes_) {
    int nFrom = nAt - shape.nSkip - shape.nCmdLen;
    if (nFrom >= 0 &&
        std::equal(shape.aBytes.begin(), shape.aBytes.begin() + shape.nCmdLen, pLine + nFrom)) {
      return true;
    }
  }
  return false;
}

int WriteUtf8(const TablePage& page, const unsigned char* pData, int n, char* pOut) {
  if (page.bMultiByte) {
    std::string text = page.pPage->ToUtf8(
        std::string_view(reinterpret_cast<const char*>(pData), static_cast<size_t>(n)));
    // At most one character of four bytes per byte: the room holds it.
    size_t nOut = std::min(text.size(), Utf8Room(n));
    std::copy_n(text.data(), nOut, pOut);
    return static_cast<int>(nOut);
  }
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  char* o = pOut;
  int i = 0;
  while (i < n) {
    // Text is mostly ASCII: eight bytes at a time while no high bit is set.
    uint64_t word = 0;
    if (i + 8 <= n && (std::memcpy(&word, pData + i, 8), (word & kHighBits) == 0)) {
      std::memcpy(o, &word, 8);
      o += 8;
      i += 8;
      continue;
    }
    unsigned char by = pData[i++];
    if (by < kFirstHighByte) {
      *o++ = static_cast<char>(by);
    } else {
      size_t k = static_cast<size_t>(by - kFirstHighByte);
      std::memcpy(o, page.aUtf8[k].data(), 4);  // the room has 4 bytes a byte
      o += page.aLen[k];
    }
  }
  return static_cast<int>(o - pOut);
}

void AppendUtf8(const TablePage& page, const unsigned char* pData, int n, std::string* pOut) {
  size_t nOld = pOut->size();
  pOut->resize(nOld + Utf8Room(n));
  pOut->resize(nOld + static_cast<size_t>(WriteUtf8(page, pData, n, pOut->data() + nOld)));
}

}  // namespace poshark::commands
