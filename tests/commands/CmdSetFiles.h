// Test helpers: command-set files in a temporary folder.
#pragma once

#include "commands/RCCmdSet.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace poshark::test {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/poshark_cmds_XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string full = path_ + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << content;
    return full;
  }

 private:
  std::string path_;
};

// A command set loaded from the given file content.
inline std::unique_ptr<RCCmdSet> LoadSet(const TempDir& dir, const std::string& content,
                                         const std::string& name = "set.ini") {
  auto set = std::make_unique<RCCmdSet>();
  EXPECT_TRUE(set->Load(dir.Write(name, content)));
  return set;
}

}  // namespace poshark::test
