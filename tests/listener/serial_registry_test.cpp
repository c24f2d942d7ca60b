// libKXComPort.so on its own: the registry it keeps of the ports in use.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "SerialKit.h"
#include "platform/DynLib.h"

using serial_kit::ReadRegistry;
using serial_kit::TempHome;

namespace {

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

  void WriteRegistry(const std::string& text) {
    std::ofstream(home_.File("ComPortRegistry.ini"), std::ios::trunc) << text;
  }

  TempHome home_;
  poshark::platform::DynLib lib_;
  RegFt reg_ = nullptr;
};

TEST_F(PortRegistryTest, RecordsAndReleasesPortsOfThisProcess) {
  EXPECT_EQ(reg_(3, 96, "Till 3"), 1);
  EXPECT_EQ(reg_(12, 96, "Till 12"), 1);
  auto reg = ReadRegistry(home_.Path());
  ASSERT_EQ(reg.size(), 2u);
  EXPECT_EQ(reg[3].name, "Till 3");
  EXPECT_EQ(reg[12].nState, 96);
  EXPECT_EQ(reg[12].nPid, static_cast<long>(::getpid()));
  EXPECT_EQ(reg_(3, 0, ""), 1);
  reg = ReadRegistry(home_.Path());
  EXPECT_EQ(reg.count(3), 0u);
  EXPECT_EQ(reg.count(12), 1u);
  EXPECT_EQ(reg_(40, 0, ""), 1) << "releasing a port not held is no error";
  // No temporary file is left beside the registry.
  for (const auto& entry : std::filesystem::directory_iterator(home_.Path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
  }
}

TEST_F(PortRegistryTest, KeepsOtherProcessesEntriesAndDropsThoseOfDeadOnes) {
  pid_t dead = ::fork();
  if (dead == 0) {
    ::_exit(0);
  }
  ASSERT_GT(dead, 0);
  ::waitpid(dead, nullptr, 0);
  WriteRegistry("[COM1]\nState=96\nName=init holds it\nPid=1\nSince=2026-01-01 00:00:00\n"
                "[COM2]\nState=96\nName=gone\nPid=" + std::to_string(dead) +
                "\nSince=2026-01-01 00:00:00\n"
                "garbage line\n[COMx]\nState=1\n");
  // Another process's port is not released by us.
  EXPECT_EQ(reg_(1, 0, ""), 1);
  auto reg = ReadRegistry(home_.Path());
  EXPECT_EQ(reg.count(1), 1u);
  EXPECT_EQ(reg[1].name, "init holds it");
  EXPECT_EQ(reg.count(2), 0u) << "the entry of an ended process is dropped";
  // Taking a port over records this process.
  EXPECT_EQ(reg_(2, 96, "ours now"), 1);
  EXPECT_EQ(ReadRegistry(home_.Path())[2].nPid, static_cast<long>(::getpid()));
}

TEST_F(PortRegistryTest, NamesStayOneBoundedLine) {
  EXPECT_EQ(reg_(5, 96, "bad\nName=x\r[COM9]"), 1);
  std::string longName(200, 'L');
  EXPECT_EQ(reg_(6, 96, longName.c_str()), 1);
  EXPECT_EQ(reg_(7, 96, nullptr), 1);
  auto reg = ReadRegistry(home_.Path());
  EXPECT_EQ(reg[5].name, "bad?Name=x?[COM9]");
  EXPECT_EQ(reg.count(9), 0u);
  EXPECT_EQ(reg[6].name, std::string(63, 'L'));
  EXPECT_EQ(reg[7].name, "");
}

TEST_F(PortRegistryTest, ConcurrentUpdatesLoseNoEntry) {
  std::vector<std::thread> threads;
  for (unsigned int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (unsigned int i = 0; i < 25; ++i) {
        reg_(100 + t * 25 + i, 96, "worker");
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  pid_t child = ::fork();
  if (child == 0) {
    // A second process updating the same registry.
    ::_exit(reg_(500, 96, "child") == 1 ? 0 : 1);
  }
  int nStatus = 0;
  ::waitpid(child, &nStatus, 0);
  EXPECT_EQ(WEXITSTATUS(nStatus), 0);
  auto reg = ReadRegistry(home_.Path());
  EXPECT_EQ(reg.size(), 101u);
  EXPECT_EQ(reg[500].nPid, static_cast<long>(child));
  // The child has ended: its entry goes with the next update.
  EXPECT_EQ(reg_(1, 96, "last"), 1);
  reg = ReadRegistry(home_.Path());
  EXPECT_EQ(reg.size(), 101u);
  EXPECT_EQ(reg.count(500), 0u);
}

TEST_F(PortRegistryTest, MissingHomeIsReportedNotCreated) {
  ::setenv("POSHARK_HOME", (home_.Path() + "/absent").c_str(), 1);
  EXPECT_EQ(reg_(3, 96, "x"), 0);
  EXPECT_FALSE(std::filesystem::exists(home_.Path() + "/absent"));
  ::setenv("POSHARK_HOME", home_.Path().c_str(), 1);
}

}  // namespace
