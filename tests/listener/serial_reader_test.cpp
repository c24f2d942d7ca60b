// The listener's serial reader: OpenCom, CloseCom, BreakCom, the port
// registration, bytes from a port to the line callback, and the drop of a
// block after a line error.
#include <gtest/gtest.h>
#include <poshark/RCPosHark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "commands/RCCmdSet.h"
#include "listener/ListenerKit.h"
#include "listener/SerialKit.h"
#include "listener/TestAccess.h"
#include "platform/SerialPort.h"

namespace {

using kit::ReadRegistry;
using kit::Sink;
using Access = RCPosHarkTestAccess;
constexpr int kPort = 5;
constexpr const char* kReaderExit = "###COM Listen thread Get exit start\r\n";

std::unique_ptr<RCPosHark> MakeListener(int nPOSNo) {
  auto listener = std::make_unique<RCPosHark>(nPOSNo);
  Access::SetCmdSet(*listener, std::make_unique<RCCmdSet>());
  listener->SetGateOpenTime(0);
  return listener;
}

char* Name(const char* psz) { return const_cast<char*>(psz); }

class SerialReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sink::Get().Reset();
    ASSERT_TRUE(pty_.Plug());
    home_.MapPorts({{kPort, pty_.Link()}});
  }
  int Open(RCPosHark& l, void* hHandle = nullptr, const char* pszName = nullptr,
           int nPort = kPort) {
    return l.OpenCom(nPort, 9600, 8, 0, 0, hHandle, Name(pszName));
  }

  kit::Home home_;
  kit::Pty pty_{home_.Path("ttyPOS")};
  kit::DebugCapture debug_;
};

TEST_F(SerialReaderTest, BytesFromThePortArriveOnceWholeAndInOrder) {
  auto listener = MakeListener(11);
  ASSERT_EQ(Open(*listener, nullptr, "Till 1"), 1);
  listener->ListenStart(Sink::Callback, false);
  ASSERT_TRUE(pty_.Write("RECEIPT-A1\n"));
  EXPECT_TRUE(Sink::Get().WaitForToken("RECEIPT-A1"));
  // Well past the 100 ms of quiet: the first half completes a read alone.
  ASSERT_TRUE(pty_.Write("SPLIT-"));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  ASSERT_TRUE(pty_.Write("LINE-F1\n"));
  ASSERT_TRUE(Sink::Get().WaitForToken("LINE-F1"));
  EXPECT_EQ(Sink::Get().Count("SPLIT-LINE-F1"), 1);

  // Several reads of 512 bytes, some completing at once.
  std::string rows;
  for (int i = 0; i < 300; ++i) {
    char szLine[16];
    std::snprintf(szLine, sizeof szLine, "ROW%04d\n", i);
    rows += szLine;
  }
  ASSERT_TRUE(pty_.Write(rows));
  ASSERT_TRUE(Sink::Get().WaitForToken("ROW0299"));
  std::string all;
  for (const kit::Line& l : Sink::Get().Lines()) all += l.text;
  EXPECT_NE(all.find(rows), std::string::npos) << "every row, in order, once";
  EXPECT_EQ(Sink::Get().Count("RECEIPT-A1"), 1) << "each block is handed over once";
  EXPECT_EQ(Sink::Get().Count("ROW0150"), 1);
  listener->ListenStop();
  EXPECT_EQ(listener->CloseCom(), 1);
}

TEST_F(SerialReaderTest, OpenAndReleaseAreRegisteredAndASecondOpenerIsRefused) {
  {
    auto listener = MakeListener(13);
    ASSERT_EQ(Open(*listener, nullptr, "Front till"), 1);
    auto reg = ReadRegistry(home_.Path());
    ASSERT_EQ(reg.count(kPort), 1u) << "libKXComPort.so was not found or did not register";
    EXPECT_EQ(reg[kPort].nState, 96);
    EXPECT_EQ(reg[kPort].name, "Front till");
    EXPECT_EQ(reg[kPort].nPid, static_cast<long>(::getpid()));
    EXPECT_FALSE(reg[kPort].since.empty());
    auto second = MakeListener(17);
    EXPECT_EQ(Open(*second, nullptr, "second"), 0);
    EXPECT_EQ(ReadRegistry(home_.Path())[kPort].name, "Front till");
    EXPECT_EQ(listener->CloseCom(), 1);
    EXPECT_EQ(ReadRegistry(home_.Path()).count(kPort), 0u);

    // Long names are cut to 63; without a name the device is "POS Device".
    std::string longName(100, 'n');
    ASSERT_EQ(Open(*second, nullptr, longName.c_str()), 1);
    EXPECT_EQ(ReadRegistry(home_.Path())[kPort].name, std::string(63, 'n'));
    second->CloseCom();
    auto unnamed = MakeListener(14);
    ASSERT_EQ(Open(*unnamed), 1);
    EXPECT_EQ(ReadRegistry(home_.Path())[kPort].name, "POS Device");
    // The destructor releases the port, with no CloseCom before it.
  }
  EXPECT_EQ(ReadRegistry(home_.Path()).count(kPort), 0u);
}

