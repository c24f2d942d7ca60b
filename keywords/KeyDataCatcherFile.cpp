// KeyDataCatcher: its items in section "POS<n>" of the filter file. The
// condition keys after the comparisons, the frequency records and the
// section handling are shared with the colour-key catcher (CatcherCore).
#include <poshark/KeyDataCatcher.h>

#include "keywords/CatcherCore.h"
#include "keywords/FilterFile.h"
#include "keywords/Records.h"
#include "platform/Number.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>

namespace kw = poshark::keywords;

namespace {

std::string BoundedText(const char* pszText, size_t nMax) {
  return pszText == nullptr ? std::string() : std::string(pszText, strnlen(pszText, nMax));
}

// "%.3d" of a character, sign-extended: "046" for ".", "-001" for -1.
std::string CharCode(char c) { return kw::Format("%.3d", static_cast<int>(c)); }

// An operand as it is saved: its text, or for a numeric operand that has
// no text (a host set only the number) the number in the user's notation.
std::string OperandText(const char* pszText, size_t nSize, bool bNumeric, float fValue) {
  std::string text = BoundedText(pszText, nSize);
  if (text.empty() && bNumeric) {
    text = poshark::platform::LocaleFloatToText(fValue);
  }
  return text;
}

// Operator and operand text (at most kMaxOperandLen) of one comparison.
bool ReadComparison(kw::LeftFields& fields, int* pnOperator, std::string* pText) {
  return fields.NextInt(pnOperator) && fields.Rest(pText) &&
         pText->size() <= static_cast<size_t>(kw::kMaxOperandLen);
}

// The operand of a numeric condition as a number, in the user's notation.
bool ToNumber(bool bNumeric, const std::string& text, float* pfValue) {
  return !bNumeric || poshark::platform::LocaleTextToFloat(text.c_str(), pfValue);
}

void CopyOperand(char (&szTo)[sizeof STRUCT_Condition::szValue1], const std::string& text) {
  std::memset(szTo, 0, sizeof szTo);
  std::memcpy(szTo, text.c_str(), std::min(text.size(), sizeof szTo - 1));
}

// "Condition<n>_1" and "_2", then the shared condition keys. True when the
// item has a usable condition; pCond is filled only then.
bool ReadCondition(const kw::CatcherCore& core, const kw::FilterSection& section, int n,
                   bool bNumeric, STRUCT_Condition* pCond) {
  if (pCond == nullptr) return false;
  STRUCT_Condition c{};
  std::string value1, value2;
  kw::LeftFields first(section.Value("Condition%d_1", n));
  int nPresent = 0;
  if (!first.NextInt(&nPresent) || nPresent == 0 ||
      !ReadComparison(first, &c.nOperator1, &value1) || !ToNumber(bNumeric, value1, &c.fValue1))
    return false;
  kw::LeftFields second(section.Value("Condition%d_2", n));
  second.NextInt(&c.nJoin);
  if (c.nJoin != 0 && !ReadComparison(second, &c.nOperator2, &value2)) {
    c.nJoin = 0;  // no usable second comparison
    c.nOperator2 = 0;
    value2.clear();
  }
  if (c.nJoin != 0 && !ToNumber(bNumeric, value2, &c.fValue2)) return false;
  c.bNumeric = bNumeric;
  c.pFreqRecs = pCond->pFreqRecs;
  CopyOperand(c.szValue1, value1);
  CopyOperand(c.szValue2, value2);
  *pCond = c;
  core.ReadConditionExtras(section, n, pCond);
  return true;
}

bool ReadItem(const kw::CatcherCore& core, const kw::FilterSection& section, int n,
              STRUCT_KeyWord* pKey) {
  if (!core.ReadNames(section, n, pKey)) return false;
  pKey->pszKeyRTL = nullptr;
  kw::LeftFields shift(section.Value("Shift%d", n));
  int nFlag = 0, nShift = 0;
  pKey->bShift = shift.NextInt(&nFlag) && nFlag != 0 && shift.NextInt(&nShift) && nShift > 0;
  pKey->nShift = pKey->bShift ? nShift : 0;
  std::string kSign = section.Value("N%d_1KSign", n);
  pKey->c1KSign = kSign.empty() ? ',' : kw::ASCII2BYTE(kSign);
  // The colour-key fields have no keys here.
  pKey->bCatchTime = false;
  pKey->stCatchStart = pKey->stCatchEnd = SYSTEMTIME{};
  pKey->nColorValue1 = pKey->nColorValue2 = pKey->crKeyColor = 0;
  pKey->bCondition = ReadCondition(
      core, section, n, (pKey->nCatchFlags & POSHARK_CATCH_DIGITS) != 0, pKey->pCondition);
  return true;
}

void WriteCondition(kw::FilterWriter& out, const std::string& section, int n,
                    const STRUCT_Condition& c) {
  out.Write(section, kw::ItemKey("Condition%d_1", n),
            "1," + std::to_string(c.nOperator1) + "," +
                OperandText(c.szValue1, sizeof c.szValue1, c.bNumeric, c.fValue1));
  std::string value2 = c.nJoin != 0
                           ? OperandText(c.szValue2, sizeof c.szValue2, c.bNumeric, c.fValue2)
                           : BoundedText(c.szValue2, sizeof c.szValue2);
  out.Write(section, kw::ItemKey("Condition%d_2", n),
            std::to_string(c.nJoin) + "," + std::to_string(c.nOperator2) + "," + value2);
}

void WriteItemKeys(const kw::CatcherCore& core, kw::FilterWriter& out, const std::string& section,
                   int n, STRUCT_KeyWord* pKey) {
  core.WriteNames(out, section, n, *pKey);
  out.Write(section, kw::ItemKey("N%d_1KSign", n), CharCode(pKey->c1KSign));
  // Saved in the form the loader reads, so that a save keeps the shift.
  bool bShift = pKey->bShift && pKey->nShift > 0;
  out.Write(section, kw::ItemKey("Shift%d", n),
            std::string(bShift ? "1," : "0,") + std::to_string(bShift ? pKey->nShift : 0));
  if (pKey->bCondition && pKey->pCondition != nullptr)
    WriteCondition(out, section, n, *pKey->pCondition);
  core.WriteConditionKeys(out, section, n, *pKey);
}

}  // namespace

