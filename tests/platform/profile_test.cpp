#include "platform/Profile.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "support/ChildProcess.h"
#include "support/TempHome.h"

using namespace poshark::platform;
using poshark::testing::ChildProcess;
namespace fs = std::filesystem;

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void Write(const std::string& content) { dir_.Write("test.ini", content); }
  std::string Read() const { return dir_.Read("test.ini"); }
  std::string Get(const char* section, const char* key, const char* def = "",
                  int size = kProfileValueSize) {
    char buf[1024];
    GetPrivateProfileStringA(section, key, def, buf, size, file_.c_str());
    return buf;
  }

  poshark::testing::TempHome dir_{poshark::testing::TempHome::Env::kLeave};
  std::string file_ = dir_ / "test.ini";
};

TEST_F(ProfileTest, ReadsNamesWithoutCaseFirstMatchBoundedValuesAndSaturatedIntegers) {
  Write(
      "; leading comment\n[Main]\nModule_Name = First \nmodule_name=Second\n[main]\nOther=hidden\n"
      "[S]\nLong=" +
      std::string(400, 'x') +
      "\nQuoted=\"a, b\"\nSingle='c'\nHalf=\"d\nCrLf=e\r\n"
      "[N]\nA=12ab\nB=-7\nC=+3\nD=ab\nE=\nF=99999999999\nG=-99999999999\nH= 42 \n");
  const std::tuple<const char*, const char*, const char*, std::string> kStrings[] = {
      {"MAIN", "MODULE_NAME", "", "First"},
      {"Main", "Other", "dflt", "dflt"},  // a repeated section is never consulted
      {"Missing", "Key", "dflt", "dflt"},
      {"Main", "Missing", nullptr, ""},
      {"S", "Long", "", std::string(259, 'x')},
      {"S", "Quoted", "", "a, b"},
      {"S", "Single", "", "c"},
      {"S", "Half", "", "\"d"},
      {"S", "CrLf", "", "e"}};
  for (const auto& [section, key, def, want] : kStrings)
    EXPECT_EQ(Get(section, key, def), want) << key;
  EXPECT_EQ(Get("S", "Long", "", 10), std::string(9, 'x'));
  char szUntouched[] = "u";
  EXPECT_EQ(GetPrivateProfileStringA("S", "Long", "", szUntouched, 0, file_.c_str()), 0);
  EXPECT_STREQ(szUntouched, "u") << "no room: nothing written";
  EXPECT_EQ(ProfileReader(file_.c_str()).GetString("S", "Long").size(), 259u);
  const std::pair<const char*, int> kInts[] = {{"A", 12},        {"B", -7}, {"C", 3},
                                               {"D", 0},         {"E", 5},  {"F", INT32_MAX},
                                               {"G", INT32_MIN}, {"H", 42}, {"Missing", 5}};
  for (const auto& [pszKey, nWant] : kInts)
    EXPECT_EQ(GetPrivateProfileIntA("N", pszKey, 5, file_.c_str()), nWant) << pszKey;
  EXPECT_EQ(GetPrivateProfileIntA("N", "A", 5, (dir_ / "nofile.ini").c_str()), 5);
}

TEST_F(ProfileTest, BatchWriterAppliesAllInOrderOrNothingAndFollowsSymbolicLinks) {
  Write("[S]\nA=1\n");
  const std::tuple<const char*, const char*, const char*, std::string> kRefused[] = {
      {"S", "A", "two\nlines", file_},
      {"S", "A=B", "x", file_},
      {"S]", "A", "x", file_},
      {nullptr, "A", "x", file_},
      {"S", "A", "x", dir_ / "no/such/dir.ini"}};
  for (const auto& [section, key, value, file] : kRefused)
    EXPECT_FALSE(WritePrivateProfileStringA(section, key, value, file.c_str())) << key << value;
  ProfileWriter bad(file_.c_str());
  bad.WriteString("S", "Good", "1");
  bad.WriteString("S", "Bad", "a\rb");
  EXPECT_FALSE(bad.Commit());
  EXPECT_EQ(Read(), "[S]\nA=1\n");
  bad.WriteString("S", "Good", "1");  // a failed commit leaves the writer usable
  EXPECT_TRUE(bad.Commit());
  EXPECT_EQ(Read(), "[S]\nA=1\nGood=1\n");

  std::string target = dir_ / "real.ini";
  fs::rename(file_, target);
  fs::create_symlink(target, file_);
  ProfileWriter writer(file_.c_str());
  writer.WriteString("POS1", "a", "1");
  writer.WriteString("POS1", "b", "2");
  writer.WriteString("POS1", "a", "3");
  writer.WriteSection("POS2", {"x=9"});
  writer.WriteString("POS2", "y", "8");
  EXPECT_TRUE(writer.HasChanges());
  EXPECT_EQ(Read(), "[S]\nA=1\nGood=1\n");  // nothing before Commit
  EXPECT_TRUE(writer.Commit() && !writer.HasChanges());
  EXPECT_EQ(Read(), "[S]\nA=1\nGood=1\n\n[POS1]\na=3\nb=2\n\n[POS2]\nx=9\ny=8\n");
  EXPECT_TRUE(fs::is_symlink(file_));
}

// A writer killed at any moment leaves the old or the new file, never a
// mixture: every version it writes is complete, with its end marker.
TEST_F(ProfileTest, KilledWriterNeverLeavesATornFile) {
  std::string body;
  for (int i = 0; i < 2000; ++i)
    body += "Key" + std::to_string(i) + "=" + std::string(40, 'v') + "\n";
  Write("[Data]\n" + body + "[End]\nDone=0\n");
  for (int round = 0; round < 8; ++round) {
    ChildProcess child([&] {
      for (int n = 1;; ++n)
        WritePrivateProfileStringA("End", "Done", std::to_string(n).c_str(), file_.c_str());
      return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 7 * round));
    child.Signal(SIGKILL);
    child.Wait();
    ProfileReader reader(file_.c_str());
    EXPECT_EQ(reader.GetKeyNames("Data").size(), 2000u) << "round " << round;
    EXPECT_TRUE(reader.HasKey("End", "Done")) << "round " << round;
    EXPECT_EQ(Read().substr(0, 7), "[Data]\n");
  }
  // The next writer is not stopped by what the killed one left behind.
  EXPECT_TRUE(WritePrivateProfileStringA("End", "Done", "final", file_.c_str()));
  EXPECT_EQ(Get("End", "Done"), "final");
}

}  // namespace
