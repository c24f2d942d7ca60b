// libKXComPort.so on its own: the registry it keeps of the ports in use.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "listener/ListenerKit.h"
#include "listener/SerialKit.h"
#include "platform/DynLib.h"

namespace {

using kit::ReadRegistry;
using RegFt = int (*)(unsigned int, unsigned int, const char*);

class PortRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string folder = poshark::platform::DynLib::FolderOf(reinterpret_cast<const void*>(&Dummy));
    ASSERT_TRUE(lib_.Open(folder + "/libKXComPort.so")) << lib_.Error();
    reg_ = reinterpret_cast<RegFt>(lib_.Symbol("RegKexComPort"));
    ASSERT_NE(reg_, nullptr);
  }
  static void Dummy() {}
  std::map<int, kit::RegEntry> Registry() const { return ReadRegistry(home_.Path()); }

  kit::Home home_;
  poshark::platform::DynLib lib_;
  RegFt reg_ = nullptr;
};

TEST_F(PortRegistryTest, RecordsAndReleasesPortsWithBoundedOneLineNames) {
  EXPECT_EQ(reg_(3, 96, "Till 3"), 1);
  EXPECT_EQ(reg_(5, 96, "bad\nName=x\r[COM9]"), 1);
  EXPECT_EQ(reg_(6, 96, std::string(200, 'L').c_str()), 1);
  EXPECT_EQ(reg_(7, 96, nullptr), 1);
  auto reg = Registry();
  ASSERT_EQ(reg.size(), 4u);
  EXPECT_EQ(reg[3].name, "Till 3");
  EXPECT_EQ(reg[3].nState, 96);
  EXPECT_EQ(reg[3].nPid, static_cast<long>(::getpid()));
  EXPECT_EQ(reg[5].name, "bad?Name=x?[COM9]");
  EXPECT_EQ(reg[6].name, std::string(63, 'L'));
  EXPECT_EQ(reg[7].name, "");
  EXPECT_EQ(reg_(3, 0, ""), 1);
  EXPECT_EQ(Registry().count(3), 0u);
  EXPECT_EQ(Registry().size(), 3u);
  EXPECT_EQ(reg_(40, 0, ""), 1) << "releasing a port not held is no error";
  for (const auto& entry : std::filesystem::directory_iterator(home_.Path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
  }
}

TEST_F(PortRegistryTest, KeepsOtherProcessesEntriesAndDropsThoseOfDeadOnes) {
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_GT(dead, 0);
  ::waitpid(dead, nullptr, 0);
  home_.Write("ComPortRegistry.ini",
              "[COM1]\nState=96\nName=init holds it\nPid=1\nSince=2026-01-01 00:00:00\n"
              "[COM2]\nState=96\nName=gone\nPid=" +
                  std::to_string(dead) +
                  "\nSince=2026-01-01 00:00:00\ngarbage line\n[COMx]\nState=1\n");
  EXPECT_EQ(reg_(1, 0, ""), 1);
  auto reg = Registry();
  EXPECT_EQ(reg[1].name, "init holds it") << "another process's port is not released by us";
  EXPECT_EQ(reg.count(2), 0u) << "the entry of an ended process is dropped";
  EXPECT_EQ(reg_(2, 96, "ours now"), 1);
  EXPECT_EQ(Registry()[2].nPid, static_cast<long>(::getpid()));
}

TEST_F(PortRegistryTest, ConcurrentUpdatesLoseNoEntry) {
  std::vector<std::thread> threads;
  for (unsigned int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (unsigned int i = 0; i < 25; ++i) reg_(100 + t * 25 + i, 96, "worker");
    });
  }
  for (auto& thread : threads) thread.join();
  pid_t child = ::fork();  // a second process on the same registry
  if (child == 0) ::_exit(reg_(500, 96, "child") == 1 ? 0 : 1);
  int nStatus = 0;
  ::waitpid(child, &nStatus, 0);
  EXPECT_EQ(WEXITSTATUS(nStatus), 0);
  auto reg = Registry();
  EXPECT_EQ(reg.size(), 101u);
  EXPECT_EQ(reg[500].nPid, static_cast<long>(child));
  // The child has ended: its entry goes with the next update.
  EXPECT_EQ(reg_(1, 96, "last"), 1);
  reg = Registry();
  EXPECT_EQ(reg.size(), 101u);
  EXPECT_EQ(reg.count(500), 0u);
}

TEST_F(PortRegistryTest, MissingHomeIsReportedNotCreated) {
  ::setenv("POSHARK_HOME", home_.Path("absent").c_str(), 1);
  EXPECT_EQ(reg_(3, 96, "x"), 0);
  EXPECT_FALSE(std::filesystem::exists(home_.Path("absent")));
}

}  // namespace