bool KeyDataCatcher::LoadIni(int nPOSNo) {
  ReleaseKeyWordAll();
  kw::CatcherCore& core = *m_pCore;
  core.Load(
      nPOSNo,
      [&core](const kw::FilterSection& s, int n, STRUCT_KeyWord* p) {
        return ReadItem(core, s, n, p);
      },
      [&core](STRUCT_KeyWord* p) { core.Add(*p); });
  ReBuildGroupFromAll();
  return true;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the exported signature takes a copy
bool KeyDataCatcher::LoadIniItem(std::string strSection, int n, STRUCT_KeyWord* pKeyWord) {
  kw::CatcherCore& core = *m_pCore;
  return core.LoadOne(strSection, n, pKeyWord,
                      [&core](const kw::FilterSection& s, int nItem, STRUCT_KeyWord* p) {
                        return ReadItem(core, s, nItem, p);
                      });
}

bool KeyDataCatcher::WriteIni(int nPOSNo) {
  ReBuildGroupFromAll();
  ReBuildAllFromGroup();
  kw::CatcherCore& core = *m_pCore;
  core.Save(nPOSNo, [&core](kw::FilterWriter& out, const std::string& s, int n, STRUCT_KeyWord* p) {
    WriteItemKeys(core, out, s, n, p);
  });
  return true;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the exported signature takes a copy
bool KeyDataCatcher::WriteItem(std::string strSection, int n, STRUCT_KeyWord* pKeyWord) {
  kw::CatcherCore& core = *m_pCore;
  core.SaveOne(strSection, n, pKeyWord,
               [&core](kw::FilterWriter& out, const std::string& s, int nItem, STRUCT_KeyWord* p) {
                 WriteItemKeys(core, out, s, nItem, p);
               });
  return true;
}
