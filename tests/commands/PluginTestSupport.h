// Helpers of the command-set tests: the test plug-in libraries, a set loaded
// from file text, and a listener in host-feed mode whose lines are collected.
#pragma once

#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "commands/RCCmdSet.h"
#include "support/LineCollector.h"
#include "support/TempHome.h"

namespace cmdset_test {

using poshark::testing::LineCollector;
using poshark::testing::TempHome;

// The test plug-in built beside the tests: one library for every plug-in kind.
inline std::string PluginPath() { return POSHARK_TEST_PLUGIN_DIR "/libtest_commands_plugin.so"; }

// A command set loaded from the given file text.
inline std::unique_ptr<RCCmdSet> LoadSet(const TempHome& home, const std::string& content) {
  auto set = std::make_unique<RCCmdSet>();
  EXPECT_TRUE(set->Load(home.CommandSet("set.ini", content)));
  return set;
}

// A listener in host-feed mode on one command-set file, its lines collected.
class ListenerTest : public ::testing::Test {
 protected:
  void Start(const std::string& ini) {
    home_.CommandSet("set.ini", ini);
    listener_ = std::make_unique<RCPosHark>(4);
    ASSERT_TRUE(listener_->SelectCmdSet(0));
    listener_->SetGateOpenTime(0);
    listener_->ListenStart(&LineCollector::Callback, true);
  }
  void Feed(std::string bytes) {
    listener_->GotData(static_cast<int>(bytes.size()),
                       reinterpret_cast<unsigned char*>(bytes.data()));
  }
  void TearDown() override {
    if (listener_) listener_->ListenStop();
    listener_.reset();
  }

  TempHome home_;
  LineCollector lines_;
  std::unique_ptr<RCPosHark> listener_;
};

}  // namespace cmdset_test
