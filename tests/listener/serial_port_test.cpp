// The termios port layer on pseudo-terminals: the port map, exclusive
// opening, the settings as the driver sees them, how a read ends (quiet
// interval, full block, time-out, break event, lost port) and writing.
#include "platform/SerialPort.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "listener/ListenerKit.h"
#include "listener/SerialKit.h"
#include "platform/Event.h"

using namespace poshark::platform;

namespace {

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.Plug()); }

  std::unique_ptr<SerialPort> OpenMapped() {
    home_.MapPorts({{2, pty_.SlavePath()}});
    auto port = OpenSerialPort(2);
    EXPECT_TRUE(port && port->Configure({9600, 8, 0, 0}));
    return port;
  }

  // One read of up to 512 bytes, waiting at most 2 s; answers the bytes, or
  // "<timeout>", "<break>", "<lost>".
  static std::string ReadBlock(SerialPort& port, Event* pBreak = nullptr, int nTimeoutMs = 2000) {
    unsigned char buf[512];
    int nRead = -1;
    switch (port.Read(buf, sizeof buf, &nRead, nTimeoutMs, pBreak)) {
      case SerialRead::kData:
        return std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(nRead));
      case SerialRead::kTimeout:
        return "<timeout>";
      case SerialRead::kBreak:
        return "<break>";
      case SerialRead::kLost:
        return "<lost>";
    }
    return "<?>";
  }

  kit::Home home_;
  kit::Pty pty_;
};

TEST_F(SerialPortTest, PortMapNamesTheDeviceElseTtyS) {
  home_.MapPorts({{3, "/dev/serial/by-id/usb-Test"}, {12, "/tmp/x y"}});
  EXPECT_EQ(SerialPortPath(3), "/dev/serial/by-id/usb-Test");
  EXPECT_EQ(SerialPortPath(12), "/tmp/x y");
  EXPECT_EQ(SerialPortPath(1), "/dev/ttyS0");
  EXPECT_EQ(SerialPortPath(10), "/dev/ttyS9");
  EXPECT_EQ(SerialPortMapEntry(1), "");
  EXPECT_EQ(SerialPortPath(0), "");
  EXPECT_EQ(SerialPortPath(-4), "");
  EXPECT_EQ(OpenSerialPort(0), nullptr);
}

TEST_F(SerialPortTest, OpensOnlyTerminalsAndOnlyOnceAtATime) {
  home_.MapPorts({{4, pty_.SlavePath()}});
  std::string strError;
  auto first = OpenSerialPort(4, &strError);
  ASSERT_NE(first, nullptr) << strError;
  EXPECT_EQ(first->DevicePath(), pty_.SlavePath());
  EXPECT_EQ(OpenSerialPort(4), nullptr);
  EXPECT_EQ(OpenSerialPath(pty_.SlavePath()), nullptr);
  int nFd = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  if (nFd >= 0) {  // root passes TIOCEXCL; the lock still refuses
    EXPECT_EQ(AdoptSerialPort(nFd), nullptr);
  }
  first.reset();
  EXPECT_NE(OpenSerialPort(4), nullptr) << "the exclusive flag went with the first opener";

  EXPECT_EQ(OpenSerialPath("/nonexistent/tty"), nullptr);
  EXPECT_EQ(AdoptSerialPort(-1), nullptr);
  int nFile = ::open(home_.Path("plain").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(nFile, 0);
  EXPECT_EQ(AdoptSerialPort(nFile, &strError), nullptr);
  EXPECT_NE(strError.find("not a terminal"), std::string::npos);
  EXPECT_EQ(::fcntl(nFile, F_GETFD), -1) << "a refused descriptor is closed";
}

TEST(SerialTermiosTest, MapsDataBitsStopBitsAndParity) {
  struct Case {
    SerialSettings s;
    tcflag_t size;
    bool bTwoStop;
    tcflag_t parity;
  };
  const Case cases[] = {
      {{19200, 7, 1, 3}, CS7, true, PARENB | PARODD | CMSPAR},  // 1.5 stop bits become two; mark
      {{9600, 8, 0, 4}, CS8, false, PARENB | CMSPAR},           // space
      {{115200, 5, 2, 1}, CS5, true, PARENB | PARODD},          // odd
      {{2400, 6, 0, 2}, CS6, false, PARENB},                    // even
      {{1200, 8, 0, 0}, CS8, false, 0},                         // none
  };
  for (const Case& c : cases) {
    termios tio{};
    tio.c_iflag = INPCK | IXON | ICRNL;  // left over from an earlier owner
    tio.c_lflag = ICANON | ECHO;
    tio.c_cflag = CRTSCTS | PARENB | CSTOPB;
    ASSERT_TRUE(MakeSerialTermios(c.s, &tio)) << c.s.nBaud;
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size) << c.s.nBaud;
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.bTwoStop) << c.s.nBaud;
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parity) << c.s.nBaud;
    EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.parity != 0) << "parity checking follows the parity";
    EXPECT_FALSE(tio.c_iflag & (IXON | ICRNL));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_EQ(::cfgetispeed(&tio), ::cfgetospeed(&tio));
  }
  termios tio{};
  for (int nBaud : {12345, 0, -9600}) {
    EXPECT_FALSE(MakeSerialTermios({nBaud, 8, 0, 0}, &tio)) << nBaud;
  }
}

