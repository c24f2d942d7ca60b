// KeyDataCatcher: the keyword section "POS<n>" of the filter file.
#include <poshark/KeyDataCatcher.h>

#include "keywords/FilterFile.h"
#include "keywords/Records.h"
#include "platform/Number.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kw = poshark::keywords;

namespace {

// Upper bound on the items read from one section, whatever "Num" says.
constexpr int kMaxItems = 1024;

std::string Section(int nPOSNo) {
  char szSection[32];
  std::snprintf(szSection, sizeof szSection, "POS%d", nPOSNo);
  return szSection;
}

std::string BoundedText(const char* pszText, size_t nMax) {
  return pszText == nullptr ? std::string() : std::string(pszText, strnlen(pszText, nMax));
}

// "%.3d" of a character, sign-extended: "046" for ".", "-001" for -1.
std::string CharCode(char c) {
  char szCode[16];
  std::snprintf(szCode, sizeof szCode, "%.3d", static_cast<int>(c));
  return szCode;
}

// An operand as it is saved: its text, or for a numeric operand that has
// no text (a host set only the number) the number in the user's notation.
std::string OperandText(const char* pszText, size_t nSize, bool bNumeric, float fValue) {
  std::string text = BoundedText(pszText, nSize);
  if (text.empty() && bNumeric) {
    text = poshark::platform::LocaleFloatToText(fValue);
  }
  return text;
}

}  // namespace

std::string KeyDataCatcher::GetIniFile() {
  if (m_strIniFile.empty()) {
    m_strIniFile = kw::kFilterFileName;
  }
  return m_strIniFile;
}

char KeyDataCatcher::ASCII2BYTE(std::string strToken) {
  return kw::ASCII2BYTE(strToken);
}

uint8_t KeyDataCatcher::HexHiByte(char c) {
  return kw::HexHiByte(c);
}

uint8_t KeyDataCatcher::HexLoByte(char c) {
  return kw::HexLoByte(c);
}

bool KeyDataCatcher::LoadIni(int nPOSNo) {
  ReleaseKeyWordAll();
  ReleaseKeyWordGroup();
  const std::string strSection = Section(nPOSNo);
  int nCount = std::min(kw::ReadFilterInt(GetIniFile(), strSection, "Num", 0), kMaxItems);
  m_ScratchKeyWord.pszKeyWord = m_szScratchKeyWord;
  m_ScratchKeyWord.pszName = m_szScratchName;
  m_ScratchKeyWord.pCondition = &m_ScratchCondition;
  m_ScratchCondition.pFreqRecs = &m_ScratchFreqRecs;
  for (int n = 1; n <= nCount; ++n) {
    std::memset(m_szScratchKeyWord, 0, sizeof m_szScratchKeyWord);
    std::memset(m_szScratchName, 0, sizeof m_szScratchName);
    m_ScratchFreqRecs.RemoveAll();
    if (!LoadIniItem(strSection, n, &m_ScratchKeyWord)) {
      continue;
    }
    const STRUCT_KeyWord& s = m_ScratchKeyWord;
    AddKeyWord(s.pszKeyWord, s.nCatchFlags, s.bShift, s.nShift, s.pszName, s.nMDBType, s.nMDBID,
               s.cDecimalSign, s.c1KSign, s.nColorValue1, s.nColorValue2, s.crKeyColor,
               s.bCatchTime, s.stCatchStart, s.stCatchEnd, s.bCondition, s.pCondition);
  }
  m_ScratchFreqRecs.RemoveAll();
  ReBuildGroupFromAll();
  return true;
}

