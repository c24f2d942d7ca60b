// Serial ports on pseudo-terminals: the termios port layer, the listener's
// reader (OpenCom, CloseCom, BreakCom, line errors), the port registry of
// libKXComPort.so, and the resume watcher across unplug and re-plug.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "listener/ListenerKit.h"
#include "platform/DynLib.h"
#include "support/ChildProcess.h"

namespace {

using namespace kit;
using namespace poshark::platform;

constexpr int kPort = 5;
constexpr const char* kReaderExit = "###COM Listen thread Get exit start\r\n";
constexpr const char* kOpened = "POS Try to Open COM5(";

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Plug());
    home_.Write("ComPorts.ini", "[Ports]\nCOM5=" + pty_.Link() + "\n");
  }
  void TearDown() override { SetSerialPortOpenerForTesting(nullptr); }
  int Open(RCPosHark& l, void* hHandle = nullptr, const char* pszName = nullptr,
           int nPort = kPort) {
    return l.OpenCom(nPort, 9600, 8, 0, 0, hHandle, const_cast<char*>(pszName));
  }
  bool Deliver(const std::string& token) {
    return pty_.Write(token + "\n") && lines_.WaitForToken(token);
  }
  std::map<std::string, std::string> Registered(int nPort = kPort) {
    auto reg = ReadRegistry(home_.Path());
    return reg.count(nPort) ? reg[nPort] : std::map<std::string, std::string>{};
  }

  TempHome home_;
  Pty pty_{home_.Path("ttyPOS")};
  LineCollector lines_;
  DebugCapture debug_;
};

TEST(SerialTermiosTest, MapsDataBitsStopBitsAndParityAndRefusesOtherSpeeds) {
  constexpr tcflag_t kFrame = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
  const std::pair<SerialSettings, tcflag_t> cases[] = {
      {{19200, 7, 1, 3}, CS7 | CSTOPB | PARENB | PARODD | CMSPAR},  // 1.5 stop bits: two; mark
      {{9600, 8, 0, 4}, CS8 | PARENB | CMSPAR},                     // space
      {{115200, 5, 2, 1}, CS5 | CSTOPB | PARENB | PARODD},          // odd
      {{2400, 6, 0, 2}, CS6 | PARENB},                              // even
      {{1200, 8, 0, 0}, CS8},                                       // none
  };
  for (const auto& [settings, frame] : cases) {
    termios tio{};
    tio.c_iflag = INPCK | IXON | ICRNL;  // left over from an earlier owner
    tio.c_lflag = ICANON | ECHO;
    tio.c_cflag = CRTSCTS | PARENB | CSTOPB;
    ASSERT_TRUE(MakeSerialTermios(settings, &tio)) << settings.nBaud;
    EXPECT_EQ(tio.c_cflag & kFrame, frame) << settings.nBaud;
    EXPECT_EQ((tio.c_iflag & INPCK) != 0, (frame & PARENB) != 0) << "parity checking follows";
    EXPECT_FALSE(tio.c_iflag & (IXON | ICRNL) || tio.c_lflag & (ICANON | ECHO) ||
                 tio.c_cflag & CRTSCTS);
    EXPECT_EQ(::cfgetispeed(&tio), ::cfgetospeed(&tio));
  }
  termios tio{};
  for (int nBaud : {12345, 0, -9600}) EXPECT_FALSE(MakeSerialTermios({nBaud, 8, 0, 0}, &tio));
}

TEST_F(SerialTest, PortMapOpensOnlyTerminalsOnlyOnceAndTheDriverGetsTheSettings) {
  home_.Write("ComPorts.ini", "[Ports]\nCOM3=/dev/serial/by-id/usb-Test\nCOM4=" + pty_.SlavePath());
  EXPECT_EQ(std::tuple(SerialPortPath(3), SerialPortPath(10), SerialPortPath(0)),
            std::tuple("/dev/serial/by-id/usb-Test", "/dev/ttyS9", ""));
  auto first = OpenSerialPort(4);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(OpenSerialPort(0) || OpenSerialPort(4) || OpenSerialPath(pty_.SlavePath()));
  first.reset();
  int nFd = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(nFd, 0);
  int nPeek = ::dup(nFd);  // reads the settings back as the driver holds them
  auto port = AdoptSerialPort(nFd);
  ASSERT_NE(port, nullptr) << "the exclusive flag went with the first opener";
  termios tio{};
  ASSERT_TRUE(port->Configure({19200, 7, 1, 3}));
  ASSERT_EQ(::tcgetattr(nPeek, &tio), 0);
  EXPECT_TRUE(::cfgetispeed(&tio) == B19200 && (tio.c_cflag & CSTOPB));
  ::close(nPeek);
  uint32_t dwErrors = 0xFFFF;
  EXPECT_TRUE(port->ClearError(&dwErrors));
  EXPECT_EQ(dwErrors, 0u) << "no line errors are made up";
  pty_.Unplug();
  port->Write(reinterpret_cast<const unsigned char*>("x"), 1);
  EXPECT_FALSE(port->ClearError(&dwErrors)) << "a write that finds the port gone marks it lost";
}

