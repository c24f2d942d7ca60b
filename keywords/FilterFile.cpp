#include "keywords/FilterFile.h"

#include "platform/Profile.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace poshark::keywords {

namespace {

struct ControlName {
  const char* pszName;
  char cCode;
};

// Control-character names of the filter file; the first match wins. No name
// stands for 14.
const ControlName kControlNames[] = {
    {"NUL", 0},  {"SOH", 1},  {"STX", 2},  {"ETX", 3},  {"EOT", 4},  {"ENQ", 5},  {"ACK", 6},
    {"BEL", 7},  {"BS", 8},   {"HT", 9},   {"LF", 10},  {"VT", 11},  {"FF", 12},  {"CR", 13},
    {"SI", 15},  {"SLE", 16}, {"DLE", 16}, {"CS1", 17}, {"DC2", 18}, {"DC3", 19}, {"DC4", 20},
    {"NAK", 21}, {"SYN", 22}, {"ETB", 23}, {"CAN", 24}, {"EM", 25},  {"SIB", 26}, {"ESC", 27},
    {"FS", 28},  {"GS", 29},  {"RS", 30},  {"US", 31},  {"SP", 32},
};

std::string FormatBool(bool b) {
  return b ? "1" : "0";
}

bool ReadSixTimeFields(LeftFields& fields, SYSTEMTIME* pTime) {
  int n[6];
  for (int& v : n) {
    if (!fields.NextInt(&v)) {
      return false;
    }
  }
  SYSTEMTIME st{};
  st.wYear = static_cast<uint16_t>(n[0]);
  st.wMonth = static_cast<uint16_t>(n[1]);
  st.wDay = static_cast<uint16_t>(n[2]);
  st.wHour = static_cast<uint16_t>(n[3]);
  st.wMinute = static_cast<uint16_t>(n[4]);
  st.wSecond = static_cast<uint16_t>(n[5]);
  *pTime = st;
  return true;
}

}  // namespace

uint8_t HexHiByte(char c) {
  return static_cast<uint8_t>(HexLoByte(c) << 4);
}

uint8_t HexLoByte(char c) {
  if (c >= '1' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return 0;
}

char ASCII2BYTE(const std::string& token) {
  size_t nLen = token.size();
  if (nLen <= 1) {
    return nLen == 0 ? '\0' : token[0];
  }
  if (nLen == 4) {
    if (token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
      return static_cast<char>(HexHiByte(token[2]) | HexLoByte(token[3]));
    }
  } else {
    for (const ControlName& name : kControlNames) {
      if (strcasecmp(token.c_str(), name.pszName) == 0) {
        return name.cCode;
      }
    }
  }
  return static_cast<char>(static_cast<unsigned>(AtoiText(token)) & 0xFFu);
}

int AtoiText(const char* pszText) {
  if (pszText == nullptr) {
    return 0;
  }
  const char* p = pszText;
  while (std::isspace(static_cast<unsigned char>(*p))) {
    ++p;
  }
  bool bNegative = false;
  if (*p == '+' || *p == '-') {
    bNegative = *p == '-';
    ++p;
  }
  long long nValue = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (nValue <= static_cast<long long>(INT_MAX) + 1) {
      nValue = nValue * 10 + (*p - '0');
    }
  }
  if (bNegative) {
    nValue = -nValue;
  }
  if (nValue > INT_MAX) return INT_MAX;
  if (nValue < INT_MIN) return INT_MIN;
  return static_cast<int>(nValue);
}

std::string ItemKey(const char* pszFormat, int n) {
  char szKey[64];
  std::snprintf(szKey, sizeof szKey, pszFormat, n);
  return szKey;
}

std::string ItemKey(const char* pszFormat, int n, int k) {
  char szKey[64];
  std::snprintf(szKey, sizeof szKey, pszFormat, n, k);
  return szKey;
}

std::string ReadFilterValue(const std::string& file, const std::string& section,
                            const std::string& key) {
  char szValue[kFilterValueSize] = {};
  platform::GetPrivateProfileStringA(section.c_str(), key.c_str(), "", szValue, sizeof szValue,
                                     file.c_str());
  szValue[sizeof szValue - 1] = '\0';
  return szValue;
}

int ReadFilterInt(const std::string& file, const std::string& section, const std::string& key,
                  int nDefault) {
  return platform::GetPrivateProfileIntA(section.c_str(), key.c_str(), nDefault, file.c_str());
}

namespace {
thread_local FilterSaveBatch* t_pBatch = nullptr;
}  // namespace

FilterSaveBatch::FilterSaveBatch(const std::string& file)
    : file_(file), writer_(std::make_unique<platform::ProfileWriter>(file.c_str())),
      previous_(t_pBatch) {
  t_pBatch = this;
}

FilterSaveBatch::~FilterSaveBatch() { t_pBatch = previous_; }

FilterSaveBatch* FilterSaveBatch::For(const std::string& file) {
  for (FilterSaveBatch* p = t_pBatch; p; p = p->previous_)
    if (p->file_ == file) return p;
  return nullptr;
}