bool KeyDataCatcher::LoadIniItem(std::string strSection, int n, STRUCT_KeyWord* pKeyWord) {
  if (pKeyWord == nullptr || pKeyWord->pszKeyWord == nullptr || pKeyWord->pszName == nullptr) {
    return false;
  }
  const std::string file = GetIniFile();

  std::string item = kw::ReadFilterValue(file, strSection, kw::ItemKey("Item%d", n));
  std::string keyword, flags;
  if (!kw::SplitAtLastComma(item, &keyword, &flags) || flags.empty() || keyword.empty() ||
      keyword.size() > static_cast<size_t>(kw::kMaxKeyTextLen)) {
    return false;
  }

  std::string nameValue = kw::ReadFilterValue(file, strSection, kw::ItemKey("Name%d", n));
  std::string rest, decimal, id, type, name;
  if (!kw::SplitAtLastComma(nameValue, &rest, &decimal) || decimal.empty() ||
      !kw::SplitAtLastComma(rest, &rest, &id) || id.empty() ||
      !kw::SplitAtLastComma(rest, &name, &type) || type.empty() || name.empty()) {
    return false;
  }
  name.resize(std::min(name.size(), static_cast<size_t>(kw::kMaxKeyTextLen)));

  std::memcpy(pKeyWord->pszKeyWord, keyword.c_str(), keyword.size() + 1);
  pKeyWord->nKeyLen = static_cast<int>(keyword.size());
  pKeyWord->nCatchFlags = kw::AtoiText(flags);
  pKeyWord->pszKeyRTL = nullptr;

  kw::LeftFields shift(kw::ReadFilterValue(file, strSection, kw::ItemKey("Shift%d", n)));
  int nFlag = 0, nShift = 0;
  pKeyWord->bShift = false;
  pKeyWord->nShift = 0;
  if (shift.NextInt(&nFlag) && nFlag != 0 && shift.NextInt(&nShift) && nShift > 0) {
    pKeyWord->bShift = true;
    pKeyWord->nShift = nShift;
  }

  std::memcpy(pKeyWord->pszName, name.c_str(), name.size() + 1);
  pKeyWord->nMDBType = kw::AtoiText(type);
  pKeyWord->nMDBID = kw::AtoiText(id);
  pKeyWord->cDecimalSign = kw::ASCII2BYTE(decimal);

  std::string kSign = kw::ReadFilterValue(file, strSection, kw::ItemKey("N%d_1KSign", n));
  pKeyWord->c1KSign = kSign.empty() ? ',' : kw::ASCII2BYTE(kSign);

  pKeyWord->bCatchTime = false;
  pKeyWord->stCatchStart = SYSTEMTIME{};
  pKeyWord->stCatchEnd = SYSTEMTIME{};
  pKeyWord->nColorValue1 = 0;
  pKeyWord->nColorValue2 = 0;
  pKeyWord->crKeyColor = 0;

  pKeyWord->bCondition = LoadIniCondition(strSection, n, (pKeyWord->nCatchFlags & 1) != 0,
                                          pKeyWord->pCondition);
  return true;
}

bool KeyDataCatcher::LoadIniCondition(const std::string& strSection, int n, bool bNumeric,
                                      STRUCT_Condition* pCondition) {
  if (pCondition == nullptr) {
    return false;
  }
  const std::string file = GetIniFile();
  int nOperator1 = 0, nJoin = 0, nOperator2 = 0;
  float fValue1 = 0, fValue2 = 0;
  std::string value1, value2;

  kw::LeftFields first(kw::ReadFilterValue(file, strSection, kw::ItemKey("Condition%d_1", n)));
  int nPresent = 0;
  if (!first.NextInt(&nPresent) || nPresent == 0 || !first.NextInt(&nOperator1) ||
      !first.Rest(&value1) || value1.size() > static_cast<size_t>(kw::kMaxOperandLen)) {
    return false;
  }
  if (bNumeric && !poshark::platform::LocaleTextToFloat(value1.c_str(), &fValue1)) {
    return false;
  }

  kw::LeftFields second(kw::ReadFilterValue(file, strSection, kw::ItemKey("Condition%d_2", n)));
  second.NextInt(&nJoin);
  if (nJoin != 0) {
    if (!second.NextInt(&nOperator2) || !second.Rest(&value2) ||
        value2.size() > static_cast<size_t>(kw::kMaxOperandLen)) {
      nJoin = 0;
      nOperator2 = 0;
      value2.clear();
    } else if (bNumeric && !poshark::platform::LocaleTextToFloat(value2.c_str(), &fValue2)) {
      return false;
    }
  }

  kw::ConditionExtras extras =
      kw::LoadConditionExtras(file, strSection, n, kw::kKeyWordConditionKeys);

  pCondition->bNumeric = bNumeric;
  pCondition->nOperator1 = nOperator1;
  pCondition->fValue1 = fValue1;
  std::memset(pCondition->szValue1, 0, sizeof pCondition->szValue1);
  std::memcpy(pCondition->szValue1, value1.c_str(), value1.size());
  pCondition->nJoin = nJoin;
  pCondition->nOperator2 = nOperator2;
  pCondition->fValue2 = fValue2;
  std::memset(pCondition->szValue2, 0, sizeof pCondition->szValue2);
  std::memcpy(pCondition->szValue2, value2.c_str(), value2.size());
  kw::StoreConditionExtras(extras, pCondition);
  if (pCondition->bFreq) {
    LoadIniCondition_FreqRec(strSection, n, pCondition->pFreqRecs);
  }
  return true;
}

