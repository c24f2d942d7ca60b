// The port resume watcher on pseudo-terminals: unplugging ends the reader
// and stops the workers once, plugging back gives one reopening and one
// restart, stopping ends the watcher promptly, and many cycles leak nothing.
#include <gtest/gtest.h>
#include <poshark/RCPosHark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "LineSink.h"
#include "ProcThreads.h"
#include "SerialKit.h"
#include "TestAccess.h"
#include "commands/RCCmdSet.h"

using serial_kit::Adapter;
using serial_kit::DebugCapture;
using serial_kit::ReadRegistry;
using serial_kit::TempHome;
using serial_kit::WaitUntil;

namespace {

constexpr int kPort = 7;
constexpr const char* kReaderExit = "###COM Listen thread Get exit start\r\n";
constexpr const char* kOpened = "POS Try to Open COM7(";

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class SerialResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line_sink::Clear();
    ASSERT_TRUE(adapter_.Plug());
    home_.MapPorts({{kPort, adapter_.Link()}});
  }

  std::unique_ptr<RCPosHark> StartListening(int nPOSNo) {
    auto listener = std::make_unique<RCPosHark>(nPOSNo);
    RCPosHarkTestAccess::SetCmdSet(*listener, std::make_unique<RCCmdSet>());
    listener->SetGateOpenTime(0);
    EXPECT_EQ(listener->OpenCom(kPort, 9600, 8, 0, 0, nullptr, nullptr), 1);
    listener->ListenStart(line_sink::Collect, false);
    return listener;
  }

  // Writes a line and waits until the host has it.
  bool Deliver(const std::string& token) {
    return adapter_.Write(token + "\n") && line_sink::WaitFor(token);
  }

  TempHome home_;
  Adapter adapter_{home_.File("ttyUSB-pos")};
  DebugCapture debug_;
};

