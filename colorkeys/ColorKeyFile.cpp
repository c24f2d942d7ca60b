// ColorKeyCatcher: its items in section "ColorKey<p>" of the filter file.
// The value grammar, the condition keys, the frequency records and the
// section handling are shared with the keyword catcher (CatcherCore); only
// the item keys below are the colour keys' own.
#include <poshark/ColorKeyCatcher.h>

#include "keywords/CatcherCore.h"
#include "keywords/FilterFile.h"
#include "keywords/Records.h"
#include "platform/Text.h"

#include <cstdlib>
#include <cstring>

namespace kw = poshark::keywords;
using kw::Format;

namespace {

// Colour components when the file gives none: white.
constexpr int kDefaultComponent = 255;

// "CKCatchTime<n>" = flag,start hour,start minute,end hour,end minute.
void ReadCatchTime(const kw::FilterSection& section, int n, STRUCT_KeyWord* pKey) {
  kw::LeftFields fields(section.Value("CKCatchTime%d", n));
  int nFlag = 0;
  int nTimes[4] = {0, 0, 0, 0};
  pKey->bCatchTime = fields.NextInt(&nFlag) && nFlag != 0;
  if (pKey->bCatchTime)
    for (int& t : nTimes)
      if (!fields.NextInt(&t)) break;
  pKey->stCatchStart = pKey->stCatchEnd = SYSTEMTIME{};
  pKey->stCatchStart.wHour = static_cast<uint16_t>(nTimes[0]);
  pKey->stCatchStart.wMinute = static_cast<uint16_t>(nTimes[1]);
  pKey->stCatchEnd.wHour = static_cast<uint16_t>(nTimes[2]);
  pKey->stCatchEnd.wMinute = static_cast<uint16_t>(nTimes[3]);
}

// "CKColor<n>" = flag,value 2,red,green,blue; a 0 flag ends the value.
void ReadColor(const kw::FilterSection& section, int n, STRUCT_KeyWord* pKey) {
  kw::LeftFields fields(section.Value("CKColor%d", n));
  int nFlag = 0, nValue2 = 0;
  int nRGB[3] = {kDefaultComponent, kDefaultComponent, kDefaultComponent};
  pKey->nColorValue1 = fields.NextInt(&nFlag) && nFlag != 0 ? 1 : 0;
  pKey->nColorValue2 = 0;
  if (pKey->nColorValue1 != 0 && fields.NextInt(&nValue2)) {
    pKey->nColorValue2 = static_cast<uint32_t>(nValue2);
    for (int& c : nRGB)
      if (!fields.NextInt(&c)) break;
  }
  pKey->crKeyColor = static_cast<uint32_t>(nRGB[0] & 0xFF) |
                     static_cast<uint32_t>(nRGB[1] & 0xFF) << 8 |
                     static_cast<uint32_t>(nRGB[2] & 0xFF) << 16;
}

// Colour keys compare nothing: only forwarding, output and the limits
// count, and a condition is kept only with a forwarding target or an output.
bool ReadCondition(const kw::CatcherCore& core, const kw::FilterSection& section, int n,
                   STRUCT_Condition* pCond) {
  STRUCT_Condition c{};
  c.pFreqRecs = pCond->pFreqRecs;
  *pCond = c;
  core.ReadConditionExtras(section, n, pCond);
  return pCond->bRNV || pCond->bOutput;
}

bool ReadItem(const kw::CatcherCore& core, const kw::FilterSection& section, int n,
              STRUCT_KeyWord* pKey) {
  if (!core.ReadNames(section, n, pKey)) return false;
  std::free(pKey->pszKeyRTL);
  pKey->pszKeyRTL = nullptr;
  pKey->bShift = false;
  pKey->nShift = 0;
  ReadCatchTime(section, n, pKey);
  ReadColor(section, n, pKey);
  if (pKey->pCondition != nullptr) {
    pKey->bCondition = ReadCondition(core, section, n, pKey->pCondition);
    return true;
  }
  // A record without a condition gets one only when the item has one.
  STRUCT_Condition cond{};
  FreqRecList recs;
  cond.pFreqRecs = &recs;
  pKey->bCondition = ReadCondition(core, section, n, &cond);
  if (pKey->bCondition) pKey->pCondition = kw::CopyCondition(cond);
  return true;
}

void WriteItemKeys(const kw::CatcherCore& core, kw::FilterWriter& out, const std::string& section,
                   int n, STRUCT_KeyWord* pKey) {
  core.WriteNames(out, section, n, *pKey);
  uint32_t cr = pKey->crKeyColor;
  out.Write(section, kw::ItemKey("CKColor%d", n),
            Format("%d,%d,%d,%d,%d", static_cast<int>(pKey->nColorValue1),
                   static_cast<int>(pKey->nColorValue2), static_cast<int>(cr & 0xFF),
                   static_cast<int>((cr >> 8) & 0xFF), static_cast<int>((cr >> 16) & 0xFF)));
  out.Write(section, kw::ItemKey("CKCatchTime%d", n),
            Format("%d,%d,%d,%d,%d", pKey->bCatchTime ? 1 : 0, pKey->stCatchStart.wHour,
                   pKey->stCatchStart.wMinute, pKey->stCatchEnd.wHour, pKey->stCatchEnd.wMinute));
  core.WriteConditionKeys(out, section, n, *pKey);
}

}  // namespace

bool ColorKeyCatcher::LoadIni(int nPOSNo) {
  ReleaseKeyWordAll();
  const kw::CatcherCore& core = *m_pCore;
  m_pCore->Load(
      nPOSNo,
      [&core](const kw::FilterSection& s, int n, STRUCT_KeyWord* p) {
        return ReadItem(core, s, n, p);
      },
      [this](STRUCT_KeyWord* p) { AddKeyWord(p); });
  return true;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the exported signature takes a copy
bool ColorKeyCatcher::LoadIniItem(std::string strSection, int nItem, STRUCT_KeyWord* pKeyWord) {
  const kw::CatcherCore& core = *m_pCore;
  return m_pCore->LoadOne(strSection, nItem, pKeyWord,
                          [&core](const kw::FilterSection& s, int n, STRUCT_KeyWord* p) {
                            return ReadItem(core, s, n, p);
                          });
}

bool ColorKeyCatcher::WriteIni(int nPOSNo) {
  const kw::CatcherCore& core = *m_pCore;
  m_pCore->Save(nPOSNo, [&core](kw::FilterWriter& out, const std::string& s, int n,
                                STRUCT_KeyWord* p) { WriteItemKeys(core, out, s, n, p); });
  return true;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the exported signature takes a copy
bool ColorKeyCatcher::WriteItem(std::string strSection, int nItem, STRUCT_KeyWord* pKeyWord) {
  const kw::CatcherCore& core = *m_pCore;
  m_pCore->SaveOne(strSection, nItem, pKeyWord,
                   [&core](kw::FilterWriter& out, const std::string& s, int n, STRUCT_KeyWord* p) {
                     WriteItemKeys(core, out, s, n, p);
                   });
  return true;
}
