// ColorKeyCatcher: the colour-key sections "ColorKey<p>" of the filter file.
// The value grammar and the condition keys are shared with the keyword
// catcher (keywords/FilterFile.h); only the key names differ.
#include <poshark/ColorKeyCatcher.h>

#include "keywords/FilterFile.h"
#include "keywords/Limits.h"
#include "keywords/Records.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kw = poshark::keywords;

namespace {

// Items read from one section at most, as for the keyword list: a count
// from the file is not trusted to be small (each item costs a few reads).
constexpr int kMaxItems = 1024;

const kw::ConditionKeyNames& Names() {
  return kw::kColorKeyConditionKeys;
}

std::string Format(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* pszFormat, ...) {
  char szValue[kw::kFilterValueSize + 64];
  va_list args;
  va_start(args, pszFormat);
  std::vsnprintf(szValue, sizeof szValue, pszFormat, args);
  va_end(args);
  return szValue;
}

// A record text for writing, never read past its 31-byte buffer.
std::string RecordText(const char* pszText) {
  return pszText == nullptr ? std::string()
                            : std::string(pszText, kw::BoundedLength(pszText, kw::kMaxKeyTextLen));
}

}  // namespace

std::string ColorKeyCatcher::SectionOf(int nPOSNo) {
  return Format("ColorKey%d", nPOSNo);
}

std::string ColorKeyCatcher::GetIniFile() {
  if (m_strIniFile.empty()) m_strIniFile = kw::kFilterFileName;
  return m_strIniFile;
}

char ColorKeyCatcher::ASCII2BYTE(std::string strToken) {
  return kw::ASCII2BYTE(strToken);
}

uint8_t ColorKeyCatcher::HexHiByte(char c) {
  return kw::HexHiByte(c);
}

uint8_t ColorKeyCatcher::HexLoByte(char c) {
  return kw::HexLoByte(c);
}

bool ColorKeyCatcher::LoadIni(int nPOSNo) {
  ReleaseKeyWordAll();
  const std::string strFile = GetIniFile();
  const std::string strSection = SectionOf(nPOSNo);
  int nNum = std::min(kw::ReadFilterInt(strFile, strSection, "CKNum", 0), kMaxItems);
  m_stScratchKey.pszKeyWord = m_szScratchKeyWord;
  m_stScratchKey.pszName = m_szScratchName;
  m_stScratchKey.pCondition = &m_stScratchCondition;
  m_stScratchCondition.pFreqRecs = &m_ScratchFreqRecs;
  for (int n = 1; n <= nNum; ++n) {
    std::memset(m_szScratchKeyWord, 0, sizeof m_szScratchKeyWord);
    std::memset(m_szScratchName, 0, sizeof m_szScratchName);
    m_ScratchFreqRecs.RemoveAll();
    if (!LoadIniItem(strSection, n, &m_stScratchKey)) continue;
    const STRUCT_KeyWord& k = m_stScratchKey;
    AddKeyWord(k.pszKeyWord, k.pszName, k.nMDBType, k.nMDBID, k.nColorValue1, k.nColorValue2,
               k.crKeyColor, k.bCatchTime, k.stCatchStart, k.stCatchEnd, k.bCondition,
               &m_stScratchCondition);
  }
  m_ScratchFreqRecs.RemoveAll();
  return true;
}