TEST_F(SerialReaderTest, OpenCodesOutOfRangeFallBackAndAnOpenPortKeepsItsSettings) {
  auto listener = MakeListener(18);
  // Data bits outside 5..8 become 8; stop-bit and parity codes out of range 0.
  const struct {
    int nDataBits, nStopBits, nParity;
    const char* pszTrace;
  } cases[] = {
      {9, 3, 7, "POS Try to Open COM5(4800,1,8,s=1,p=None)\n"},
      {4, -1, -1, "POS Try to Open COM5(4800,1,8,s=1,p=None)\n"},
      {5, 2, 4, "POS Try to Open COM5(4800,1,5,s=2,p=Space)\n"},
      {6, 0, 2, "POS Try to Open COM5(4800,1,6,s=1,p=Even)\n"},
      {8, 1, 1, "POS Try to Open COM5(4800,1,8,s=1.5,p=Odd)\n"},
  };
  for (const auto& c : cases) {
    int nBefore = debug_.Count(c.pszTrace);
    ASSERT_EQ(listener->OpenCom(kPort, 4800, c.nDataBits, c.nStopBits, c.nParity, nullptr, nullptr),
              1);
    EXPECT_EQ(debug_.Count(c.pszTrace), nBefore + 1) << c.pszTrace;
    listener->CloseCom();
  }
  ASSERT_EQ(listener->OpenCom(kPort, 19200, 7, 1, 3, nullptr, nullptr), 1);
  EXPECT_EQ(debug_.Count("POS Try to Open COM5(19200,1,7,s=1.5,p=Mark)\n"), 1);
  // Open again without a handle: answers 1 and changes nothing.
  ASSERT_EQ(listener->OpenCom(kPort, 9600, 8, 0, 0, nullptr, nullptr), 1);
  EXPECT_EQ(debug_.Count("POS Try to Open COM5(9600"), 0);
  listener->CloseCom();
  EXPECT_EQ(listener->OpenCom(kPort, 12345, 8, 0, 0, nullptr, nullptr), 0)
      << "a baud rate Linux cannot set is refused";
  EXPECT_EQ(ReadRegistry(home_.Path()).count(kPort), 0u);
  EXPECT_EQ(Open(*listener, nullptr, nullptr, kPort + 1), 0) << "unmapped port";
}

