// The listener's serial reader: OpenCom, CloseCom, BreakCom, the port
// registration calls, bytes from a port to the line callback, and the drop
// of a block after a line error.
#include <gtest/gtest.h>
#include <poshark/RCPosHark.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "FakeSerialPort.h"
#include "LineSink.h"
#include "SerialKit.h"
#include "TestAccess.h"
#include "commands/RCCmdSet.h"
#include "platform/SerialPort.h"

using serial_kit::Adapter;
using serial_kit::DebugCapture;
using serial_kit::ReadRegistry;
using serial_kit::TempHome;

namespace {

constexpr int kPort = 5;

std::unique_ptr<RCPosHark> MakeListener(int nPOSNo) {
  auto listener = std::make_unique<RCPosHark>(nPOSNo);
  RCPosHarkTestAccess::SetCmdSet(*listener, std::make_unique<RCCmdSet>());
  listener->SetGateOpenTime(0);
  return listener;
}

char* Name(const char* psz) { return const_cast<char*>(psz); }

class SerialReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line_sink::Clear();
    ASSERT_TRUE(adapter_.Plug());
    home_.MapPorts({{kPort, adapter_.Link()}});
  }
  void TearDown() override { poshark::platform::SetSerialPortOpenerForTesting(nullptr); }

  TempHome home_;
  Adapter adapter_{home_.File("ttyPOS")};
};

TEST_F(SerialReaderTest, BytesWrittenToThePortReachTheLineCallback) {
  auto listener = MakeListener(11);
  ASSERT_EQ(listener->OpenCom(kPort, 9600, 8, 0, 0, nullptr, Name("Till 1")), 1);
  listener->ListenStart(line_sink::Collect, false);
  ASSERT_TRUE(adapter_.Write("RECEIPT-A1\n"));
  EXPECT_TRUE(line_sink::WaitFor("RECEIPT-A1"));
  ASSERT_TRUE(adapter_.Write("RECEIPT-A2\nRECEIPT-A3\n"));
  EXPECT_TRUE(line_sink::WaitFor("RECEIPT-A3"));
  EXPECT_TRUE(line_sink::Has("RECEIPT-A2"));
  EXPECT_EQ(line_sink::Occurrences("RECEIPT-A1"), 1) << "each block is handed over once";
  listener->ListenStop();
  EXPECT_EQ(listener->CloseCom(), 1);
}

TEST_F(SerialReaderTest, LineSplitAcrossReadsArrivesWhole) {
  auto listener = MakeListener(24);
  ASSERT_EQ(listener->OpenCom(kPort, 9600, 8, 0, 0, nullptr, nullptr), 1);
  listener->ListenStart(line_sink::Collect, false);
  ASSERT_TRUE(adapter_.Write("SPLIT-"));
  // Well past the 100 ms of quiet: the first half completes a read alone.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  ASSERT_TRUE(adapter_.Write("LINE-F1\n"));
  ASSERT_TRUE(line_sink::WaitFor("LINE-F1"));
  EXPECT_TRUE(line_sink::Has("SPLIT-LINE-F1"));
  listener->CloseCom();
}

TEST_F(SerialReaderTest, LongStreamArrivesCompleteAndInOrder) {
  auto listener = MakeListener(12);
  ASSERT_EQ(listener->OpenCom(kPort, 115200, 8, 0, 0, nullptr, nullptr), 1);
  listener->ListenStart(line_sink::Collect, false);
  std::string expected;
  for (int i = 0; i < 300; ++i) {
    char szLine[32];
    std::snprintf(szLine, sizeof szLine, "ROW%04d\n", i);
    expected += szLine;
  }
  // Several reads of 512 bytes, some completing at once.
  ASSERT_TRUE(adapter_.Write(expected));
  ASSERT_TRUE(line_sink::WaitFor("ROW0299"));
  std::string text = line_sink::Text();
  size_t nPos = 0;
  for (int i = 0; i < 300; ++i) {
    char szToken[16];
    std::snprintf(szToken, sizeof szToken, "ROW%04d", i);
    size_t nFound = text.find(szToken, nPos);
    ASSERT_NE(nFound, std::string::npos) << szToken;
    nPos = nFound;
  }
  EXPECT_EQ(line_sink::Occurrences("ROW0150"), 1);
  listener->CloseCom();
}