bool KeyDataCatcher::LoadIniCondition_FreqRec(const std::string& strSection, int n,
                                              FreqRecList* pFreqRecs) {
  return kw::LoadFreqRecs(GetIniFile(), strSection, n, kw::kKeyWordConditionKeys, pFreqRecs);
}

bool KeyDataCatcher::WriteIni(int nPOSNo) {
  ReBuildGroupFromAll();
  ReBuildAllFromGroup();
  const std::string strSection = Section(nPOSNo);
  const std::string file = GetIniFile();
  kw::FilterSaveBatch batch(file);  // the section is replaced whole or not at all
  kw::ClearFilterSection(file, strSection);
  kw::WriteFilterValue(file, strSection, "Num", std::to_string(m_aKeyWords.size()));
  for (size_t i = 0; i < m_aKeyWords.size(); ++i) {
    WriteItem(strSection, static_cast<int>(i) + 1, m_aKeyWords[i]);
  }
  batch.Commit();
  return true;
}

bool KeyDataCatcher::WriteItem(std::string strSection, int n, STRUCT_KeyWord* pKeyWord) {
  if (pKeyWord == nullptr) {
    return true;
  }
  const std::string file = GetIniFile();
  std::string keyword = BoundedText(pKeyWord->pszKeyWord, kw::kMaxKeyTextLen);
  std::string name = BoundedText(pKeyWord->pszName, kw::kMaxKeyTextLen);
  kw::WriteFilterValue(file, strSection, kw::ItemKey("Item%d", n),
                       keyword + "," + std::to_string(pKeyWord->nCatchFlags));
  kw::WriteFilterValue(file, strSection, kw::ItemKey("Name%d", n),
                       name + "," + std::to_string(pKeyWord->nMDBType) + "," +
                           std::to_string(pKeyWord->nMDBID) + "," +
                           CharCode(pKeyWord->cDecimalSign));
  kw::WriteFilterValue(file, strSection, kw::ItemKey("N%d_1KSign", n),
                       CharCode(pKeyWord->c1KSign));
  // Saved in the form the loader reads, so that a save keeps the shift.
  bool bShift = pKeyWord->bShift && pKeyWord->nShift > 0;
  kw::WriteFilterValue(file, strSection, kw::ItemKey("Shift%d", n),
                       std::string(bShift ? "1," : "0,") +
                           std::to_string(bShift ? pKeyWord->nShift : 0));
  if (pKeyWord->bCondition && pKeyWord->pCondition != nullptr) {
    WriteIniCondition(strSection, n, pKeyWord->pCondition);
  } else {
    CleanIniCondition(strSection, n);
  }
  return true;
}

bool KeyDataCatcher::WriteIniCondition(const std::string& strSection, int n,
                                       STRUCT_Condition* pCondition) {
  const std::string file = GetIniFile();
  const STRUCT_Condition& c = *pCondition;
  kw::WriteFilterValue(file, strSection, kw::ItemKey("Condition%d_1", n),
                       "1," + std::to_string(c.nOperator1) + "," +
                           OperandText(c.szValue1, sizeof c.szValue1, c.bNumeric, c.fValue1));
  std::string value2 = c.nJoin != 0
                           ? OperandText(c.szValue2, sizeof c.szValue2, c.bNumeric, c.fValue2)
                           : BoundedText(c.szValue2, sizeof c.szValue2);
  kw::WriteFilterValue(file, strSection, kw::ItemKey("Condition%d_2", n),
                       std::to_string(c.nJoin) + "," + std::to_string(c.nOperator2) + "," +
                           value2);
  kw::WriteConditionExtras(file, strSection, n, kw::kKeyWordConditionKeys, c);
  return true;
}

bool KeyDataCatcher::WriteIniCondition_FreqRec(const std::string& strSection, int n,
                                               FreqRecList* pFreqRecs) {
  return kw::WriteFreqRecs(GetIniFile(), strSection, n, kw::kKeyWordConditionKeys, pFreqRecs);
}

bool KeyDataCatcher::CleanIniCondition(const std::string& strSection, int n) {
  const std::string file = GetIniFile();
  kw::WriteFilterValue(file, strSection, kw::ItemKey("Condition%d_1", n), "");
  kw::WriteFilterValue(file, strSection, kw::ItemKey("Condition%d_2", n), "");
  kw::CleanConditionExtras(file, strSection, n, kw::kKeyWordConditionKeys);
  return true;
}

bool KeyDataCatcher::WriteIni_FreqIdleRec(int nPOSNo) {
  kw::FilterSaveBatch batch(GetIniFile());
  kw::WriteLimitState(GetIniFile(), Section(nPOSNo), m_aKeyWords, kw::kKeyWordConditionKeys);
  batch.Commit();
  return true;
}
