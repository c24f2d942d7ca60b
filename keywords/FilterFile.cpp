#include "keywords/FilterFile.h"

#include "keywords/Limits.h"
#include "platform/ByteTokens.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace poshark::keywords {

namespace {

std::string FormatBool(bool b) { return b ? "1" : "0"; }

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

uint8_t HexHiByte(char c) { return static_cast<uint8_t>(HexLoByte(c) << 4); }

uint8_t HexLoByte(char c) { return static_cast<uint8_t>(platform::HexDigitValue(c)); }

char ASCII2BYTE(const std::string& token) {
  return static_cast<char>(platform::DecodeByteToken(token));
}

std::string ItemKey(const char* pszFormat, int n) {
  char szKey[kMaxKeyNameSize];
  std::snprintf(szKey, sizeof szKey, pszFormat, n);
  return szKey;
}

std::string ItemKey(const char* pszFormat, int n, int k) {
  char szKey[kMaxKeyNameSize];
  std::snprintf(szKey, sizeof szKey, pszFormat, n, k);
  return szKey;
}

std::string Format(const char* pszFormat, ...) {
  char szValue[kMaxFormattedSize];
  va_list args;
  va_start(args, pszFormat);
  std::vsnprintf(szValue, sizeof szValue, pszFormat, args);
  va_end(args);
  return szValue;
}

namespace {

// A positive number as printf's "%d" writes it (no sign, no leading zero)
// at the front of text; consumed on success.
bool TakeNumber(std::string_view* pText, int* pn) {
  size_t nUsed = 0;
  int n = platform::ParseDecimal(*pText, &nUsed);
  if (nUsed == 0 || n <= 0 || pText->substr(0, nUsed) != std::to_string(n)) return false;
  *pn = n;
  pText->remove_prefix(nUsed);
  return true;
}

}  // namespace

bool MatchNumberedKey(const std::string& key, const char* pszFormat, int* pn, int* pk) {
  std::string_view text(key), format(pszFormat);
  int* targets[2] = {pn, pk};
  for (int* pTarget : targets) {
    size_t nAt = format.find("%d");
    if (nAt == std::string_view::npos) break;
    if (!platform::EqualNoCase(text.substr(0, nAt), format.substr(0, nAt))) return false;
    text.remove_prefix(std::min(nAt, text.size()));
    format.remove_prefix(nAt + 2);
    int n = 0;
    if (!TakeNumber(&text, &n)) return false;
    if (pTarget != nullptr) *pTarget = n;
  }
  return platform::EqualNoCase(text, format);
}

FilterSection::FilterSection(const platform::ProfileReader& reader, std::string name)
    : reader_(reader), name_(std::move(name)) {}

std::string FilterSection::Value(const std::string& key) const {
  return reader_.GetString(name_, key, "", kFilterValueSize);
}

int FilterSection::Int(const std::string& key, int nDefault) const {
  return reader_.GetInt(name_, key, nDefault);
}

std::vector<int> FilterSection::ItemNumbers(const char* pszFormat, int nMax) const {
  std::vector<int> numbers;
  for (const std::string& key : reader_.GetKeyNames(name_)) {
    int n = 0;
    if (MatchNumberedKey(key, pszFormat, &n, nullptr) && n <= nMax) numbers.push_back(n);
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

int FilterSection::LastRecord(const char* pszFormat, int n) const {
  if (!bRecordsIndexed_) {
    for (const std::string& key : reader_.GetKeyNames(name_)) {
      int nItem = 0, k = 0;
      if (MatchNumberedKey(key, pszFormat, &nItem, &k))
        lastRecord_[nItem] = std::max(lastRecord_[nItem], k);
    }
    bRecordsIndexed_ = true;
  }
  auto it = lastRecord_.find(n);
  return it == lastRecord_.end() ? 0 : it->second;
}

FilterWriter::FilterWriter(const std::string& file) : file_(file), writer_(file.c_str()) {}

bool FilterWriter::Write(const std::string& section, const std::string& key,
                         const std::string& value) {
  platform::ProfileWriter probe(file_.c_str());
  probe.WriteString(section.c_str(), key.c_str(), value.c_str());
  if (!probe.HasChanges()) return false;
  writer_.WriteString(section.c_str(), key.c_str(), value.c_str());
  return true;
}

bool FilterWriter::ClearSection(const std::string& section) {
  platform::ProfileWriter probe(file_.c_str());
  probe.WriteSection(section.c_str(), {});
  if (!probe.HasChanges()) return false;
  writer_.WriteSection(section.c_str(), {});
  return true;
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
  *pn = platform::ParseDecimal(field);
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

ConditionExtras LoadConditionExtras(const FilterSection& section, int n,
                                    const ConditionKeyNames& names) {
  ConditionExtras ex;
  ex.bFreqReset = names.bFreqResetDefault;

  {
    LeftFields fields(section.Value(names.pszRNV, n));
    int nFlag = 0;
    std::string rest;
    if (fields.NextInt(&nFlag) && nFlag != 0 && fields.Rest(&rest) &&
        rest.size() <= static_cast<size_t>(kMaxRNVLen)) {
      ex.bRNV = true;
      std::memcpy(ex.szRNV, rest.c_str(), rest.size() + 1);
    }
  }
  {
    LeftFields fields(section.Value(names.pszOutput, n));
    int nFlag = 0, n1 = 0, n2 = 0;
    if (fields.NextInt(&nFlag) && nFlag != 0 && fields.NextInt(&n1) && fields.NextInt(&n2)) {
      ex.bOutput = true;
      ex.nOutput1 = n1;
      ex.nOutput2 = n2;
    }
  }
  {
    LeftFields fields(section.Value(names.pszFreq, n));
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
    LeftFields fields(section.Value(names.pszIdle, n));
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

bool LoadFreqRecs(const FilterSection& section, int n, const ConditionKeyNames& names,
                  FreqRecList* pList) {
  if (pList == nullptr) {
    return false;
  }
  pList->RemoveAll();
  int nCount = std::min(section.Int(ItemKey(names.pszFreqRecNum, n), 0),
                        section.LastRecord(names.pszFreqRec, n));
  for (int k = 1; k <= nCount; ++k) {
    LeftFields fields(section.Value(ItemKey(names.pszFreqRec, n, k)));
    SYSTEMTIME st{};
    if (ReadSixTimeFields(fields, &st)) {
      pList->Add(st);
    }
  }
  // Oldest first: the newest are the ones the limits count.
  pList->RemoveOldest(pList->GetSize() - kMaxFreqCount);
  return true;
}

bool WriteFreqRecs(FilterWriter& out, const std::string& section, int n,
                   const ConditionKeyNames& names, const FreqRecList* pList) {
  if (pList == nullptr) {
    return false;
  }
  out.Write(section, ItemKey(names.pszFreqRecNum, n), std::to_string(pList->GetSize()));
  for (int k = 1; k <= pList->GetSize(); ++k) {
    const SYSTEMTIME& st = pList->GetAt(k - 1);
    out.Write(section, ItemKey(names.pszFreqRec, n, k),
              Format("%d,%d,%d,%d,%d,%d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                     st.wSecond));
  }
  return true;
}

namespace {

void WriteIdleKey(FilterWriter& out, const std::string& section, int n,
                  const ConditionKeyNames& names, const STRUCT_Condition& cond) {
  const SYSTEMTIME& st = cond.stIdleLast;
  out.Write(
      section, ItemKey(names.pszIdle, n),
      Format("1,%d,%d,%d,%d,%d,%d,%d,%d,%d", cond.bIdle ? 1 : 0, cond.nIdleHours, cond.nIdleMinutes,
             st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond));
}

}  // namespace

void WriteConditionExtras(FilterWriter& out, const std::string& section, int n,
                          const ConditionKeyNames& names, const STRUCT_Condition& cond) {
  // szRNV may have lost its terminator in a host's hands.
  std::string rnv(cond.szRNV, strnlen(cond.szRNV, sizeof cond.szRNV));
  out.Write(section, ItemKey(names.pszRNV, n), FormatBool(cond.bRNV) + "," + rnv);
  out.Write(section, ItemKey(names.pszOutput, n),
            Format("%d,%d,%d", cond.bOutput ? 1 : 0, cond.nOutput1, cond.nOutput2));
  // The sixth field is read by nobody; 0 keeps the format of six fields.
  out.Write(section, ItemKey(names.pszFreq, n),
            Format("1,%d,%d,%d,%d,0", cond.bFreq ? 1 : 0, cond.nFreqCount, cond.nFreqUnit,
                   cond.bFreqReset ? 1 : 0));
  WriteIdleKey(out, section, n, names, cond);
}

void CleanConditionKeys(FilterWriter& out, const std::string& section, int n,
                        const ConditionKeyNames& names) {
  for (const char* pszFormat : {names.pszCompare1, names.pszCompare2, names.pszRNV, names.pszOutput,
                                names.pszFreq, names.pszIdle, names.pszFreqRecNum}) {
    if (pszFormat != nullptr) out.Write(section, ItemKey(pszFormat, n), "");
  }
}

void WriteLimitState(FilterWriter& out, const std::string& section,
                     const std::vector<STRUCT_KeyWord*>& keys, const ConditionKeyNames& names) {
  for (size_t i = 0; i < keys.size(); ++i) {
    const STRUCT_KeyWord* pKey = keys[i];
    if (pKey == nullptr || !pKey->bCondition || pKey->pCondition == nullptr) {
      continue;
    }
    int n = static_cast<int>(i) + 1;
    const STRUCT_Condition& cond = *pKey->pCondition;
    if (cond.bIdle) {
      WriteIdleKey(out, section, n, names, cond);
    }
    if (cond.bFreq) {
      WriteFreqRecs(out, section, n, names, cond.pFreqRecs);
    }
  }
}

}  // namespace poshark::keywords