// A pseudo-terminal reports no line errors, and does not fail: a scripted port does.
TEST_F(SerialTest, LineErrorDropsTheNextBlockOnlyAndAFailingPortEndsOnlyTheReader) {
  auto script = std::make_shared<Script>();
  SetSerialPortOpenerForTesting([script](int) { return std::make_unique<FakePort>(script); });
  auto listener = MakeListener(21);
  ASSERT_EQ(listener->OpenCom(3, 9600, 8, 0, 0, nullptr, nullptr), 1);
  EXPECT_EQ(Access::CheckErrDesert(*listener, kEvErr | kEvCts), 1);
  int nPolls = script->nErrorPolls.load();
  EXPECT_EQ(Access::CheckErrDesert(*listener, kEvCts | kEvBreak | kEvRing), 0);
  EXPECT_EQ(script->nErrorPolls.load(), nPolls + 1) << "other events clear the error state";
  EXPECT_EQ(Access::CheckErrDesert(*listener, 0), 0);
  listener->ListenStart(LineCollector::Callback, false);
  // A later event without a line error clears the mark.
  for (const Script::Step& step : std::vector<Script::Step>{{"GOOD-D1\n"},
                                                            {"", kEvErr},
                                                            {"DAMAGED-D2\n"},
                                                            {"GOOD-D3\n"},
                                                            {"", kEvErr},
                                                            {"", kEvCts},
                                                            {"GOOD-D4\n"}})
    script->Push(step);
  ASSERT_TRUE(lines_.WaitForToken("GOOD-D4"));
  EXPECT_EQ(lines_.Texts(), (std::vector<std::string>{"GOOD-D1\n", "GOOD-D3\n", "GOOD-D4\n"}));
  script->Push({"", 0, true});
  ASSERT_TRUE(WaitUntil([&] { return debug_.Count("scripted port failure") == 1; }));
  EXPECT_EQ(SettledThreads("pos21.read", 0), 0);
  listener->ListenStop();
}

TEST_F(SerialTest, RegistryKeepsBoundedOneLineNamesAndLiveProcessesEntries) {
  DynLib lib;
  ASSERT_TRUE(
      lib.Open(DynLib::FolderOf(reinterpret_cast<const void*>(&MakeListener)) + "/libKXComPort.so"))
      << lib.Error();
  auto reg = reinterpret_cast<int (*)(unsigned int, unsigned int, const char*)>(
      lib.Symbol("RegKexComPort"));
  ASSERT_NE(reg, nullptr);
  ChildProcess dead([] { return 0; });
  ASSERT_EQ(dead.Wait(), 0);
  home_.Write("ComPortRegistry.ini",
              "[COM1]\nState=96\nName=init holds it\nPid=1\n[COM2]\nState=96\nName=gone\nPid=" +
                  std::to_string(dead.Pid()) + "\ngarbage line\n[COMx]\nState=1\n");
  // Releasing a port this process does not hold (1, 40) is no error.
  EXPECT_TRUE(reg(1, 0, "") == 1 && reg(5, 96, "bad\nName=x\r[COM9]") == 1 &&
              reg(6, 96, std::string(200, 'L').c_str()) == 1 && reg(7, 96, nullptr) == 1 &&
              reg(40, 0, "") == 1);
  // Another process's port stays; the entry of an ended process is dropped.
  std::map<int, std::string> names;
  for (auto& [nPort, entry] : ReadRegistry(home_.Path())) names[nPort] = entry["Name"];
  EXPECT_EQ(
      names,
      (std::map<int, std::string>{
          {1, "init holds it"}, {5, "bad?Name=x?[COM9]"}, {6, std::string(63, 'L')}, {7, ""}}));

  EnvGuard absent("POSHARK_HOME", home_.Path("absent").c_str());
  EXPECT_EQ(reg(3, 96, "x"), 0);
  EXPECT_FALSE(std::filesystem::exists(home_.Path("absent"))) << "a missing home is not made";
}

