// Entry syntax of command-set files: byte tokens, change-line entries,
// command entries and group entries.
#include "commands/PrnCmd.h"

#include "platform/ByteTokens.h"
#include "platform/Text.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace poshark::commands {
namespace {

// A decimal field, as atoi reads it; saturated at -INT_MAX..INT_MAX so that
// no count or length read from a file is INT_MIN.
int ReadInt(std::string_view s) { return std::max(platform::ParseDecimal(s), -INT_MAX); }

// Takes the comma-separated fields off the front of an entry value.
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

unsigned char DecodeToken(std::string_view token) { return platform::DecodeByteToken(token); }

int ParseTranKeyword(std::string_view keyword) {
  if (platform::EqualNoCase(keyword, "TRAN_START")) return TRAN_START;
  if (platform::EqualNoCase(keyword, "TRAN_STOP")) return TRAN_STOP;
  if (platform::EqualNoCase(keyword, "TRAN_VOID")) return TRAN_VOID;
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
