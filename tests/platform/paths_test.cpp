#include "platform/Paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace poshark::platform;

namespace {

// Sets an environment variable for one test and restores it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if (old) {
      old_ = old;
      had_ = true;
    }
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

}  // namespace

TEST(PathsTest, HomeFollowsEnvironmentWithDefault) {
  {
    ScopedEnv env("POSHARK_HOME", "/tmp/somewhere///");
    EXPECT_EQ(PosharkHome(), "/tmp/somewhere");
  }
  {
    ScopedEnv env("POSHARK_HOME", nullptr);
    EXPECT_EQ(PosharkHome(), kDefaultHome);
  }
  {
    ScopedEnv env("POSHARK_HOME", "");
    EXPECT_EQ(PosharkHome(), kDefaultHome);
  }
}

TEST(PathsTest, WorkPathIsOverriddenOrTheExecutablesFolder) {
  {
    ScopedEnv env("POSHARK_WORKDIR", "/opt/pos/");
    EXPECT_EQ(WorkPath(), "/opt/pos");
  }
  ScopedEnv env("POSHARK_WORKDIR", nullptr);
  auto exe = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(WorkPath(), exe.parent_path().string());
}

TEST(PathsTest, JoinPathNeverDoublesTheSeparator) {
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a/", "/b"), "/a/b");
  EXPECT_EQ(JoinPath("/a", "/b"), "/a/b");
  EXPECT_EQ(JoinPath("", "b"), "b");
  EXPECT_EQ(JoinPath("/a", ""), "/a");
  EXPECT_EQ(JoinPath("/a", "Printer Commands"), "/a/Printer Commands");
}

TEST(PathsTest, ExistenceChecksTellFilesFromFolders) {
  auto dir = std::filesystem::temp_directory_path() / ("poshark_paths_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto file = dir / "KexDeBug.ini";
  std::ofstream(file) << "[POSTrace]\n";
  EXPECT_TRUE(FileExists(file.string()));
  EXPECT_FALSE(DirectoryExists(file.string()));
  EXPECT_TRUE(DirectoryExists(dir.string()));
  EXPECT_FALSE(FileExists(dir.string()));
  EXPECT_FALSE(FileExists((dir / "missing").string()));
  EXPECT_FALSE(DirectoryExists((dir / "missing").string()));
  std::filesystem::remove_all(dir);
}