bool FilterSaveBatch::Commit() { return writer_->Commit(); }

bool WriteFilterValue(const std::string& file, const std::string& section,
                      const std::string& key, const std::string& value) {
  if (FilterSaveBatch* pBatch = FilterSaveBatch::For(file)) {
    // A value the file cannot hold fails on its own, as a single write
    // would, without spoiling the rest of the save.
    platform::ProfileWriter probe(file.c_str());
    probe.WriteString(section.c_str(), key.c_str(), value.c_str());
    if (!probe.HasChanges()) return false;
    pBatch->writer_->WriteString(section.c_str(), key.c_str(), value.c_str());
    return true;
  }
  return platform::WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(),
                                              file.c_str());
}

bool ClearFilterSection(const std::string& file, const std::string& section) {
  if (FilterSaveBatch* pBatch = FilterSaveBatch::For(file)) {
    platform::ProfileWriter probe(file.c_str());
    probe.WriteSection(section.c_str(), {});
    if (!probe.HasChanges()) return false;
    pBatch->writer_->WriteSection(section.c_str(), {});
    return true;
  }
  static const char kEmptyList[2] = {'\0', '\0'};
  return platform::WritePrivateProfileSectionA(section.c_str(), kEmptyList, file.c_str());
}

bool LeftFields::Next(std::string* pField) {
  if (rest_.empty()) {
    return false;
  }
  size_t nComma = rest_.find(',');
  std::string field = rest_.substr(0, nComma);
  rest_ = nComma == std::string::npos ? std::string() : rest_.substr(nComma + 1);
  if (field.empty()) {
    return false;
  }
  *pField = std::move(field);
  return true;
}

bool LeftFields::NextInt(int* pn) {
  std::string field;
  if (!Next(&field)) {
    return false;
  }
  *pn = AtoiText(field);
  return true;
}

bool LeftFields::Rest(std::string* pRest) {
  if (rest_.empty()) {
    return false;
  }
  *pRest = std::move(rest_);
  rest_.clear();
  return true;
}

bool SplitAtLastComma(const std::string& text, std::string* pBefore, std::string* pAfter) {
  size_t nComma = text.rfind(',');
  if (nComma == std::string::npos) {
    return false;
  }
  *pAfter = text.substr(nComma + 1);
  *pBefore = text.substr(0, nComma);
  return true;
}

ConditionExtras LoadConditionExtras(const std::string& file, const std::string& section, int n,
                                    const ConditionKeyNames& names) {
  ConditionExtras ex;
  ex.bFreqReset = names.bFreqResetDefault;

  {
    LeftFields fields(ReadFilterValue(file, section, ItemKey(names.pszRNV, n)));
    int nFlag = 0;
    std::string rest;
    if (fields.NextInt(&nFlag) && nFlag != 0 && fields.Rest(&rest) &&
        rest.size() <= static_cast<size_t>(kMaxRNVLen)) {
      ex.bRNV = true;
      std::memcpy(ex.szRNV, rest.c_str(), rest.size() + 1);
    }
  }
  {
    LeftFields fields(ReadFilterValue(file, section, ItemKey(names.pszOutput, n)));
    int nFlag = 0, n1 = 0, n2 = 0;
    if (fields.NextInt(&nFlag) && nFlag != 0 && fields.NextInt(&n1) && fields.NextInt(&n2)) {
      ex.bOutput = true;
      ex.nOutput1 = n1;
      ex.nOutput2 = n2;
    }
  }
  {
    LeftFields fields(ReadFilterValue(file, section, ItemKey(names.pszFreq, n)));
    int nTaken = 0, nFlag = 0, nCount = 0, nUnit = 0, nReset = 0;
    if (fields.NextInt(&nTaken) && nTaken == 1 && fields.NextInt(&nFlag) && nFlag != 0 &&
        fields.NextInt(&nCount) && fields.NextInt(&nUnit) && fields.NextInt(&nReset)) {
      ex.bFreq = true;
      ex.nFreqCount = nCount;
      ex.nFreqUnit = nUnit;
      ex.bFreqReset = nReset != 0;
    }
  }
  {
    LeftFields fields(ReadFilterValue(file, section, ItemKey(names.pszIdle, n)));
    int nTaken = 0, nFlag = 0, nHours = 0, nMinutes = 0;
    if (fields.NextInt(&nTaken) && nTaken == 1 && fields.NextInt(&nFlag) && nFlag != 0 &&
        fields.NextInt(&nHours) && fields.NextInt(&nMinutes)) {
      ex.bIdle = true;
      ex.nIdleHours = nHours;
      ex.nIdleMinutes = nMinutes;
      SYSTEMTIME st{};
      if (ReadSixTimeFields(fields, &st)) {
        ex.stIdleLast = st;
      }
    }
  }
  return ex;
}

