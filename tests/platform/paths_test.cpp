#include "platform/Paths.h"

#include "ScopedEnv.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace poshark::platform;

TEST(PathsTest, HomeAndWorkPathFollowTheEnvironmentWithDefaults) {
  const std::pair<const char*, std::string> kHomes[] = {
      {"/tmp/somewhere///", "/tmp/somewhere"}, {nullptr, kDefaultHome}, {"", kDefaultHome}};
  for (const auto& [pszValue, want] : kHomes) {
    ScopedEnv env("POSHARK_HOME", pszValue);
    EXPECT_EQ(PosharkHome(), want) << (pszValue ? pszValue : "(unset)");
  }
  {
    ScopedEnv env("POSHARK_WORKDIR", "/opt/pos/");
    EXPECT_EQ(WorkPath(), "/opt/pos");
  }
  ScopedEnv env("POSHARK_WORKDIR", nullptr);
  EXPECT_EQ(WorkPath(), std::filesystem::read_symlink("/proc/self/exe").parent_path().string());
}

TEST(PathsTest, JoinsWithOneSeparatorAndTellsFilesFromFolders) {
  const std::tuple<const char*, const char*, const char*> kJoins[] = {{"/a/", "/b", "/a/b"},
                                                                      {"/a", "/b", "/a/b"},
                                                                      {"/a/", "b", "/a/b"},
                                                                      {"", "b", "b"},
                                                                      {"/a", "", "/a"}};
  for (const auto& [a, b, want] : kJoins) EXPECT_EQ(JoinPath(a, b), want) << a << " + " << b;
  auto dir = std::filesystem::temp_directory_path() / ("poshark_paths_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto file = dir / "KexDeBug.ini";
  std::ofstream(file) << "[POSTrace]\n";
  EXPECT_TRUE(FileExists(file.string()));
  EXPECT_FALSE(DirectoryExists(file.string()));
  EXPECT_TRUE(DirectoryExists(dir.string()));
  EXPECT_FALSE(FileExists(dir.string()));
  EXPECT_FALSE(FileExists((dir / "missing").string()));
  std::filesystem::remove_all(dir);
}
