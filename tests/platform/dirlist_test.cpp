#include "platform/DirList.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

using namespace poshark::platform;
namespace fs = std::filesystem;

namespace {

TEST(DirListTest, SortsNamesWithoutCaseAndSkipsSelfReferences) {
  char tmpl[] = "/tmp/poshark_dirlist_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  for (const char* name : {"b.INI", "A.ini", "a.ini", "C", "_x", "Ab"})
    std::ofstream(dir + "/" + name);
  fs::create_directory(dir + "/sub.ini");
  fs::create_symlink(dir + "/sub.ini", dir + "/link");

  std::vector<DirEntry> entries = ListDirectory(dir);
  std::vector<std::string> names;
  for (const DirEntry& e : entries) names.push_back(e.name);
  // Letters compare as lower case, so '_' (0x5f) sorts before them; names
  // equal without case keep byte order.
  EXPECT_EQ(names, (std::vector<std::string>{"_x", "A.ini", "a.ini", "Ab", "b.INI", "C", "link",
                                             "sub.ini"}));
  for (const DirEntry& e : entries)
    EXPECT_EQ(e.bDirectory, e.name == "sub.ini" || e.name == "link") << e.name;
  fs::remove_all(dir);
  EXPECT_TRUE(ListDirectory(dir).empty());  // a missing folder lists nothing
  EXPECT_TRUE(ListDirectory("").empty());
}

}  // namespace