void StoreConditionExtras(const ConditionExtras& ex, STRUCT_Condition* pCond) {
  pCond->bRNV = ex.bRNV;
  std::memcpy(pCond->szRNV, ex.szRNV, sizeof pCond->szRNV);
  pCond->bOutput = ex.bOutput;
  pCond->nOutput1 = ex.nOutput1;
  pCond->nOutput2 = ex.nOutput2;
  pCond->bFreq = ex.bFreq;
  pCond->bFreqReset = ex.bFreqReset;
  pCond->nFreqUnit = ex.nFreqUnit;
  pCond->nFreqCount = ex.nFreqCount;
  pCond->bIdle = ex.bIdle;
  pCond->nIdleHours = ex.nIdleHours;
  pCond->nIdleMinutes = ex.nIdleMinutes;
  pCond->stIdleLast = ex.stIdleLast;
}

bool LoadFreqRecs(const std::string& file, const std::string& section, int n,
                  const ConditionKeyNames& names, FreqRecList* pList) {
  if (pList == nullptr) {
    return false;
  }
  pList->RemoveAll();
  int nCount = ReadFilterInt(file, section, ItemKey(names.pszFreqRecNum, n), 0);
  if (nCount > kMaxFreqRecsLoaded) {
    nCount = kMaxFreqRecsLoaded;
  }
  for (int k = 1; k <= nCount; ++k) {
    LeftFields fields(ReadFilterValue(file, section, ItemKey(names.pszFreqRec, n, k)));
    SYSTEMTIME st{};
    if (ReadSixTimeFields(fields, &st)) {
      pList->Add(st);
    }
  }
  return true;
}

bool WriteFreqRecs(const std::string& file, const std::string& section, int n,
                   const ConditionKeyNames& names, const FreqRecList* pList) {
  if (pList == nullptr) {
    return false;
  }
  WriteFilterValue(file, section, ItemKey(names.pszFreqRecNum, n),
                   std::to_string(pList->GetSize()));
  for (int k = 1; k <= pList->GetSize(); ++k) {
    const SYSTEMTIME& st = pList->GetAt(k - 1);
    char szValue[64];
    std::snprintf(szValue, sizeof szValue, "%d,%d,%d,%d,%d,%d", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond);
    WriteFilterValue(file, section, ItemKey(names.pszFreqRec, n, k), szValue);
  }
  return true;
}

void WriteIdleKey(const std::string& file, const std::string& section, int n,
                  const ConditionKeyNames& names, const STRUCT_Condition& cond) {
  const SYSTEMTIME& st = cond.stIdleLast;
  char szValue[128];
  std::snprintf(szValue, sizeof szValue, "1,%d,%d,%d,%d,%d,%d,%d,%d,%d", cond.bIdle ? 1 : 0,
                cond.nIdleHours, cond.nIdleMinutes, st.wYear, st.wMonth, st.wDay, st.wHour,
                st.wMinute, st.wSecond);
  WriteFilterValue(file, section, ItemKey(names.pszIdle, n), szValue);
}

void WriteConditionExtras(const std::string& file, const std::string& section, int n,
                          const ConditionKeyNames& names, const STRUCT_Condition& cond) {
  // szRNV may have lost its terminator in a host's hands.
  std::string rnv(cond.szRNV, strnlen(cond.szRNV, sizeof cond.szRNV));
  WriteFilterValue(file, section, ItemKey(names.pszRNV, n), FormatBool(cond.bRNV) + "," + rnv);
  char szValue[128];
  std::snprintf(szValue, sizeof szValue, "%d,%d,%d", cond.bOutput ? 1 : 0, cond.nOutput1,
                cond.nOutput2);
  WriteFilterValue(file, section, ItemKey(names.pszOutput, n), szValue);
  // The sixth field is read by nobody; 0 keeps the format of six fields.
  std::snprintf(szValue, sizeof szValue, "1,%d,%d,%d,%d,0", cond.bFreq ? 1 : 0, cond.nFreqCount,
                cond.nFreqUnit, cond.bFreqReset ? 1 : 0);
  WriteFilterValue(file, section, ItemKey(names.pszFreq, n), szValue);
  WriteIdleKey(file, section, n, names, cond);
}

void CleanConditionExtras(const std::string& file, const std::string& section, int n,
                          const ConditionKeyNames& names) {
  for (const char* pszFormat : {names.pszRNV, names.pszOutput, names.pszFreq, names.pszIdle,
                                names.pszFreqRecNum}) {
    WriteFilterValue(file, section, ItemKey(pszFormat, n), "");
  }
}

void WriteLimitState(const std::string& file, const std::string& section,
                     const std::vector<STRUCT_KeyWord*>& keys, const ConditionKeyNames& names) {
  for (size_t i = 0; i < keys.size(); ++i) {
    const STRUCT_KeyWord* pKey = keys[i];
    if (pKey == nullptr || !pKey->bCondition || pKey->pCondition == nullptr) {
      continue;
    }
    int n = static_cast<int>(i) + 1;
    const STRUCT_Condition& cond = *pKey->pCondition;
    if (cond.bIdle) {
      WriteIdleKey(file, section, n, names, cond);
    }
    if (cond.bFreq) {
      WriteFreqRecs(file, section, n, names, cond.pFreqRecs);
    }
  }
}

}  // namespace poshark::keywords
