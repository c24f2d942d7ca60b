// The filter file under faults: a saving process killed at any moment, and
// catchers of different POS numbers and kinds saving into one file at once.
#include "commands/PluginTestSupport.h"

#include <poshark/ColorKeyCatcher.h>
#include <poshark/KeyDataCatcher.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Profile.h"

namespace {

using Keys = std::vector<std::string>;

Keys MakeKeys(const std::string& prefix, int n) {
  Keys keys;
  for (int i = 1; i <= n; ++i) keys.push_back(prefix + std::to_string(i));
  return keys;
}

void SaveKeywords(const Keys& keys, int nPOS) {
  KeyDataCatcher catcher;
  int id = 10;
  for (const std::string& k : keys) {
    ASSERT_TRUE(catcher.AddKeyWord(k.c_str(), 5, false, 0, nullptr, 2, id++, '.', ',', 0, 0, 0,
                                   false, SYSTEMTIME{}, SYSTEMTIME{}, false, nullptr));
  }
  catcher.WriteIni(nPOS);
}

void SaveColorKeys(const Keys& keys, int nPOS) {
  ColorKeyCatcher catcher;
  for (const std::string& k : keys) {
    ASSERT_TRUE(catcher.AddKeyWord(k.c_str(), nullptr, ColorKeyCatcher::kColorKeyMDBType, -1, 1, 2,
                                   0x00FF00, false, SYSTEMTIME{}, SYSTEMTIME{}, false, nullptr));
  }
  catcher.WriteIni(nPOS);
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
constexpr auto LoadKeywords = Load<KeyDataCatcher>;
constexpr auto LoadColorKeys = Load<ColorKeyCatcher>;

class FilterSaveFaults : public ::testing::Test {
 protected:
  std::string File() const { return work_.FilterPath(); }
  poshark::testing::TempHome work_;
};

TEST_F(FilterSaveFaults, SaveKilledAtAnyMomentLeavesTheOldOrTheNewSection) {
  const Keys a = MakeKeys("ALPHA", 4);
  const Keys b = MakeKeys("BRAVO", 9);
  SaveKeywords(a, 1);
  SaveColorKeys(MakeKeys("COLOR", 2), 1);
  ASSERT_TRUE(
      poshark::platform::WritePrivateProfileStringA("Other", "Keep", "yes", File().c_str()));
  ASSERT_EQ(LoadKeywords(1), a);

  std::mt19937 random(20260106);
  for (int round = 0; round < 40; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Saves the two lists in turn until killed (at most 30 s, as a safeguard).
      auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (std::chrono::steady_clock::now() < end) {
        SaveKeywords(b, 1);
        SaveKeywords(a, 1);
      }
      ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 20000));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);

    Keys now = LoadKeywords(1);
    ASSERT_TRUE(now == a || now == b)
        << "round " << round << ": a torn section of " << now.size() << " keywords";
    // The other sections are never touched by a save of POS1.
    EXPECT_EQ(LoadColorKeys(1), MakeKeys("COLOR", 2)) << "round " << round;
    char value[16] = {};
    poshark::platform::GetPrivateProfileStringA("Other", "Keep", "", value, sizeof value,
                                                File().c_str());
    EXPECT_STREQ(value, "yes") << "round " << round;
  }
}

TEST_F(FilterSaveFaults, CatchersSavingDifferentSectionsAtOnceLoseNeither) {
  const Keys k1 = MakeKeys("ONE", 6), k2 = MakeKeys("TWO", 5);
  const Keys c1 = MakeKeys("RED", 4), c3 = MakeKeys("BLUE", 3);
  // POS2 is saved by another process, the rest by threads of this one.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int i = 0; i < 15; ++i) SaveKeywords(k2, 2);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < 15; ++i) SaveKeywords(k1, 1);
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 15; ++i) SaveColorKeys(c1, 1);
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 15; ++i) SaveColorKeys(c3, 3);
  });
  for (auto& t : threads) t.join();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(LoadKeywords(1), k1);
  EXPECT_EQ(LoadKeywords(2), k2);
  EXPECT_EQ(LoadColorKeys(1), c1);
  EXPECT_EQ(LoadColorKeys(3), c3);
}

// Found by the filter-file fuzz target: a colour-key count of two billion
// made loading read the file for every number up to it.
TEST_F(FilterSaveFaults, AbsurdItemCountsLoadTheItemsThatExist) {
  std::ofstream(File()) << "[POS1]\nNum=2147483647\nItem1=TOTAL,5\nName1=Total,1,0,046\n"
                           "[ColorKey1]\nCKNum=2147483647\nCKItem1=VOID,0\nCKName1=Void,12,0,046\n"
                           "CKItem2=CASH,0\nCKName2=Cash,12,1,046\n";
  EXPECT_EQ(LoadKeywords(1), Keys({"TOTAL"}));
  EXPECT_EQ(LoadColorKeys(1), Keys({"VOID", "CASH"}));
}

}  // namespace