TEST_F(SerialResumeTest, UnplugStopsTheWorkersOnceAndReplugRestartsListening) {
  auto listener = StartListening(31);
  ASSERT_TRUE(Deliver("PLUG-A1"));
  ASSERT_EQ(ReadRegistry(home_.Path())[kPort].nState, 96);

  adapter_.Unplug();
  ASSERT_TRUE(WaitUntil([&] { return !RCPosHarkTestAccess::Started(*listener); }));
  EXPECT_FALSE(RCPosHarkTestAccess::Running(*listener));
  EXPECT_EQ(proc_threads::SettledCount("pos31.analyze", 0), 0);
  EXPECT_EQ(proc_threads::SettledCount("pos31.write", 0), 0);
  EXPECT_EQ(proc_threads::Count("pos31.resume"), 1);

  // Several seconds away: reopening is retried, and each attempt releases
  // the port in the registry.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(debug_.Count(kReaderExit), 1);
  EXPECT_EQ(debug_.Count(kOpened), 1) << "no reopening succeeds while the port is away";
  EXPECT_EQ(ReadRegistry(home_.Path()).count(kPort), 0u);

  ASSERT_TRUE(adapter_.Plug());
  ASSERT_TRUE(WaitUntil([&] { return debug_.Count(kOpened) == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return RCPosHarkTestAccess::Running(*listener); }));
  ASSERT_TRUE(Deliver("PLUG-A2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(debug_.Count(kOpened), 2) << "one successful reopening";
  EXPECT_EQ(debug_.Count(kReaderExit), 1) << "the port was lost once";
  EXPECT_EQ(proc_threads::SettledCount("pos31.read", 1), 1) << "one restart";
  EXPECT_EQ(proc_threads::SettledCount("pos31.resume", 1), 1);
  EXPECT_EQ(ReadRegistry(home_.Path())[kPort].nState, 96);
  EXPECT_TRUE(RCPosHarkTestAccess::Started(*listener));
  listener->ListenStop();
}

TEST_F(SerialResumeTest, ListenStopWhileThePortIsAbsentEndsTheWatcher) {
  auto listener = StartListening(32);
  ASSERT_TRUE(Deliver("STOP-B1"));
  adapter_.Unplug();
  ASSERT_TRUE(WaitUntil([&] { return !RCPosHarkTestAccess::Started(*listener); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));  // a few attempts

  auto stopped = Clock::now();
  listener->ListenStop();
  ASSERT_EQ(proc_threads::SettledCount("pos32.resume", 0), 0);
  long nMs = MsSince(stopped);
  std::printf("watcher ended %ld ms after ListenStop\n", nMs);
  EXPECT_LT(nMs, 1000);

  // Nobody reopens the port any more.
  ASSERT_TRUE(adapter_.Plug());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(debug_.Count(kOpened), 1);
}

TEST_F(SerialResumeTest, USBResumeStartOnAWorkingPortRestartsIt) {
  auto listener = StartListening(33);
  ASSERT_TRUE(Deliver("RESUME-C1"));
  const uint32_t dwOpenTick = RCPosHarkTestAccess::OpenTick(*listener);
  RCPosHarkTestAccess::USBResumeStart(*listener);
  ASSERT_TRUE(WaitUntil([&] { return debug_.Count(kOpened) == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return RCPosHarkTestAccess::Running(*listener); }));
  ASSERT_TRUE(Deliver("RESUME-C2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(debug_.Count(kOpened), 2);
  EXPECT_EQ(proc_threads::SettledCount("pos33.read", 1), 1);
  EXPECT_EQ(RCPosHarkTestAccess::OpenTick(*listener), dwOpenTick)
      << "the gate time still counts from OpenCom";
  EXPECT_EQ(ReadRegistry(home_.Path())[kPort].nState, 96);
  listener->ListenStop();
}

TEST_F(SerialResumeTest, DestructorEndsAReopeningWatcherWithinItsBound) {
  // A long settle pause: the destructor's stop event cuts it short.
  home_.MapPorts({{kPort, adapter_.Link()}}, 5000);
  auto listener = StartListening(34);
  ASSERT_TRUE(Deliver("DTOR-D1"));
  adapter_.Unplug();
  ASSERT_TRUE(WaitUntil([&] { return !RCPosHarkTestAccess::Started(*listener); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  auto destroying = Clock::now();
  listener.reset();
  long nMs = MsSince(destroying);
  std::printf("listener destroyed in %ld ms while its watcher was pausing\n", nMs);
  EXPECT_EQ(debug_.Count("USB Trace:Wait USBResumeThread stop Time out\n"), 0);
  EXPECT_EQ(debug_.Count(kOpened), 1) << "no reopening during the pause";
  EXPECT_EQ(proc_threads::SettledCount("pos34.resume", 0), 0);
}

TEST_F(SerialResumeTest, SoakOfUnplugCyclesLosesNoDrainedLineAndLeaksNothing) {
  constexpr int kCycles = 100;
  const int nFdsBefore = serial_kit::CountFds();
  const int nThreadsBefore = proc_threads::BaselineCountAll();
  int nFdsListening = -1;
  int nThreadsListening = -1;
  auto started = Clock::now();
  {
    auto listener = StartListening(35);
    for (int nCycle = 0; nCycle < kCycles; ++nCycle) {
      char szToken[32];
      std::snprintf(szToken, sizeof szToken, "SOAK-%03d", nCycle);
      // A full 512-byte block completes its read at once, without the
      // 100 ms of quiet a shorter line waits for: keeps the soak quick.
      std::string line = std::string(szToken) + std::string(512 - 1 - std::strlen(szToken), '.');
      ASSERT_TRUE(adapter_.Write(line + "\n"));
      ASSERT_TRUE(line_sink::WaitFor(szToken)) << szToken;
      if (nCycle == 0) {
        nFdsListening = serial_kit::CountFds();
        // Reader, analyzer, writer, watcher and the idle stop thread.
        EXPECT_EQ(proc_threads::SettledCount("pos35.", 5, true), 5);
        nThreadsListening = proc_threads::CountAll();
      }
      adapter_.Unplug();
      if (nCycle % 10 == 9) {
        // Stay away long enough for a failed attempt or two.
        ASSERT_TRUE(WaitUntil([&] { return debug_.Count(kReaderExit) == nCycle + 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
      }
      ASSERT_TRUE(adapter_.Plug());
      ASSERT_TRUE(WaitUntil([&] { return debug_.Count(kOpened) == nCycle + 2; })) << nCycle;
      ASSERT_TRUE(WaitUntil([&] { return RCPosHarkTestAccess::Running(*listener); })) << nCycle;
    }
    ASSERT_TRUE(Deliver("SOAK-END"));
    for (int nCycle = 0; nCycle < kCycles; ++nCycle) {
      char szToken[32];
      std::snprintf(szToken, sizeof szToken, "SOAK-%03d", nCycle);
      EXPECT_EQ(line_sink::Occurrences(szToken), 1) << szToken;
    }
    EXPECT_EQ(debug_.Count(kReaderExit), kCycles);
    EXPECT_EQ(serial_kit::CountFds(), nFdsListening) << "descriptors leaked while listening";
    EXPECT_EQ(proc_threads::SettledCountAll(nThreadsListening), nThreadsListening)
        << "threads leaked while listening";
    EXPECT_EQ(proc_threads::SettledCount("pos35.", 5, true), 5);
  }
  std::printf("%d unplug/re-plug cycles in %ld ms\n", kCycles, MsSince(started));
  EXPECT_EQ(serial_kit::CountFds(), nFdsBefore);
  EXPECT_EQ(proc_threads::SettledCountAll(nThreadsBefore), nThreadsBefore);
  EXPECT_EQ(proc_threads::Count("pos35.", true), 0);
}

}  // namespace