// Unplug stops the workers once; away, reopening is retried and the port is
// released; each re-plug gives one reopening and one restart; nothing drained
// is lost and nothing leaks over many cycles.
TEST_F(SerialTest, UnplugAndReplugCyclesRestartListeningAndLeakNothing) {
  constexpr int kCycles = 20;
  const int nFdsBefore = CountFds();
  const int nThreadsBefore = QuietThreadCount();
  int nFdsListening = -1, nThreadsListening = -1;
  auto token = [](int nCycle) { return "SOAK-" + std::to_string(1000 + nCycle); };
  {
    auto listener = MakeListener(35, true);
    ASSERT_EQ(Open(*listener), 1);
    listener->ListenStart(LineCollector::Callback, false);
    for (int nCycle = 0; nCycle < kCycles; ++nCycle) {
      // A full 512-byte block completes its read without the quiet interval.
      std::string line = token(nCycle);
      ASSERT_TRUE(pty_.Write(line + std::string(511 - line.size(), '.') + "\n"));
      ASSERT_TRUE(lines_.WaitForToken(line)) << line;
      if (nCycle == 0) {
        nFdsListening = CountFds();
        // Reader, analyzer, writer, watcher and the idle stop thread.
        EXPECT_EQ(SettledThreads("pos35.", 5), 5);
        nThreadsListening = Threads();
      }
      pty_.Unplug();
      if (nCycle == 0) {
        ASSERT_TRUE(WaitUntil([&] { return !Access::Started(*listener); }));
        EXPECT_FALSE(Access::Running(*listener));
        EXPECT_EQ(SettledThreads("pos35.analyze", 0) + SettledThreads("pos35.write", 0), 0);
        EXPECT_EQ(Threads("pos35.resume"), 1);
        std::this_thread::sleep_for(std::chrono::seconds(1));  // a few failed attempts
        EXPECT_EQ(debug_.Count(kOpened), 1) << "no reopening succeeds while the port is away";
        EXPECT_TRUE(Registered().empty());
      }
      ASSERT_TRUE(pty_.Plug());
      ASSERT_TRUE(WaitUntil([&] { return debug_.Count(kOpened) == nCycle + 2; })) << nCycle;
      ASSERT_TRUE(WaitUntil([&] { return Access::Running(*listener); })) << nCycle;
    }
    ASSERT_TRUE(Deliver("SOAK-END"));
    for (int nCycle = 0; nCycle < kCycles; ++nCycle)
      EXPECT_EQ(lines_.Count(token(nCycle)), 1) << token(nCycle);
    EXPECT_EQ(debug_.Count(kReaderExit), kCycles) << "the port was lost once per cycle";
    EXPECT_EQ(debug_.Count(kOpened), kCycles + 1) << "one reopening per re-plug";
    EXPECT_EQ(Registered()["State"], "96");
    EXPECT_EQ(CountFds(), nFdsListening) << "descriptors leaked while listening";
    EXPECT_EQ(SettledThreads("", nThreadsListening), nThreadsListening);
    EXPECT_EQ(SettledThreads("pos35.", 5), 5);
    // Destroyed while the port is away, the watcher ends at once.
    pty_.Unplug();
    ASSERT_TRUE(WaitUntil([&] { return !Access::Started(*listener); }));
    auto stopped = std::chrono::steady_clock::now();
    listener.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
    ASSERT_TRUE(pty_.Plug());
  }
  EXPECT_EQ(CountFds(), nFdsBefore);
  EXPECT_EQ(SettledThreads("", nThreadsBefore), nThreadsBefore);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(debug_.Count(kOpened), kCycles + 1) << "nobody reopens the port any more";
  EXPECT_EQ(debug_.Count("USB Trace:Wait USBResumeThread stop Time out"), 0);
}

}  // namespace
