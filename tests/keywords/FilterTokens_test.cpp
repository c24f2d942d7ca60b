// The character-code tokens of the filter file: the same grammar as the
// command sets, and every sign the catcher saves loads back as it was.
#include <poshark/KeyDataCatcher.h>

#include "CatcherHelpers.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <string>

namespace poshark::testing {
namespace {

TEST(FilterTokensTest, HandWrittenSignsReadAsTheCommandSetsReadThemAndSavedSignsLoadBack) {
  const std::pair<const char*, char> kHandWritten[] = {
      {"SO", 14},
      {"so", 14},
      {"4294967338", '*'},  // 2^32 + 42: the low byte of the number, not of a capped int
      {"-4294967297", '\xFF'},
  };
  TempHome home;
  std::string text = "[POS1]\nNum=4\n";
  for (int n = 1; n <= 4; ++n) {
    const std::string i = std::to_string(n), token = kHandWritten[n - 1].first;
    text +=
        "Item" + i + "=K,1\nName" + i + "=k,2,0," + token + "\nN" + i + "_1KSign=" + token + "\n";
  }
  home.Write(kFilterFile, text);
  KeyDataCatcher catcher;
  ASSERT_TRUE(catcher.LoadIni(1));
  ASSERT_EQ(catcher.GetKeyWordNum(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(catcher.GetKeyWord(i)->cDecimalSign, kHandWritten[i].second) << i;
    EXPECT_EQ(catcher.GetKeyWord(i)->c1KSign, kHandWritten[i].second) << i;
  }
  ASSERT_TRUE(catcher.DeleteAllKeyWord());
  for (int c = -128; c <= 127; ++c) {
    const std::string key = "K" + std::to_string(c + 128);
    // The thousands sign differs from the decimal sign, so that a reader
    // that swapped the two keys would be seen.
    ASSERT_TRUE(
        AddKey(catcher, {key.c_str(), 1, static_cast<char>(c), static_cast<char>(127 - c)}));
  }
  ASSERT_TRUE(catcher.WriteIni(2));
  KeyDataCatcher loaded;
  ASSERT_TRUE(loaded.LoadIni(2));
  ASSERT_EQ(loaded.GetKeyWordNum(), 256);
  for (int i = 0; i < loaded.GetKeyWordNum(); ++i) {
    const STRUCT_KeyWord* pKey = loaded.GetKeyWord(i);
    const int c = std::stoi(pKey->pszKeyWord + 1) - 128;
    EXPECT_EQ(pKey->cDecimalSign, static_cast<char>(c)) << c;
    EXPECT_EQ(pKey->c1KSign, static_cast<char>(127 - c)) << c;
  }
}

}  // namespace
}  // namespace poshark::testing
