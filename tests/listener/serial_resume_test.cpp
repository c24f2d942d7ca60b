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

#include "commands/RCCmdSet.h"
#include "listener/ListenerKit.h"
#include "listener/SerialKit.h"
#include "listener/TestAccess.h"

namespace {

using kit::ReadRegistry;
using kit::Sink;
using kit::WaitUntil;
using Access = RCPosHarkTestAccess;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 7;
constexpr const char* kReaderExit = "###COM Listen thread Get exit start\r\n";
constexpr const char* kOpened = "POS Try to Open COM7(";
constexpr const char* kWatcherOverrun = "USB Trace:Wait USBResumeThread stop Time out\n";

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class SerialResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sink::Get().Reset();
    ASSERT_TRUE(pty_.Plug());
    home_.MapPorts({{kPort, pty_.Link()}});
  }
  std::unique_ptr<RCPosHark> StartListening(int nPOSNo) {
    auto listener = std::make_unique<RCPosHark>(nPOSNo);
    Access::SetCmdSet(*listener, std::make_unique<RCCmdSet>());
    listener->SetGateOpenTime(0);
    EXPECT_EQ(listener->OpenCom(kPort, 9600, 8, 0, 0, nullptr, nullptr), 1);
    listener->ListenStart(Sink::Callback, false);
    return listener;
  }
  bool Deliver(const std::string& token) {
    return pty_.Write(token + "\n") && Sink::Get().WaitForToken(token);
  }
  // Unplugs and waits until the watcher has stopped the workers.
  bool UnplugAndWait(RCPosHark& listener) {
    pty_.Unplug();
    return WaitUntil([&] { return !Access::Started(listener); });
  }

  kit::Home home_;
  kit::Pty pty_{home_.Path("ttyUSB-pos")};
  kit::DebugCapture debug_;
};

TEST_F(SerialResumeTest, UnplugStopsTheWorkersOnceAndReplugRestartsListening) {
  auto listener = StartListening(31);
  ASSERT_TRUE(Deliver("PLUG-A1"));
  ASSERT_EQ(ReadRegistry(home_.Path())[kPort].nState, 96);
  ASSERT_TRUE(UnplugAndWait(*listener));
  EXPECT_FALSE(Access::Running(*listener));
  EXPECT_EQ(kit::SettledThreads("pos31.analyze", 0), 0);
  EXPECT_EQ(kit::SettledThreads("pos31.write", 0), 0);
  EXPECT_EQ(kit::Threads("pos31.resume"), 1);

  // Away for a while: reopening is retried, and the port is released.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(debug_.Count(kReaderExit), 1);
  EXPECT_EQ(debug_.Count(kOpened), 1) << "no reopening succeeds while the port is away";
  EXPECT_EQ(ReadRegistry(home_.Path()).count(kPort), 0u);

  ASSERT_TRUE(pty_.Plug());
  ASSERT_TRUE(WaitUntil([&] { return debug_.Count(kOpened) == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return Access::Running(*listener); }));
  ASSERT_TRUE(Deliver("PLUG-A2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(debug_.Count(kOpened), 2) << "one successful reopening";
  EXPECT_EQ(debug_.Count(kReaderExit), 1) << "the port was lost once";
  EXPECT_EQ(kit::SettledThreads("pos31.read", 1), 1) << "one restart";
  EXPECT_EQ(kit::SettledThreads("pos31.resume", 1), 1);
  EXPECT_EQ(ReadRegistry(home_.Path())[kPort].nState, 96);
  listener->ListenStop();
}

TEST_F(SerialResumeTest, ListenStopWhileThePortIsAbsentEndsTheWatcher) {
  auto listener = StartListening(32);
  ASSERT_TRUE(Deliver("STOP-B1"));
  ASSERT_TRUE(UnplugAndWait(*listener));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));  // a few attempts
  auto stopped = Clock::now();
  listener->ListenStop();
  ASSERT_EQ(kit::SettledThreads("pos32.resume", 0), 0);
  EXPECT_LT(MsSince(stopped), 1000);
  ASSERT_TRUE(pty_.Plug());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(debug_.Count(kOpened), 1) << "nobody reopens the port any more";
}

TEST_F(SerialResumeTest, DestructorEndsAReopeningWatcherWithinItsBound) {
  home_.MapPorts({{kPort, pty_.Link()}}, 5000);  // a long settle pause, cut short by the stop
  auto listener = StartListening(34);
  ASSERT_TRUE(Deliver("DTOR-D1"));
  ASSERT_TRUE(UnplugAndWait(*listener));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  listener.reset();
  EXPECT_EQ(debug_.Count(kWatcherOverrun), 0);
  EXPECT_EQ(debug_.Count(kOpened), 1) << "no reopening during the pause";
  EXPECT_EQ(kit::SettledThreads("pos34.resume", 0), 0);
}

TEST_F(SerialResumeTest, SoakOfUnplugCyclesLosesNoDrainedLineAndLeaksNothing) {
  constexpr int kCycles = 30;
  const int nFdsBefore = kit::CountFds();
  const int nThreadsBefore = kit::QuietThreadCount();
  int nFdsListening = -1;
  int nThreadsListening = -1;
  auto started = Clock::now();
  auto token = [](int nCycle) {
    char szToken[32];
    std::snprintf(szToken, sizeof szToken, "SOAK-%03d", nCycle);
    return std::string(szToken);
  };
  {
    auto listener = StartListening(35);
    for (int nCycle = 0; nCycle < kCycles; ++nCycle) {
      // A full 512-byte block completes its read at once, without the
      // 100 ms of quiet a shorter line waits for: keeps the soak quick.
      std::string line = token(nCycle);
      ASSERT_TRUE(pty_.Write(line + std::string(511 - line.size(), '.') + "\n"));
      ASSERT_TRUE(Sink::Get().WaitForToken(line)) << line;
      if (nCycle == 0) {
        nFdsListening = kit::CountFds();
        // Reader, analyzer, writer, watcher and the idle stop thread.
        EXPECT_EQ(kit::SettledThreads("pos35.", 5), 5);
        nThreadsListening = kit::Threads();
      }
      pty_.Unplug();
      if (nCycle % 10 == 9) {
        // Stay away long enough for a failed attempt or two.
        ASSERT_TRUE(WaitUntil([&] { return debug_.Count(kReaderExit) == nCycle + 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
      }
      ASSERT_TRUE(pty_.Plug());
      ASSERT_TRUE(WaitUntil([&] { return debug_.Count(kOpened) == nCycle + 2; })) << nCycle;
      ASSERT_TRUE(WaitUntil([&] { return Access::Running(*listener); })) << nCycle;
    }
    ASSERT_TRUE(Deliver("SOAK-END"));
    for (int nCycle = 0; nCycle < kCycles; ++nCycle) {
      EXPECT_EQ(Sink::Get().Count(token(nCycle)), 1) << token(nCycle);
    }
    EXPECT_EQ(debug_.Count(kReaderExit), kCycles);
    EXPECT_EQ(kit::CountFds(), nFdsListening) << "descriptors leaked while listening";
    EXPECT_EQ(kit::SettledThreads("", nThreadsListening), nThreadsListening)
        << "threads leaked while listening";
    EXPECT_EQ(kit::SettledThreads("pos35.", 5), 5);
  }
  std::printf("%d unplug/re-plug cycles in %ld ms\n", kCycles, MsSince(started));
  EXPECT_EQ(kit::CountFds(), nFdsBefore);
  EXPECT_EQ(kit::SettledThreads("", nThreadsBefore), nThreadsBefore);
  EXPECT_EQ(kit::Threads("pos35."), 0);
}

}  // namespace