TEST_F(SerialReaderTest, HostDescriptorIsAdoptedAndReopenedByItsDevicePath) {
  const int kUnmapped = 9;  // no entry: by number it would be /dev/ttyS8
  int nFd = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(nFd, 0);
  auto listener = MakeListener(19);
  void* hHandle = reinterpret_cast<void*>(static_cast<intptr_t>(nFd) + 1);
  ASSERT_EQ(Open(*listener, hHandle, "host port", kUnmapped), 1);
  EXPECT_EQ(ReadRegistry(home_.Path())[kUnmapped].nState, 96);
  listener->ListenStart(Sink::Callback, false);
  ASSERT_TRUE(pty_.Write("HANDLE-B1\n"));
  EXPECT_TRUE(Sink::Get().WaitForToken("HANDLE-B1"));

  // A reopening of the working port closes the host's descriptor; the port
  // comes back by path, and the gate time still counts from OpenCom.
  const uint32_t dwOpenTick = Access::OpenTick(*listener);
  Access::USBResumeStart(*listener);
  ASSERT_TRUE(kit::WaitUntil([&] { return debug_.Count("POS Try to Open COM9") == 2; }));
  ASSERT_TRUE(kit::WaitUntil([&] { return Access::Running(*listener); }));
  ASSERT_TRUE(pty_.Write("HANDLE-B2\n"));
  EXPECT_TRUE(Sink::Get().WaitForToken("HANDLE-B2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(debug_.Count("POS Try to Open COM9"), 2) << "one reopening";
  EXPECT_EQ(kit::SettledThreads("pos19.read", 1), 1) << "one restart";
  EXPECT_EQ(Access::OpenTick(*listener), dwOpenTick);
  EXPECT_EQ(ReadRegistry(home_.Path())[kUnmapped].nState, 96);
  listener->ListenStop();
  listener->CloseCom();
  EXPECT_EQ(::fcntl(nFd, F_GETFD), -1) << "the listener owns the descriptor and closed it";
  EXPECT_EQ(Open(*listener, hHandle, nullptr, kUnmapped), 0) << "a descriptor not open is refused";
}

TEST_F(SerialReaderTest, BreakComStopsTheReaderAndItsEventStaysSet) {
  auto listener = MakeListener(20);
  ASSERT_EQ(Open(*listener), 1);
  listener->ListenStart(Sink::Callback, false);
  ASSERT_TRUE(pty_.Write("BREAK-C1\n"));
  ASSERT_TRUE(Sink::Get().WaitForToken("BREAK-C1"));
  listener->BreakCom();
  ASSERT_TRUE(kit::WaitUntil([&] { return debug_.Count(kReaderExit) == 1; }));
  // Restarted without reopening, the reader ends at its first wait.
  listener->ListenStart(Sink::Callback, false);
  ASSERT_TRUE(kit::WaitUntil([&] { return debug_.Count(kReaderExit) == 2; }));
  ASSERT_TRUE(pty_.Write("BREAK-C2\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Sink::Get().Count("BREAK-C2"), 0);
  EXPECT_EQ(debug_.Count("POS Try to Open"), 1) << "a break is not a lost port";
  // Reopening the port resets the break event and reading resumes.
  listener->CloseCom();
  ASSERT_EQ(Open(*listener), 1);
  listener->ListenStart(Sink::Callback, false);
  ASSERT_TRUE(pty_.Write("BREAK-C3\n"));
  EXPECT_TRUE(Sink::Get().WaitForToken("BREAK-C3"));
  listener->CloseCom();
}

// A pseudo-terminal reports no line errors: a scripted port does.
TEST(SerialLineErrorTest, LineErrorDropsTheNextBlockOnly) {
  using namespace poshark::platform;
  kit::Home home;
  struct OpenerReset {
    ~OpenerReset() { SetSerialPortOpenerForTesting(nullptr); }
  } openerReset;  // outlives the listener
  Sink::Get().Reset();
  auto script = std::make_shared<kit::Script>();
  SetSerialPortOpenerForTesting([script](int) { return std::make_unique<kit::FakePort>(script); });
  auto listener = MakeListener(21);
  ASSERT_EQ(listener->OpenCom(3, 9600, 8, 0, 0, nullptr, nullptr), 1);
  EXPECT_EQ(Access::CheckErrDesert(*listener, kEvErr | kEvCts), 1);
  int nPolls = script->nErrorPolls.load();
  EXPECT_EQ(Access::CheckErrDesert(*listener, kEvCts | kEvBreak | kEvRing), 0);
  EXPECT_EQ(script->nErrorPolls.load(), nPolls + 1) << "other events clear the error state";
  EXPECT_EQ(Access::CheckErrDesert(*listener, 0), 0);

  listener->ListenStart(Sink::Callback, false);
  script->Data("GOOD-D1\n");
  script->Comm(kEvErr);
  script->Data("DAMAGED-D2\n");
  script->Data("GOOD-D3\n");
  ASSERT_TRUE(Sink::Get().WaitForToken("GOOD-D3"));
  EXPECT_EQ(Sink::Get().Count("GOOD-D1"), 1);
  EXPECT_EQ(Sink::Get().Count("DAMAGED-D2"), 0);
  // A later event without a line error clears the mark before the block.
  script->Comm(kEvErr);
  script->Comm(kEvCts);
  script->Data("GOOD-D4\n");
  EXPECT_TRUE(Sink::Get().WaitForToken("GOOD-D4"));
}

TEST(SerialLineErrorTest, AFailingPortEndsTheReaderWithAReportNotTheProcess) {
  using namespace poshark::platform;
  kit::Home home;
  kit::DebugCapture debug;
  struct OpenerReset {
    ~OpenerReset() { SetSerialPortOpenerForTesting(nullptr); }
  } openerReset;
  Sink::Get().Reset();
  auto script = std::make_shared<kit::Script>();
  SetSerialPortOpenerForTesting([script](int) { return std::make_unique<kit::FakePort>(script); });
  auto listener = MakeListener(22);
  ASSERT_EQ(listener->OpenCom(3, 9600, 8, 0, 0, nullptr, nullptr), 1);
  listener->ListenStart(Sink::Callback, false);
  script->Data("BEFORE-E1\n");
  script->Throw();
  ASSERT_TRUE(kit::WaitUntil([&] { return debug.Count("scripted port failure") == 1; }));
  EXPECT_TRUE(Sink::Get().WaitForToken("BEFORE-E1")) << "the block before the failure";
  EXPECT_EQ(kit::SettledThreads("pos22.read", 0), 0);
  listener->ListenStop();
}

}  // namespace