TEST_F(SerialPortTest, SettingsReachTheDriverAndNoLineErrorsAreMadeUp) {
  int nFd = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(nFd, 0);
  int nPeek = ::dup(nFd);  // reads the settings back as the driver holds them
  auto port = AdoptSerialPort(nFd);
  ASSERT_NE(port, nullptr);
  termios tio{};
  // A pseudo-terminal keeps only the speed, the stop bits and the modes.
  ASSERT_TRUE(port->Configure({19200, 7, 1, 3}));
  ASSERT_EQ(::tcgetattr(nPeek, &tio), 0);
  EXPECT_EQ(::cfgetispeed(&tio), B19200);
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_EQ(tio.c_cc[VMIN], 1);
  ASSERT_TRUE(port->Configure({115200, 8, 0, 0}));
  ASSERT_EQ(::tcgetattr(nPeek, &tio), 0);
  EXPECT_FALSE(tio.c_cflag & CSTOPB) << "the earlier setting's second stop bit is cleared";
  ::close(nPeek);

  uint32_t dwErrors = 0xFFFF;
  EXPECT_TRUE(port->ClearError(&dwErrors));
  EXPECT_EQ(dwErrors, 0u);
  EXPECT_EQ(port->TakeCommEvents(0x1F8), 0u);
}

TEST_F(SerialPortTest, ReadEndsAfterQuietIntervalWhenFullOrAtItsTimeOut) {
  auto port = OpenMapped();
  ASSERT_NE(port, nullptr);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadBlock(*port, nullptr, 60), "<timeout>");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(60));

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty_.Write("HEL");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // inside the quiet interval
    pty_.Write("LO\n");
  });
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadBlock(*port), "HELLO\n") << "a pause shorter than 100 ms does not cut a block";
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(180))
      << "a read waits for 100 ms of quiet after its last byte";
  writer.join();

  // 600 bytes at once: a full block of 512, then the rest.
  ASSERT_TRUE(pty_.Write(std::string(600, 'z')));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ReadBlock(*port).size(), 512u);
  EXPECT_EQ(ReadBlock(*port).size(), 88u);

  const std::string reply = "PRINTER READY\r\n";
  EXPECT_EQ(port->Write(reinterpret_cast<const unsigned char*>(reply.data()),
                        static_cast<int>(reply.size())),
            static_cast<int>(reply.size()));
  EXPECT_EQ(pty_.Read(reply.size(), 2000), reply);
}

TEST_F(SerialPortTest, BreakEventEndsAReadAndPurgeDropsPendingInput) {
  auto port = OpenMapped();
  ASSERT_NE(port, nullptr);
  Event brk(Event::kManualReset);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    brk.Set();
  });
  EXPECT_EQ(ReadBlock(*port, &brk, -1), "<break>");
  setter.join();
  ASSERT_TRUE(pty_.Write("data"));
  EXPECT_EQ(ReadBlock(*port, &brk), "<break>") << "the break event stays set";

  ASSERT_TRUE(pty_.Write("stale"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  port->Purge();
  ASSERT_TRUE(pty_.Write("fresh"));
  EXPECT_EQ(ReadBlock(*port), "fresh");
}

TEST_F(SerialPortTest, UnplugEndsTheReadUnderWayAndEveryLaterRead) {
  auto port = OpenMapped();
  ASSERT_NE(port, nullptr);
  std::thread unplugger([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty_.Unplug();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadBlock(*port, nullptr, -1), "<lost>");
  unplugger.join();
  EXPECT_EQ(ReadBlock(*port, nullptr, -1), "<lost>");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
  uint32_t dwErrors = 0;
  EXPECT_FALSE(port->ClearError(&dwErrors));
}

}  // namespace
