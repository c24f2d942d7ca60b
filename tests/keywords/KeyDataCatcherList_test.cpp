#include <poshark/KeyDataCatcher.h>

#include "CatcherHelpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace poshark::testing {
namespace {

std::vector<int> Indexes(KeyDataCatcher& catcher) {
  std::vector<int> out;
  for (int i = 0; i < catcher.GetKeyWordNum(); ++i) out.push_back(catcher.GetKeyWord(i)->nIndex);
  return out;
}

KeyArgs Typed(const char* pszKeyWord, int nType, int nId) {
  return {pszKeyWord, 1, '.', ',', 0, nullptr, nType, nId};
}

TEST(KeyListTest, TypesOneThreeAndFourHaveFiveIdsAndIndexesWaitForTheRebuild) {
  KeyDataCatcher catcher;
  for (int nType : {1, 3, 4})
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(AddKey(catcher, Typed("K", nType, -1)));
  EXPECT_FALSE(AddKey(catcher, Typed("K", 4, -1)));
  EXPECT_FALSE(AddKey(catcher, Typed("K", 2, -1)));
  ASSERT_TRUE(catcher.DeleteKeyWord(0));
  EXPECT_EQ(catcher.GetNewMDBID(1), 0);
  EXPECT_EQ(catcher.GetKeyWord(0)->nIndex, 1);
  catcher.ReBuildAllFromGroup();
  EXPECT_EQ(catcher.GetKeyWord(0)->nIndex, 0);
  EXPECT_EQ(catcher.GetNewMDBID(1), 0);  // the map is rebuilt from the records
  EXPECT_THROW(catcher.DeleteKeyWord(-1), std::invalid_argument);
  EXPECT_FALSE(catcher.AddKeyWord(nullptr));
}

TEST(KeyListTest, RegroupingOrdersByFirstByteAndKeepsKeywordsAddedSince) {
  KeyDataCatcher catcher;
  int nId = 0;
  for (const char* psz : {"TOTAL", "SUM", "TAX"})
    ASSERT_TRUE(AddKey(catcher, Typed(psz, 3, nId++)));
  catcher.ReBuildGroupFromAll();
  ASSERT_TRUE(AddKey(catcher, Typed("TIP", 3, nId++)));
  catcher.ReBuildAllFromGroup();
  EXPECT_EQ(KeyWords(catcher), (std::vector<std::string>{"TOTAL", "TAX", "SUM", "TIP"}));
  EXPECT_EQ(Indexes(catcher), (std::vector<int>{0, 1, 2, 3}));
  // The map follows the new positions: TAX (ID 2) is now at index 1.
  catcher.SetMDBID2KeyImdex(3, 2, 1);
  EXPECT_EQ(catcher.GetNewMDBID(3), 4);
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

TEST(SetKeyWordTest, ReplacedAndEditedRecordsAreRegroupedReleasedOnceAndKeepAWaitingMatch) {
  KeyDataCatcher catcher;
  ASSERT_TRUE(AddKey(catcher, {"TOTAL", 1}));
  ASSERT_TRUE(AddKey(catcher, {"SUM", 1}));
  catcher.ReBuildGroupFromAll();
  // Same first byte: the group entry is replaced in place.
  ASSERT_TRUE(catcher.SetKeyWord(NewRecord("TAX", 1), 0));
  EXPECT_EQ(catcher.GetKeyWord(0)->nKeyLen, 3);
  EXPECT_EQ(FeedLine(catcher, "TOTAL 1 TAX 2 SUM 3"), (std::vector<std::string>{"2", "3"}));
  // Other first byte: the groups are rebuilt.
  ASSERT_TRUE(catcher.SetKeyWord(NewRecord("VAT", 1), 0));
  EXPECT_EQ(FeedLine(catcher, "TAX 2 VAT 4"), std::vector<std::string>{"4"});
  // Edited in place and stored back under a new first byte.
  STRUCT_KeyWord* p = catcher.GetKeyWord(0);
  std::strcpy(p->pszKeyWord, "NET");
  ASSERT_TRUE(catcher.SetKeyWord(p, 0));
  EXPECT_EQ(FeedLine(catcher, "VAT 1 NET 2"), std::vector<std::string>{"2"});
  // One record at two places would be released twice.
  EXPECT_FALSE(catcher.SetKeyWord(catcher.GetKeyWord(1), 0));
  EXPECT_FALSE(catcher.SetKeyWord(nullptr, 0));
  // A waiting keyword follows its replacement.
  int nCount = 0;
  catcher.FindKeyData("NET", 3, nCount);
  ASSERT_TRUE(catcher.SetKeyWord(NewRecord("NET", 16), 0));  // now text
  EXPECT_EQ(FeedLine(catcher, " AB12"), std::vector<std::string>{"AB12"});
}

TEST(ReleaseTest, MatchingNeverReachesReleasedRecords) {
  KeyDataCatcher catcher;
  ASSERT_TRUE(AddKey(catcher, {"TOTAL", 1}));
  ASSERT_TRUE(AddKey(catcher, {"TAX", 1}));
  catcher.ReBuildGroupFromAll();
  int nCount = 0;
  // A keyword waiting for its data is deleted: nothing is captured for it.
  catcher.FindKeyData("TAX", 3, nCount);
  ASSERT_TRUE(catcher.DeleteKeyWord(1));
  EXPECT_EQ(FeedLine(catcher, " 5 TOTAL 6"), std::vector<std::string>{"6"});
  // Released groups stop matching but keep the keywords.
  catcher.ReleaseKeyWordGroup();
  EXPECT_EQ(FeedLine(catcher, "TOTAL 1"), std::vector<std::string>{});
  catcher.ReBuildGroupFromAll();
  // Released wholesale while one waits; the groups go with the records.
  catcher.FindKeyData("TOTAL", 5, nCount);
  catcher.ReleaseKeyWordAll();
  EXPECT_EQ(catcher.GetKeyWordNum(), 0);
  EXPECT_EQ(FeedLine(catcher, " 7 TOTAL 8"), std::vector<std::string>{});
  ASSERT_TRUE(AddKey(catcher, {"TOTAL", 1}));
  catcher.ReBuildGroupFromAll();
  catcher.FindKeyData("TOTAL", 5, nCount);
  ASSERT_TRUE(catcher.DeleteAllKeyWord());
  EXPECT_EQ(FeedLine(catcher, " 9 TOTAL 10"), std::vector<std::string>{});
  EXPECT_EQ(catcher.GetNewMDBID(1), 0);
}

}  // namespace
}  // namespace poshark::testing
