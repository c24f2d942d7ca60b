#include <poshark/KeyDataCatcher.h>

#include "CatcherHelpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace poshark::testing {
namespace {

using Strings = std::vector<std::string>;

KeyArgs Typed(const char* pszKeyWord, int nType, int nId) {
  return {pszKeyWord, 1, '.', ',', 0, nullptr, nType, nId};
}

STRUCT_KeyWord* NewRecord(const char* pszKeyWord, int nFlags) {
  auto* p = new STRUCT_KeyWord{};
  p->pszKeyWord = static_cast<char*>(std::calloc(31, 1));
  p->pszName = static_cast<char*>(std::calloc(31, 1));
  std::strncpy(p->pszKeyWord, pszKeyWord, 30);
  std::strncpy(p->pszName, pszKeyWord, 30);
  p->nKeyLen = 99;  // recomputed by SetKeyWord
  p->nCatchFlags = nFlags;
  p->nMDBType = 2;
  return p;
}

TEST(KeyListTest, TypesOneThreeAndFourHaveFiveIdsAndRegroupingOrdersByFirstByte) {
  KeyDataCatcher catcher;
  for (int nType : {1, 3, 4})
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(AddKey(catcher, Typed("K", nType, -1)));
  EXPECT_FALSE(AddKey(catcher, Typed("K", 4, -1)));
  EXPECT_FALSE(AddKey(catcher, Typed("K", 2, -1)));
  ASSERT_TRUE(catcher.DeleteKeyWord(0));
  EXPECT_EQ(catcher.GetKeyWord(0)->nIndex, 1);
  catcher.ReBuildAllFromGroup();
  EXPECT_EQ(catcher.GetKeyWord(0)->nIndex, 0);
  EXPECT_EQ(catcher.GetNewMDBID(1), 0);  // the map is rebuilt from the records
  EXPECT_THROW(catcher.DeleteKeyWord(-1), std::invalid_argument);

  KeyDataCatcher grouped;
  int nId = 0;
  for (const char* psz : {"TOTAL", "SUM", "TAX"})
    ASSERT_TRUE(AddKey(grouped, Typed(psz, 3, nId++)));
  grouped.ReBuildGroupFromAll();
  ASSERT_TRUE(AddKey(grouped, Typed("TIP", 3, nId++)));
  grouped.ReBuildAllFromGroup();
  EXPECT_EQ(KeyWords(grouped), (Strings{"TOTAL", "TAX", "SUM", "TIP"}));
  grouped.SetMDBID2KeyImdex(3, 2, 1);  // TAX (ID 2) is now at index 1
  EXPECT_EQ(grouped.GetNewMDBID(3), 4);
}

TEST(KeyListTest, ReplacedRecordsAreRegroupedAndMatchingNeverReachesReleasedOnes) {
  KeyDataCatcher catcher;
  ASSERT_TRUE(AddKey(catcher, {"TOTAL", 1}));
  ASSERT_TRUE(AddKey(catcher, {"SUM", 1}));
  catcher.ReBuildGroupFromAll();
  ASSERT_TRUE(catcher.SetKeyWord(NewRecord("TAX", 1), 0));  // same first byte: in place
  EXPECT_EQ(catcher.GetKeyWord(0)->nKeyLen, 3);
  EXPECT_EQ(FeedLine(catcher, "TOTAL 1 TAX 2 SUM 3"), (Strings{"2", "3"}));
  STRUCT_KeyWord* p = catcher.GetKeyWord(0);  // edited in place under a new first byte
  std::strcpy(p->pszKeyWord, "NET");
  ASSERT_TRUE(catcher.SetKeyWord(p, 0));
  EXPECT_EQ(FeedLine(catcher, "TAX 1 NET 2"), Strings{"2"});
  EXPECT_FALSE(catcher.SetKeyWord(catcher.GetKeyWord(1), 0));  // would be released twice
  // A waiting keyword follows its replacement.
  int nCount = 0;
  catcher.FindKeyData("NET", 3, nCount);
  ASSERT_TRUE(catcher.SetKeyWord(NewRecord("NET", 16), 0));  // now text
  EXPECT_EQ(FeedLine(catcher, " AB12"), Strings{"AB12"});
  // A waiting keyword deleted, groups released, everything released.
  catcher.FindKeyData("SUM", 3, nCount);
  ASSERT_TRUE(catcher.DeleteKeyWord(1));
  EXPECT_EQ(FeedLine(catcher, " 5"), Strings{});
  catcher.ReleaseKeyWordGroup();
  EXPECT_EQ(FeedLine(catcher, "NET X"), Strings{});
  catcher.ReBuildGroupFromAll();
  catcher.FindKeyData("NET", 3, nCount);
  ASSERT_TRUE(catcher.DeleteAllKeyWord());
  EXPECT_EQ(FeedLine(catcher, " 9 NET 10"), Strings{});
  EXPECT_EQ(catcher.GetNewMDBID(1), 0);
}

}  // namespace
}  // namespace poshark::testing