bool ColorKeyCatcher::LoadIniItem(std::string strSection, int nItem, STRUCT_KeyWord* pKeyWord) {
  if (pKeyWord == nullptr || pKeyWord->pszKeyWord == nullptr || pKeyWord->pszName == nullptr)
    return false;
  const std::string strFile = GetIniFile();

  // "CKItem<n>" = key,flags; the key may hold commas.
  std::string strKey, strFlags;
  if (!kw::SplitAtLastComma(kw::ReadFilterValue(strFile, strSection, kw::ItemKey("CKItem%d", nItem)),
                            &strKey, &strFlags) ||
      strFlags.empty() || strKey.empty() || strKey.size() > static_cast<size_t>(kw::kMaxKeyTextLen))
    return false;

  // "CKName<n>" = name,type,ID,decimal sign; the sign may be empty, the
  // name may hold commas.
  std::string strName, strRest, strSign, strID, strType;
  std::string strValue = kw::ReadFilterValue(strFile, strSection, kw::ItemKey("CKName%d", nItem));
  if (strValue.empty()) return false;
  if (!kw::SplitAtLastComma(strValue, &strRest, &strSign)) return false;  // nothing before the sign
  if (strRest.empty() || !kw::SplitAtLastComma(strRest, &strRest, &strID) || strID.empty())
    return false;
  if (strRest.empty() || !kw::SplitAtLastComma(strRest, &strName, &strType) || strType.empty())
    return false;
  if (strName.empty()) return false;
  if (strName.size() > static_cast<size_t>(kw::kMaxKeyTextLen)) strName.resize(kw::kMaxKeyTextLen);

  // "CKCatchTime<n>" = flag,start hour,start minute,end hour,end minute.
  bool bCatchTime = false;
  int nTimes[4] = {0, 0, 0, 0};
  {
    kw::LeftFields fields(
        kw::ReadFilterValue(strFile, strSection, kw::ItemKey("CKCatchTime%d", nItem)));
    int nFlag = 0;
    if (fields.NextInt(&nFlag)) {
      bCatchTime = nFlag != 0;
      if (bCatchTime)
        for (int& t : nTimes)
          if (!fields.NextInt(&t)) break;
    }
  }

  // "CKColor<n>" = flag,value 2,red,green,blue; a 0 flag ends the value.
  uint32_t nColorValue1 = 0, nColorValue2 = 0;
  int nRGB[3] = {255, 255, 255};
  {
    kw::LeftFields fields(kw::ReadFilterValue(strFile, strSection, kw::ItemKey("CKColor%d", nItem)));
    int nFlag = 0;
    if (fields.NextInt(&nFlag) && nFlag != 0) {
      nColorValue1 = 1;
      int nValue2 = 0;
      if (fields.NextInt(&nValue2)) {
        nColorValue2 = static_cast<uint32_t>(nValue2);
        for (int& c : nRGB)
          if (!fields.NextInt(&c)) break;
      }
    }
  }

  std::memcpy(pKeyWord->pszKeyWord, strKey.c_str(), strKey.size() + 1);
  pKeyWord->nKeyLen = static_cast<int>(strKey.size());
  pKeyWord->nCatchFlags = kw::AtoiText(strFlags);
  std::free(pKeyWord->pszKeyRTL);
  pKeyWord->pszKeyRTL = nullptr;
  pKeyWord->bShift = false;
  pKeyWord->nShift = 0;
  pKeyWord->cDecimalSign = strSign.empty() ? '\0' : kw::ASCII2BYTE(strSign);
  pKeyWord->nMDBID = kw::AtoiText(strID);
  pKeyWord->nMDBType = kw::AtoiText(strType);
  std::memcpy(pKeyWord->pszName, strName.c_str(), strName.size() + 1);

  pKeyWord->bCatchTime = bCatchTime;
  pKeyWord->stCatchStart = SYSTEMTIME{};
  pKeyWord->stCatchStart.wHour = static_cast<uint16_t>(nTimes[0]);
  pKeyWord->stCatchStart.wMinute = static_cast<uint16_t>(nTimes[1]);
  pKeyWord->stCatchEnd = SYSTEMTIME{};
  pKeyWord->stCatchEnd.wHour = static_cast<uint16_t>(nTimes[2]);
  pKeyWord->stCatchEnd.wMinute = static_cast<uint16_t>(nTimes[3]);
  pKeyWord->nColorValue1 = nColorValue1;
  pKeyWord->nColorValue2 = nColorValue2;
  pKeyWord->crKeyColor = static_cast<uint32_t>(nRGB[0] & 0xFF) |
                         static_cast<uint32_t>(nRGB[1] & 0xFF) << 8 |
                         static_cast<uint32_t>(nRGB[2] & 0xFF) << 16;

  if (pKeyWord->pCondition != nullptr) {
    pKeyWord->bCondition = LoadIniCondition(strSection, nItem, pKeyWord->pCondition);
  } else {
    // A record without a condition gets one only when the item has one.
    STRUCT_Condition cond{};
    FreqRecList recs;
    cond.pFreqRecs = &recs;
    pKeyWord->bCondition = LoadIniCondition(strSection, nItem, &cond);
    if (pKeyWord->bCondition) pKeyWord->pCondition = kw::CopyCondition(cond);
  }
  return true;
}