TEST_F(SerialReaderTest, OpenAndReleaseAreRegistered) {
  {
    auto listener = MakeListener(13);
    ASSERT_EQ(listener->OpenCom(kPort, 9600, 8, 0, 0, nullptr, Name("Front till")), 1);
    auto reg = ReadRegistry(home_.Path());
    ASSERT_EQ(reg.count(kPort), 1u) << "libKXComPort.so was not found or did not register";
    EXPECT_EQ(reg[kPort].nState, 96);
    EXPECT_EQ(reg[kPort].name, "Front till");
    EXPECT_EQ(reg[kPort].nPid, static_cast<long>(::getpid()));
    EXPECT_FALSE(reg[kPort].since.empty());
    EXPECT_EQ(listener->CloseCom(), 1);
    EXPECT_EQ(ReadRegistry(home_.Path()).count(kPort), 0u);

    // Without a name the device is "POS Device"; long names are cut to 63.
    auto other = MakeListener(14);
    std::string longName(100, 'n');
    ASSERT_EQ(other->OpenCom(kPort, 9600, 8, 0, 0, nullptr, longName.data()), 1);
    EXPECT_EQ(ReadRegistry(home_.Path())[kPort].name, std::string(63, 'n'));
    other->CloseCom();
    auto unnamed = MakeListener(15);
    ASSERT_EQ(unnamed->OpenCom(kPort, 9600, 8, 0, 0, nullptr, nullptr), 1);
    EXPECT_EQ(ReadRegistry(home_.Path())[kPort].name, "POS Device");
    // The destructor releases the port, with no CloseCom before it.
  }
  EXPECT_EQ(ReadRegistry(home_.Path()).count(kPort), 0u);
}

TEST_F(SerialReaderTest, SecondOpenerOfThePortIsRefused) {
  auto first = MakeListener(16);
  auto second = MakeListener(17);
  ASSERT_EQ(first->OpenCom(kPort, 9600, 8, 0, 0, nullptr, Name("first")), 1);
  EXPECT_EQ(second->OpenCom(kPort, 9600, 8, 0, 0, nullptr, Name("second")), 0);
  EXPECT_EQ(ReadRegistry(home_.Path())[kPort].name, "first");
  first->CloseCom();
  EXPECT_EQ(second->OpenCom(kPort, 9600, 8, 0, 0, nullptr, Name("second")), 1);
  EXPECT_EQ(ReadRegistry(home_.Path())[kPort].name, "second");
}

TEST_F(SerialReaderTest, OpenCodesOutOfRangeFallBackAndAnOpenPortKeepsItsSettings) {
  DebugCapture debug;
  auto listener = MakeListener(18);
  ASSERT_EQ(listener->OpenCom(kPort, 4800, 9, 3, 7, nullptr, nullptr), 1);
  EXPECT_EQ(debug.Count("POS Try to Open COM5(4800,1,8,s=1,p=None)\n"), 1);
  // Open again without a handle: answers 1 and changes nothing.
  ASSERT_EQ(listener->OpenCom(kPort, 19200, 7, 1, 3, nullptr, nullptr), 1);
  EXPECT_EQ(debug.Count("POS Try to Open"), 1);
  listener->CloseCom();
  ASSERT_EQ(listener->OpenCom(kPort, 19200, 7, 1, 3, nullptr, nullptr), 1);
  EXPECT_EQ(debug.Count("POS Try to Open COM5(19200,1,7,s=1.5,p=Mark)\n"), 1);
  listener->CloseCom();
  EXPECT_EQ(listener->OpenCom(kPort, 12345, 8, 0, 0, nullptr, nullptr), 0)
      << "a baud rate Linux cannot set is refused";
  EXPECT_EQ(ReadRegistry(home_.Path()).count(kPort), 0u);
  EXPECT_EQ(listener->OpenCom(kPort + 1, 9600, 8, 0, 0, nullptr, nullptr), 0) << "unmapped port";
}

