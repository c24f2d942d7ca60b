// The character-code tokens of the filter file: the same grammar as the
// command sets, and every sign the catcher saves loads back as it was.
#include <poshark/KeyDataCatcher.h>

#include "CatcherHelpers.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <string>

namespace poshark::testing {
namespace {

TEST(FilterTokensTest, HandWrittenSignsReadAsTheCommandSetsReadThem) {
  const struct {
    const char* pszToken;
    char cSign;
  } kCases[] = {
      {"SO", 14},
      {"so", 14},
      {"4294967338", '*'},  // 2^32 + 42: the low byte of the number, not of a capped int
      {"-4294967297", '\xFF'},
  };
  TempHome home;
  std::string text = "[POS1]\nNum=" + std::to_string(std::size(kCases)) + "\n";
  int n = 0;
  for (const auto& c : kCases) {
    ++n;
    text += "Item" + std::to_string(n) + "=K" + std::to_string(n) + ",1\n";
    text += "Name" + std::to_string(n) + "=k,2,0," + c.pszToken + "\n";
    text += "N" + std::to_string(n) + "_1KSign=" + c.pszToken + "\n";
  }
  home.Write("POSKeyFilter.ini", text);
  KeyDataCatcher catcher;
  ASSERT_TRUE(catcher.LoadIni(1));
  ASSERT_EQ(catcher.GetKeyWordNum(), static_cast<int>(std::size(kCases)));
  for (int i = 0; i < catcher.GetKeyWordNum(); ++i) {
    EXPECT_EQ(catcher.GetKeyWord(i)->cDecimalSign, kCases[i].cSign) << kCases[i].pszToken;
    EXPECT_EQ(catcher.GetKeyWord(i)->c1KSign, kCases[i].cSign) << kCases[i].pszToken;
  }
}

TEST(FilterTokensTest, EverySavedSignLoadsBackUnchanged) {
  TempHome home;
  KeyDataCatcher catcher;
  for (int c = -128; c <= 127; ++c) {
    const std::string key = "K" + std::to_string(c + 128);
    const char cSign = static_cast<char>(c);
    // The thousands sign differs from the decimal sign, so that a reader
    // that swapped the two keys would be seen.
    ASSERT_TRUE(AddKey(catcher, {key.c_str(), 1, cSign, static_cast<char>(127 - c)}));
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
