// Helpers of the command-set tests: the test plug-in library and a set loaded
// from file text.
#pragma once

#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "commands/RCCmdSet.h"
#include "support/TempHome.h"

namespace cmdset_test {

using poshark::testing::TempHome;

// The test plug-in built beside the tests: one library for every plug-in kind.
inline std::string PluginPath() { return POSHARK_TEST_PLUGIN_DIR "/libtest_commands_plugin.so"; }

// A command set loaded from the given file text.
inline std::unique_ptr<RCCmdSet> LoadSet(const TempHome& home, const std::string& content) {
  auto set = std::make_unique<RCCmdSet>();
  EXPECT_TRUE(set->Load(home.CommandSet("set.ini", content)));
  return set;
}

}  // namespace cmdset_test
