// Entry syntax of command-set files: byte tokens, change-line entries,
// command entries and group entries.
#include "commands/PrnCmd.h"

#include <cstring>

namespace poshark::commands {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// Decimal as the C library's atoi reads it (leading blanks, sign, digits,
// anything after them ignored; no digits gives 0), but without overflow.
long long ReadDecimal(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long long value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > (1LL << 40)) value = (1LL << 40);  // far beyond any count; keeps the sign right
  }
  return negative ? -value : value;
}

int ReadInt(std::string_view s) {
  long long v = ReadDecimal(s);
  if (v > 0x7fffffffLL) return 0x7fffffff;
  if (v < -0x7fffffffLL) return -0x7fffffff;
  return static_cast<int>(v);
}

// Low 8 bits of a decimal token, exact for any length of digits.
unsigned char DecimalLowByte(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  unsigned value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) value = (value * 10 + (s[i] - '0')) & 0xFF;
  if (negative) value = (256 - value) & 0xFF;
  return static_cast<unsigned char>(value);
}

int HexDigit(char c) {
  if (c >= '1' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

struct ControlName {
  const char* name;
  unsigned char value;
};

constexpr ControlName kControlNames[] = {
    {"NUL", 0},  {"SOH", 1},  {"STX", 2},  {"ETX", 3},  {"EOT", 4},  {"ENQ", 5},  {"ACK", 6},
    {"BEL", 7},  {"BS", 8},   {"HT", 9},   {"LF", 10},  {"VT", 11},  {"FF", 12},  {"CR", 13},
    {"SO", 14},  {"SI", 15},  {"SLE", 16}, {"DLE", 16}, {"CS1", 17}, {"DC2", 18}, {"DC3", 19},
    {"DC4", 20}, {"NAK", 21}, {"SYN", 22}, {"ETB", 23}, {"CAN", 24}, {"EM", 25},  {"SIB", 26},
    {"ESC", 27}, {"FS", 28},  {"GS", 29},  {"RS", 30},  {"US", 31},  {"SP", 32},
};

// Takes fields off the front of a value, as the entry syntax describes.
class FieldReader {
 public:
  explicit FieldReader(std::string_view value) : fields_(SplitFields(value)) {}
  bool HasMore() const { return next_ < fields_.size(); }
  // The next field; false when absent.
  bool Next(std::string_view* pField) {
    if (!HasMore()) return false;
    *pField = fields_[next_++];
    return true;
  }
  // The next field, absent or empty counting as invalid.
  bool Required(std::string_view* pField) { return Next(pField) && !pField->empty(); }
  size_t Remaining() const { return fields_.size() - next_; }

 private:
  std::vector<std::string_view> fields_;
  size_t next_ = 0;
};

// Reads "N,b1,...,bN" into the command. False when invalid.
bool ReadCommandBytes(FieldReader& fields, STRUCT_PrnCmd* pCmd) {
  std::string_view field;
  if (!fields.Required(&field)) return false;
  int count = ReadInt(field);
  // A command without bytes would match everywhere; more tokens than the
  // value holds cannot be there.
  if (count < 1 || static_cast<size_t>(count) > fields.Remaining()) return false;
  pCmd->nCmdLen = count;
  pCmd->pCmd = std::make_unique<unsigned char[]>(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    if (!fields.Required(&field)) return false;
    pCmd->pCmd[i] = DecodeToken(field);
  }
  return true;
}

void SetText(STRUCT_PrnCmd* pCmd, std::string_view text) {
  pCmd->nTextLen = static_cast<int>(text.size());
  pCmd->pText = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(pCmd->pText.get(), text.data(), text.size());
  pCmd->pText[text.size()] = '\0';
}

}  // namespace

unsigned char DecodeToken(std::string_view token) {
  if (token.size() == 1) return static_cast<unsigned char>(token[0]);
  if (token.size() == 4) {
    if (token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
      return static_cast<unsigned char>(HexDigit(token[2]) * 16 + HexDigit(token[3]));
    return DecimalLowByte(token);
  }
  for (const ControlName& c : kControlNames)
    if (EqualNoCase(token, c.name)) return c.value;
  return DecimalLowByte(token);
}

int ParseTranKeyword(std::string_view keyword) {
  if (EqualNoCase(keyword, "TRAN_START")) return TRAN_START;
  if (EqualNoCase(keyword, "TRAN_STOP")) return TRAN_STOP;
  if (EqualNoCase(keyword, "TRAN_VOID")) return TRAN_VOID;
  return TRAN_NONE;
}

std::vector<std::string_view> SplitFields(std::string_view value) {
  std::vector<std::string_view> fields;
  if (value.empty()) return fields;
  size_t pos = 0;
  for (;;) {
    size_t comma = value.find(',', pos);
    if (comma == std::string_view::npos) {
      fields.push_back(value.substr(pos));
      return fields;
    }
    fields.push_back(value.substr(pos, comma - pos));
    pos = comma + 1;
  }
}

std::unique_ptr<STRUCT_PrnCmd> ParseChangeLineEntry(std::string_view value) {
  auto cmd = std::make_unique<STRUCT_PrnCmd>();
  FieldReader fields(value);
  if (!ReadCommandBytes(fields, cmd.get())) return nullptr;
  return cmd;
}

std::unique_ptr<STRUCT_PrnCmd> ParseCommandEntry(std::string_view value, int nSpaceCount,
                                                 EntryKeywords* pKeywords,
                                                 ResolveAnalyzeFn pfnResolve,
                                                 void* pResolveContext) {
  auto cmd = std::make_unique<STRUCT_PrnCmd>();
  FieldReader fields(value);
  if (!ReadCommandBytes(fields, cmd.get())) return nullptr;

  std::string_view field;
  if (!fields.Required(&field)) return nullptr;
  cmd->nType = ReadInt(field);

  if (cmd->nType != 2) {
    if (!fields.Required(&field)) return nullptr;
    if (cmd->nType == 1) {
      cmd->nParam = ReadInt(field);
    } else if (cmd->nType == 3) {
      cmd->pfnAnalyze = pfnResolve ? pfnResolve(pResolveContext, std::string(field)) : nullptr;
      if (!cmd->pfnAnalyze) return nullptr;
    }
  }

  std::string_view keyword;
  bool has_keyword = false;
  if (fields.Next(&field)) {  // text switch
    if (ReadInt(field) != 0) {
      if (fields.Next(&field)) {
        if (field.size() >= 1 && field.front() == '"' && field.back() == '"')
          field = field.size() >= 2 ? field.substr(1, field.size() - 2) : std::string_view();
        if (!field.empty()) SetText(cmd.get(), field);
        has_keyword = fields.Next(&keyword);
      }
    } else {
      has_keyword = fields.Next(&keyword);
    }
  }
  cmd->nTran = has_keyword ? ParseTranKeyword(keyword) : TRAN_NONE;

  if (cmd->pCmd[0] == 9) {
    int spaces = (nSpaceCount < 1 || nSpaceCount > 12) ? 1 : nSpaceCount;
    SetText(cmd.get(), std::string(static_cast<size_t>(spaces), ' '));
  }

  if (pKeywords) {
    if (cmd->nTran == TRAN_START) pKeywords->bSawStart = true;
    if (cmd->nTran == TRAN_STOP) pKeywords->bSawStop = true;
  }
  return cmd;
}

bool ParseGroupEntry(std::string_view value, std::string* pSection, unsigned char* pLead,
                     int* pCount) {
  FieldReader fields(value);
  std::string_view section, lead, count;
  if (!fields.Required(&section) || !fields.Required(&lead) || !fields.Required(&count))
    return false;
  *pSection = std::string(section);
  *pLead = DecodeToken(lead);
  *pCount = ReadInt(count);
  return true;
}

}  // namespace poshark::commands
