// What both catchers share, tested once: the list and its ownership rules,
// the MDB map, the result queues and the item keys of the filter file.
#include "keywords/CatcherCore.h"

#include "CatcherHelpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace poshark::keywords {
namespace {

using poshark::testing::TempHome;

STRUCT_KeyWord Fields(const char* pszKeyWord, int nType = 1, int nID = -1,
                      const char* pszName = nullptr, const STRUCT_Condition* pCond = nullptr) {
  return KeyFields(pszKeyWord, pszName, nType, nID, 0, 0, 0, false, {}, {}, pCond != nullptr,
                   pCond);
}

std::vector<int> Ids(const CatcherCore& core) {
  std::vector<int> out;
  for (const STRUCT_KeyWord* p : core.Keys()) out.push_back(p->nIndex * 100 + p->nMDBID);
  return out;
}

TEST(CatcherCoreListTest, AddTakesFreeIdsCopiesWhatItKeepsAndRefusesWhatItCannotHold) {
  CatcherCore core({1}, 3, kKeyWordLayout, 0);
  for (int i = 0; i < 3; ++i) ASSERT_NE(core.Add(Fields("K")), nullptr);
  EXPECT_EQ(core.Add(Fields("K")), nullptr);        // all three IDs taken
  EXPECT_EQ(core.Add(Fields("K", 2)), nullptr);     // no table: no free ID to hand out
  ASSERT_NE(core.Add(Fields("K", 2, 7)), nullptr);  // an explicit ID takes no slot
  std::string key31(31, 'k'), name40(40, 'n');
  for (const char* pszBad : {"", key31.c_str(), static_cast<const char*>(nullptr)})
    EXPECT_EQ(core.Add(Fields(pszBad, 1, 0)), nullptr);
  EXPECT_EQ(Ids(core), (std::vector<int>{0, 101, 202, 307}));
  STRUCT_Condition cond{};
  FreqRecList recs;
  recs.Add(SYSTEMTIME{2011, 1, 0, 1, 0, 0, 0, 0});
  cond.pFreqRecs = &recs;
  std::memset(cond.szValue1, 'a', sizeof cond.szValue1);  // unterminated
  STRUCT_KeyWord* p = core.Add(Fields(std::string(30, 'k').c_str(), 2, 0, name40.c_str(), &cond));
  ASSERT_TRUE(p && p->pCondition != &cond);
  // The copy owns its records; texts are cut to their buffers.
  EXPECT_TRUE(p->pCondition->pFreqRecs != &recs && p->pCondition->pFreqRecs->GetSize() == 1);
  EXPECT_EQ(std::tuple(std::string(p->pszName), std::strlen(p->pCondition->szValue1)),
            std::tuple(std::string(30, 'n'), 10u));
  STRUCT_KeyWord flagOnly = Fields("F", 2, 0);
  flagOnly.bCondition = true;  // a flag without a condition cannot be honoured
  EXPECT_FALSE(core.Add(flagOnly)->bCondition);
  EXPECT_STREQ(core.At(5)->pszName, "F");
}

TEST(CatcherCoreFileTest, ItemAndNameKeysSplitFromTheRight) {
  const std::string key31(31, 'k'), longName = std::string(40, 'n') + ",2,0,046";
  const std::string want40 = "K|" + std::string(30, 'n') + "|1|2|0|46";
  // layout, item key, name key, what is read ("key|name|flags|type|id|sign"; null: unusable)
  const std::tuple<const FilterLayout*, const char*, const char*, const char*> kCases[] = {
      {&kKeyWordLayout, "A,B,17", "x,y,3,4,044", "A,B|x,y|17|3|4|44"},
      {&kKeyWordLayout, "K,1", longName.c_str(), want40.c_str()},
      {&kKeyWordLayout, "K,1", "Total,12,3,", nullptr},  // the keyword catcher needs a sign
      {&kColorKeyLayout, "K,0", "Cash, card,12,4,SP", "K|Cash, card|0|12|4|32"},
      {&kColorKeyLayout, "NOCOMMA", "n,12,1,", nullptr},
      {&kColorKeyLayout, key31.c_str(), "n,12,1,", nullptr},
      {&kColorKeyLayout, "K,1", "Total,12", nullptr},
  };
  TempHome home;
  std::string text = "[S]\n";
  for (size_t i = 0; i < std::size(kCases); ++i) {
    const auto& [pLayout, pszItem, pszName, pszWant] = kCases[i];
    const std::string ck = pLayout == &kColorKeyLayout ? "CK" : "", n = std::to_string(i + 1);
    text += ck + "Item" + n + "=" + pszItem + "\n" + ck + "Name" + n + "=" + pszName + "\n";
  }
  home.Write(poshark::testing::kFilterFile, text);
  platform::ProfileReader reader(home.FilterPath().c_str());
  for (size_t i = 0; i < std::size(kCases); ++i) {
    const auto& [pLayout, pszItem, pszName, pszWant] = kCases[i];
    ScratchItem scratch;
    STRUCT_KeyWord* p = scratch.Clear();
    bool bRead = CatcherCore({1}, 5, *pLayout, 0)
                     .ReadNames(FilterSection(reader, "S"), static_cast<int>(i) + 1, p);
    EXPECT_EQ(bRead ? Format("%s|%s|%d|%d|%d|%d", p->pszKeyWord, p->pszName, p->nCatchFlags,
                             p->nMDBType, p->nMDBID, p->cDecimalSign)
                    : "-",
              pszWant ? pszWant : "-")
        << pszItem << " " << pszName;
  }
}

}  // namespace
}  // namespace poshark::keywords
