// Shorthands for driving a KeyDataCatcher in tests.
#pragma once

#include <poshark/KeyDataCatcher.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace poshark::testing {

struct KeySpec {
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

inline bool AddKey(KeyDataCatcher& catcher, const KeySpec& spec) {
  return catcher.AddKeyWord(spec.pszKeyWord, spec.nCatchFlags, spec.nShift > 0, spec.nShift,
                            spec.pszName, spec.nMDBType, spec.nMDBID, spec.cDecimalSign,
                            spec.c1KSign, 0, 0, 0, false, SYSTEMTIME{}, SYSTEMTIME{},
                            spec.pCondition != nullptr, spec.pCondition);
}

struct Caught {
  std::string text;
  int nMDBID;
  int nMDBType;
  STRUCT_AlarmData alarm;
};

// Collects every queued result with the three-array form.
inline std::vector<Caught> Collect(KeyDataCatcher& catcher) {
  STRUCT_CatchData* pNull = nullptr;
  int nWaiting = catcher.GetKeyData(pNull, 0);
  std::vector<STRUCT_CatchData> c(static_cast<size_t>(nWaiting) + 1);
  std::vector<STRUCT_AlarmData> a(c.size());
  std::vector<STRUCT_ColorKeyRange> r(c.size());
  int nGot = catcher.GetKeyData(c.data(), a.data(), r.data(), nWaiting);
  std::vector<Caught> out;
  for (int i = 0; i < nGot; ++i) {
    out.push_back(Caught{c[i].pszData ? c[i].pszData : "<null>", c[i].nMDBID, c[i].nMDBType, a[i]});
    EXPECT_EQ(r[i].nStart, 0);
    EXPECT_EQ(r[i].nEnd, 0);
    EXPECT_EQ(r[i].crKeyColor, 0u);
    std::free(c[i].pszData);
  }
  return out;
}

inline std::vector<std::string> Texts(const std::vector<Caught>& caught) {
  std::vector<std::string> out;
  for (const Caught& c : caught) out.push_back(c.text);
  return out;
}

// Feeds one line and answers the texts caught from it.
inline std::vector<std::string> FeedLine(KeyDataCatcher& catcher, const std::string& line,
                                         bool* pbResult = nullptr, int* pnCount = nullptr) {
  int nCount = 0;
  bool bResult = catcher.FindKeyData(line.data(), static_cast<int>(line.size()), nCount);
  if (pbResult) *pbResult = bResult;
  if (pnCount) *pnCount = nCount;
  return Texts(Collect(catcher));
}

inline STRUCT_Condition NumericCondition(int nOperator, float fValue) {
  STRUCT_Condition cond{};
  cond.bNumeric = true;
  cond.nOperator1 = nOperator;
  cond.fValue1 = fValue;
  return cond;
}

inline STRUCT_Condition TextCondition(int nOperator, const char* pszValue) {
  STRUCT_Condition cond{};
  cond.nOperator1 = nOperator;
  std::strncpy(cond.szValue1, pszValue, sizeof cond.szValue1 - 1);
  return cond;
}

}  // namespace poshark::testing