bool ColorKeyCatcher::LoadIniCondition(const std::string& strSection, int nItem,
                                       STRUCT_Condition* pCondition) {
  if (pCondition == nullptr) return false;
  kw::ConditionExtras extras = kw::LoadConditionExtras(GetIniFile(), strSection, nItem, Names());
  // Colour keys compare nothing: only forwarding, output and the limits count.
  pCondition->bNumeric = false;
  pCondition->nOperator1 = 0;
  pCondition->fValue1 = 0.0f;
  std::memset(pCondition->szValue1, 0, sizeof pCondition->szValue1);
  pCondition->nJoin = 0;
  pCondition->nOperator2 = 0;
  pCondition->fValue2 = 0.0f;
  std::memset(pCondition->szValue2, 0, sizeof pCondition->szValue2);
  kw::StoreConditionExtras(extras, pCondition);
  if (pCondition->bFreq) LoadIniCondition_FreqRec(strSection, nItem, pCondition->pFreqRecs);
  return pCondition->bRNV || pCondition->bOutput;
}

bool ColorKeyCatcher::LoadIniCondition_FreqRec(const std::string& strSection, int nItem,
                                               FreqRecList* pList) {
  return kw::LoadFreqRecs(GetIniFile(), strSection, nItem, Names(), pList);
}

bool ColorKeyCatcher::WriteIni(int nPOSNo) {
  const std::string strFile = GetIniFile();
  const std::string strSection = SectionOf(nPOSNo);
  kw::FilterSaveBatch batch(strFile);  // the section is replaced whole or not at all
  kw::ClearFilterSection(strFile, strSection);
  kw::WriteFilterValue(strFile, strSection, "CKNum", Format("%d", GetKeyWordNum()));
  for (size_t i = 0; i < m_arrKeyWord.size(); ++i)
    WriteItem(strSection, static_cast<int>(i) + 1, m_arrKeyWord[i]);
  batch.Commit();
  return true;
}

bool ColorKeyCatcher::WriteItem(std::string strSection, int nItem, STRUCT_KeyWord* pKeyWord) {
  if (pKeyWord == nullptr) return true;
  const std::string strFile = GetIniFile();
  kw::WriteFilterValue(strFile, strSection, kw::ItemKey("CKItem%d", nItem),
                       Format("%s,%d", RecordText(pKeyWord->pszKeyWord).c_str(),
                              pKeyWord->nCatchFlags));
  kw::WriteFilterValue(strFile, strSection, kw::ItemKey("CKName%d", nItem),
                       Format("%s,%d,%d,%.3d", RecordText(pKeyWord->pszName).c_str(),
                              pKeyWord->nMDBType, pKeyWord->nMDBID,
                              static_cast<int>(pKeyWord->cDecimalSign)));
  uint32_t cr = pKeyWord->crKeyColor;
  kw::WriteFilterValue(strFile, strSection, kw::ItemKey("CKColor%d", nItem),
                       Format("%d,%d,%d,%d,%d", static_cast<int>(pKeyWord->nColorValue1),
                              static_cast<int>(pKeyWord->nColorValue2),
                              static_cast<int>(cr & 0xFF), static_cast<int>((cr >> 8) & 0xFF),
                              static_cast<int>((cr >> 16) & 0xFF)));
  kw::WriteFilterValue(strFile, strSection, kw::ItemKey("CKCatchTime%d", nItem),
                       Format("%d,%d,%d,%d,%d", pKeyWord->bCatchTime ? 1 : 0,
                              pKeyWord->stCatchStart.wHour, pKeyWord->stCatchStart.wMinute,
                              pKeyWord->stCatchEnd.wHour, pKeyWord->stCatchEnd.wMinute));
  if (pKeyWord->bCondition && pKeyWord->pCondition != nullptr)
    WriteIniCondition(strSection, nItem, pKeyWord->pCondition);
  else
    CleanIniCondition(strSection, nItem);
  return true;
}

bool ColorKeyCatcher::WriteIniCondition(const std::string& strSection, int nItem,
                                        STRUCT_Condition* pCondition) {
  if (pCondition != nullptr)
    kw::WriteConditionExtras(GetIniFile(), strSection, nItem, Names(), *pCondition);
  return true;
}

bool ColorKeyCatcher::WriteIniCondition_FreqRec(const std::string& strSection, int nItem,
                                                FreqRecList* pList) {
  return kw::WriteFreqRecs(GetIniFile(), strSection, nItem, Names(), pList);
}

bool ColorKeyCatcher::CleanIniCondition(const std::string& strSection, int nItem) {
  kw::CleanConditionExtras(GetIniFile(), strSection, nItem, Names());
  return true;
}

bool ColorKeyCatcher::WriteIni_FreqIdleRec(int nPOSNo) {
  kw::FilterSaveBatch batch(GetIniFile());
  kw::WriteLimitState(GetIniFile(), SectionOf(nPOSNo), m_arrKeyWord, Names());
  batch.Commit();
  return true;
}