TEST_F(SerialReaderTest, HostDescriptorIsAdoptedAndReopenedByItsDevicePath) {
  DebugCapture debug;
  const int kUnmapped = 9;  // no entry: by number it would be /dev/ttyS8
  int nFd = ::open(adapter_.pty()->SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(nFd, 0);
  auto listener = MakeListener(19);
  void* hHandle = reinterpret_cast<void*>(static_cast<intptr_t>(nFd) + 1);
  ASSERT_EQ(listener->OpenCom(kUnmapped, 9600, 8, 0, 0, hHandle, Name("host port")), 1);
  EXPECT_EQ(ReadRegistry(home_.Path())[kUnmapped].nState, 96);
  listener->ListenStart(line_sink::Collect, false);
  ASSERT_TRUE(adapter_.Write("HANDLE-B1\n"));
  EXPECT_TRUE(line_sink::WaitFor("HANDLE-B1"));

  // A reopening closes the host's descriptor; the port comes back by path.
  RCPosHarkTestAccess::USBResumeStart(*listener);
  ASSERT_TRUE(serial_kit::WaitUntil([&] { return debug.Count("POS Try to Open COM9") == 2; }));
  ASSERT_TRUE(serial_kit::WaitUntil([&] { return RCPosHarkTestAccess::Running(*listener); }));
  ASSERT_TRUE(adapter_.Write("HANDLE-B2\n"));
  EXPECT_TRUE(line_sink::WaitFor("HANDLE-B2"));
  listener->ListenStop();
  listener->CloseCom();
  EXPECT_EQ(::fcntl(nFd, F_GETFD), -1) << "the listener owns the descriptor and closed it";

  // A descriptor that is not open is refused.
  EXPECT_EQ(listener->OpenCom(kUnmapped, 9600, 8, 0, 0, hHandle, nullptr), 0);
}

TEST_F(SerialReaderTest, BreakComStopsTheReaderAndItsEventStaysSet) {
  DebugCapture debug;
  auto listener = MakeListener(20);
  ASSERT_EQ(listener->OpenCom(kPort, 9600, 8, 0, 0, nullptr, nullptr), 1);
  listener->ListenStart(line_sink::Collect, false);
  ASSERT_TRUE(adapter_.Write("BREAK-C1\n"));
  ASSERT_TRUE(line_sink::WaitFor("BREAK-C1"));
  listener->BreakCom();
  ASSERT_TRUE(serial_kit::WaitUntil(
      [&] { return debug.Count("###COM Listen thread Get exit start\r\n") == 1; }));
  // Restarted without reopening, the reader ends at its first wait.
  listener->ListenStart(line_sink::Collect, false);
  ASSERT_TRUE(serial_kit::WaitUntil(
      [&] { return debug.Count("###COM Listen thread Get exit start\r\n") == 2; }));
  ASSERT_TRUE(adapter_.Write("BREAK-C2\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(line_sink::Has("BREAK-C2"));
  EXPECT_EQ(debug.Count("POS Try to Open"), 1) << "a break is not a lost port";
  // Reopening the port resets the break event and reading resumes.
  listener->CloseCom();
  ASSERT_EQ(listener->OpenCom(kPort, 9600, 8, 0, 0, nullptr, nullptr), 1);
  listener->ListenStart(line_sink::Collect, false);
  ASSERT_TRUE(adapter_.Write("BREAK-C3\n"));
  EXPECT_TRUE(line_sink::WaitFor("BREAK-C3"));
  listener->CloseCom();
}

class SerialLineErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line_sink::Clear();
    poshark::platform::SetSerialPortOpenerForTesting([this](int) {
      ++nOpens_;
      return std::make_unique<fake_serial::FakePort>(script_);
    });
  }
  void TearDown() override { poshark::platform::SetSerialPortOpenerForTesting(nullptr); }

  TempHome home_;
  std::shared_ptr<fake_serial::Script> script_ = std::make_shared<fake_serial::Script>();
  std::atomic<int> nOpens_{0};
};

TEST_F(SerialLineErrorTest, LineErrorDropsTheNextBlockOnly) {
  auto listener = MakeListener(21);
  ASSERT_EQ(listener->OpenCom(3, 9600, 8, 0, 0, nullptr, nullptr), 1);
  listener->ListenStart(line_sink::Collect, false);
  using poshark::platform::kEvCts;
  using poshark::platform::kEvErr;
  script_->Data("GOOD-D1\n");
  script_->Comm(kEvErr);
  script_->Data("DAMAGED-D2\n");
  script_->Data("GOOD-D3\n");
  ASSERT_TRUE(line_sink::WaitFor("GOOD-D3"));
  EXPECT_TRUE(line_sink::Has("GOOD-D1"));
  EXPECT_FALSE(line_sink::Has("DAMAGED-D2"));

  // A later event without a line error clears the mark before the block.
  script_->Comm(kEvErr);
  script_->Comm(kEvCts);
  script_->Data("GOOD-D4\n");
  ASSERT_TRUE(line_sink::WaitFor("GOOD-D4"));
  EXPECT_GT(script_->nErrorPolls.load(), 0) << "non-error events clear the error state";
  listener->ListenStop();
}

TEST_F(SerialLineErrorTest, LostPortIsReopenedOnceAndListeningRestarts) {
  DebugCapture debug;
  auto listener = MakeListener(22);
  ASSERT_EQ(listener->OpenCom(3, 9600, 8, 0, 0, nullptr, nullptr), 1);
  listener->ListenStart(line_sink::Collect, false);
  script_->Data("BEFORE-E1\n");
  ASSERT_TRUE(line_sink::WaitFor("BEFORE-E1"));
  int nPurges = script_->nPurges.load();
  script_->Lost();
  ASSERT_TRUE(serial_kit::WaitUntil([&] { return nOpens_.load() == 2; }));
  script_->Data("AFTER-E2\n");
  ASSERT_TRUE(line_sink::WaitFor("AFTER-E2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(nOpens_.load(), 2) << "one loss, one reopening";
  EXPECT_EQ(debug.Count("###COM Listen thread Get exit start\r\n"), 1);
  EXPECT_GT(script_->nPurges.load(), nPurges) << "the reopened port is purged";
  listener->ListenStop();
}

TEST_F(SerialLineErrorTest, CheckErrDesertAnswersOneOnlyForLineErrors) {
  auto listener = MakeListener(23);
  ASSERT_EQ(listener->OpenCom(3, 9600, 8, 0, 0, nullptr, nullptr), 1);
  using namespace poshark::platform;
  EXPECT_EQ(RCPosHarkTestAccess::CheckErrDesert(*listener, kEvErr), 1);
  EXPECT_EQ(RCPosHarkTestAccess::CheckErrDesert(*listener, kEvErr | kEvCts), 1);
  int nPolls = script_->nErrorPolls.load();
  EXPECT_EQ(RCPosHarkTestAccess::CheckErrDesert(*listener, kEvCts | kEvBreak | kEvRing), 0);
  EXPECT_EQ(script_->nErrorPolls.load(), nPolls + 1);
  EXPECT_EQ(RCPosHarkTestAccess::CheckErrDesert(*listener, 0), 0);
}

}  // namespace
