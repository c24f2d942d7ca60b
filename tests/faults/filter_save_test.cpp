// The filter file under faults: a saving process killed at any moment, and
// catchers of different POS numbers and kinds saving into one file at once.
#include <poshark/ColorKeyCatcher.h>
#include <poshark/KeyDataCatcher.h>

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "keywords/CatcherHelpers.h"
#include "platform/Profile.h"
#include "support/ChildProcess.h"
#include "support/TempHome.h"

namespace {

using poshark::testing::ChildProcess;
using Keys = std::vector<std::string>;

Keys MakeKeys(const std::string& prefix, int n) {
  Keys keys;
  for (int i = 1; i <= n; ++i) keys.push_back(prefix + std::to_string(i));
  return keys;
}

// Saves the keys as keywords (bColor false) or colour keys of POS nPOS.
void Save(const Keys& keys, int nPOS, bool bColor = false) {
  KeyDataCatcher keywords;
  ColorKeyCatcher colors;
  for (const std::string& k : keys)
    ASSERT_TRUE(bColor ? colors.AddKeyWord(k.c_str(), nullptr, 12, -1, 1, 2, 0, false, {}, {},
                                           false, nullptr)
                       : poshark::testing::AddKey(keywords, {k.c_str(), 5}));
  bColor ? colors.WriteIni(nPOS) : keywords.WriteIni(nPOS);
}

template <typename Catcher>
Keys Load(int nPOS) {
  Catcher catcher;
  catcher.LoadIni(nPOS);
  Keys out;
  for (int i = 0; i < catcher.GetKeyWordNum(); ++i)
    out.push_back(catcher.GetKeyWord(i)->pszKeyWord);
  return out;
}

TEST(FilterSaveFaults, SaveKilledAtAnyMomentLeavesTheOldOrTheNewSection) {
  poshark::testing::TempHome home;
  const Keys a = MakeKeys("ALPHA", 4), b = MakeKeys("BRAVO", 9);
  Save(a, 1);
  Save(MakeKeys("COLOR", 2), 1, true);
  ASSERT_TRUE(poshark::platform::WritePrivateProfileStringA("Other", "Keep", "yes",
                                                            home.FilterPath().c_str()));
  std::mt19937 random(20260106);
  for (int round = 0; round < 40; ++round) {
    ChildProcess child([&] {
      // Saves the two lists in turn until killed (at most 30 s, as a safeguard).
      auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (std::chrono::steady_clock::now() < end) {
        Save(b, 1);
        Save(a, 1);
      }
      return 0;
    });
    std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 20000));
    child.Signal(SIGKILL);
    child.Wait();
    Keys now = Load<KeyDataCatcher>(1);
    ASSERT_TRUE(now == a || now == b) << "round " << round << ": a torn section of " << now.size();
    // The other sections are never touched by a save of POS1.
    EXPECT_EQ(Load<ColorKeyCatcher>(1), MakeKeys("COLOR", 2)) << "round " << round;
    EXPECT_NE(home.Read("POSKeyFilter.ini").find("[Other]\nKeep=yes\n"), std::string::npos);
  }
}

TEST(FilterSaveFaults, CatchersSavingDifferentSectionsAtOnceLoseNeither) {
  poshark::testing::TempHome home;
  const Keys k1 = MakeKeys("ONE", 6), k2 = MakeKeys("TWO", 5);
  const Keys c1 = MakeKeys("RED", 4);
  auto repeat = [](const Keys& keys, int nPOS, bool bColor) {
    for (int i = 0; i < 15; ++i) Save(keys, nPOS, bColor);
  };
  // POS2 is saved by another process, the rest by threads of this one.
  ChildProcess child([&] {
    repeat(k2, 2, false);
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  std::thread t1(repeat, k1, 1, false), t2(repeat, c1, 1, true);
  t1.join();
  t2.join();
  ASSERT_EQ(child.Wait(), 0);
  EXPECT_EQ(Load<KeyDataCatcher>(1), k1);
  EXPECT_EQ(Load<KeyDataCatcher>(2), k2);
  EXPECT_EQ(Load<ColorKeyCatcher>(1), c1);
}

}  // namespace
