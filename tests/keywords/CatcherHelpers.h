// Shorthands for driving the catchers in tests: keywords, times, a fake
// local clock and the filter file of a temporary home.
#pragma once

#include <poshark/KeyDataCatcher.h>

#include "platform/Clock.h"
#include "platform/Profile.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace poshark::testing {

inline SYSTEMTIME MakeTime(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  auto w = [](int n) { return static_cast<uint16_t>(n); };
  return SYSTEMTIME{w(y), w(mo), 0, w(d), w(h), w(mi), w(s), 0};
}

inline constexpr const char* kFilterFile = "POSKeyFilter.ini";

struct KeyArgs {
  const char* pszKeyWord;
  int nCatchFlags = 1;
  char cDecimalSign = '.';
  char c1KSign = ',';
  int nShift = 0;  // > 0 turns bShift on
  STRUCT_Condition* pCondition = nullptr;
  int nMDBType = 2;  // no map slot: any number of keywords
  int nMDBID = 0;
  const char* pszName = nullptr;
};

inline bool AddKey(KeyDataCatcher& catcher, const KeyArgs& key) {
  return catcher.AddKeyWord(key.pszKeyWord, key.nCatchFlags, key.nShift > 0, key.nShift,
                            key.pszName, key.nMDBType, key.nMDBID, key.cDecimalSign, key.c1KSign, 0,
                            0, 0, false, SYSTEMTIME{}, SYSTEMTIME{}, key.pCondition != nullptr,
                            key.pCondition);
}

struct Caught {
  std::string text;  // "" for a colour key
  int nMDBID, nMDBType;
  STRUCT_AlarmData alarm;
  STRUCT_ColorKeyRange range;
};

// Collects every queued result of either catcher with the three-array form.
template <class Catcher>
std::vector<Caught> Collect(Catcher& catcher) {
  STRUCT_CatchData* pNull = nullptr;
  int nWaiting = catcher.GetKeyData(pNull, 0);
  std::vector<STRUCT_CatchData> c(static_cast<size_t>(nWaiting) + 1);
  std::vector<STRUCT_AlarmData> a(c.size());
  std::vector<STRUCT_ColorKeyRange> r(c.size());
  EXPECT_EQ(catcher.GetKeyData(c.data(), a.data(), r.data(), nWaiting), nWaiting);
  std::vector<Caught> out;
  for (int i = 0; i < nWaiting; ++i) {
    out.push_back(Caught{c[i].pszData ? c[i].pszData : "", c[i].nMDBID, c[i].nMDBType, a[i], r[i]});
    std::free(c[i].pszData);
  }
  return out;
}

// Feeds one line to the keyword catcher; answers the texts caught from it,
// each followed by "!" when it raised an alarm.
inline std::vector<std::string> FeedLine(KeyDataCatcher& catcher, const std::string& line,
                                         bool* pbResult = nullptr, int* pnCount = nullptr) {
  int nCount = 0;
  bool bResult = catcher.FindKeyData(line.data(), static_cast<int>(line.size()), nCount);
  if (pbResult) *pbResult = bResult;
  if (pnCount) *pnCount = nCount;
  std::vector<std::string> out;
  for (const Caught& c : Collect(catcher)) {
    out.push_back(c.text + (c.alarm.bAlarm ? "!" : ""));
    EXPECT_EQ(c.range.nEnd, 0);  // keywords carry no colour range
  }
  return out;
}

inline std::vector<std::string> KeyWords(KeyDataCatcher& catcher) {
  std::vector<std::string> out;
  for (int i = 0; i < catcher.GetKeyWordNum(); ++i)
    out.push_back(catcher.GetKeyWord(i)->pszKeyWord);
  return out;
}

// A condition on one operand, read as a number unless bNumeric is false.
inline STRUCT_Condition Condition(int nOperator, const char* pszValue, bool bNumeric = true) {
  STRUCT_Condition cond{};
  cond.bNumeric = bNumeric;
  cond.nOperator1 = nOperator;
  cond.fValue1 = std::strtof(pszValue, nullptr);
  std::strncpy(cond.szValue1, pszValue, sizeof cond.szValue1 - 1);
  return cond;
}

}  // namespace poshark::testing
