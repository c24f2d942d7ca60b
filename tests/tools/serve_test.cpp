// `poshark serve` end to end on loopback: a feed, a TCP channel and a tap in
// front of a fake printer; the printer off; SIGHUP with one channel changed;
// SIGTERM with lines in flight; bad input from the POS and the printer.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

#include "Loopback.h"
#include "ToolProcess.h"

namespace poshark_test {
namespace {

using Json = nlohmann::json;

// SIGTERM ends the service within 2 s; a sanitizer slows every thread down.
const auto kStopLimit = std::chrono::seconds(kSanitized ? 6 : 2);

std::vector<std::string> ExpectedLines(const std::string& name) {
  std::vector<std::string> lines;
  for (const auto& l : SplitLines(ReadFile(ReceiptsDir() + "/" + name + ".txt")))
    if (!l.empty() && l[0] != '#') lines.push_back(l);
  return lines;
}

// The texts of every JSON line that has more than spaces, by channel.
std::map<std::string, std::vector<std::string>> TextsByChannel(const std::string& out) {
  std::map<std::string, std::vector<std::string>> texts;
  for (const auto& line : SplitLines(out)) {
    Json j = Json::parse(line);
    std::string text = j["text"];
    if (text.find_first_not_of(' ') != std::string::npos) texts[j["channel"]].push_back(text);
  }
  return texts;
}

class Serve {
 public:
  explicit Serve(const std::string& config) {
    WriteFile(dir_ / "poshark.ini", "[service]\nhome = " + dir_.path() + "\n" + config);
    tool_ = std::make_unique<ToolProcess>(
        ToolProcess::Options{{"serve", "--config", dir_ / "poshark.ini"}});
  }
  ToolProcess& tool() { return *tool_; }
  const TempDir& dir() const { return dir_; }
  // The port a channel listens on, from its log line.
  int Port(const std::string& channel) {
    std::string prefix = "channel " + channel + ": listening on ";
    if (!ErrHas(*tool_, prefix + "127.0.0.1:")) return -1;
    return PortAfter(tool_->Err(), prefix);
  }
  bool Lines(const std::string& channel, size_t n) {
    return tool_->WaitFor([&](const std::string& out, const std::string&) {
      return Count(out, "\"channel\":\"" + channel + "\"") >= n;
    });
  }

 private:
  TempDir dir_;
  std::unique_ptr<ToolProcess> tool_;
};

TEST(Serve, FeedTcpAndTapDeliverEveryReceiptAndThePrinterGetsEveryByte) {
  FakePrinter printer;
  Serve serve("[channel feed]\npos = 1\nsource = feed:" + ReceiptsDir() +
              "/plain.bin\n"
              "[channel till]\npos = 2\nsource = tcp:127.0.0.1:0\n"
              "[channel tap]\npos = 3\nsource = tap:127.0.0.1:0=127.0.0.1:" +
              std::to_string(printer.Port()) + "\n");
  int till = serve.Port("till"), tap = serve.Port("tap");
  ASSERT_GT(till, 0) << serve.tool().Err();
  ASSERT_GT(tap, 0) << serve.tool().Err();

  int fd = ConnectLoopback(till);
  SendAll(fd, ReadFile(ReceiptsDir() + "/latin.bin"));
  close(fd);
  // Through the tap: a status request answered by the printer, then a receipt.
  fd = ConnectLoopback(tap);
  SendAll(fd, "\x10\x04\x01");
  char status = 0;
  ASSERT_EQ(recv(fd, &status, 1, 0), 1);
  EXPECT_EQ(status, FakePrinter::kStatus);
  std::string receipt = ReadFile(ReceiptsDir() + "/void.bin");
  SendAll(fd, receipt);
  shutdown(fd, SHUT_WR);  // the half-close reaches the printer, whose end reaches the POS
  EXPECT_EQ(ReadUntilEnd(fd), "");
  close(fd);
  EXPECT_EQ(printer.Received(), "\x10\x04\x01" + receipt);

  ASSERT_TRUE(serve.Lines("feed", ExpectedLines("plain").size()));
  ASSERT_TRUE(serve.Lines("till", ExpectedLines("latin").size()));
  ASSERT_TRUE(serve.Lines("tap", ExpectedLines("void").size()));
  auto start = Clock::now();
  serve.tool().Signal(SIGTERM);
  EXPECT_EQ(serve.tool().Wait(std::chrono::seconds(10)), 0) << serve.tool().Err();
  EXPECT_LT(Clock::now() - start, kStopLimit);
  auto texts = TextsByChannel(serve.tool().Out());
  EXPECT_EQ(texts["feed"], ExpectedLines("plain"));
  EXPECT_EQ(texts["till"], ExpectedLines("latin"));
  EXPECT_EQ(texts["tap"], ExpectedLines("void"));
}

TEST(Serve, PrinterOffClosesThePosSideBeforeReadingIt) {
  int off_port = 0;
  int off = ListenLoopback(off_port);
  close(off);  // nothing listens there now
  Serve serve("[channel tap]\nsource = tap:127.0.0.1:0=127.0.0.1:" + std::to_string(off_port) +
              "\n");
  int tap = serve.Port("tap");
  ASSERT_GT(tap, 0) << serve.tool().Err();
  int fd = ConnectLoopback(tap);
  SendAll(fd, ReadFile(ReceiptsDir() + "/plain.bin"));
  auto start = Clock::now();
  char c;
  EXPECT_LE(recv(fd, &c, 1, 0), 0);  // reset or end at once
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  close(fd);
  EXPECT_TRUE(ErrHas(serve.tool(), "printer 127.0.0.1:"));
  serve.tool().Signal(SIGTERM);
  EXPECT_EQ(serve.tool().Wait(std::chrono::seconds(10)), 0);
  EXPECT_EQ(serve.tool().Out(), "");  // no byte of the POS was read
}

TEST(Serve, SighupRestartsOnlyTheChangedChannel) {
  const std::string a = "[channel a]\npos = 1\nsource = tcp:127.0.0.1:0\n";
  Serve serve(a + "[channel b]\npos = 2\nsource = tcp:127.0.0.1:0\n");
  int port_a = serve.Port("a");
  ASSERT_GT(port_a, 0);
  ASSERT_GT(serve.Port("b"), 0);
  int fd = ConnectLoopback(port_a);  // stays open across the reload
  ASSERT_TRUE(ErrHas(serve.tool(), "channel a: connection from"));
  std::string config = ReadFile(serve.dir() / "poshark.ini");
  WriteFile(serve.dir() / "poshark.ini", config + "codepage = cp437\n");  // b's section is last
  serve.tool().Signal(SIGHUP);
  ASSERT_TRUE(ErrHas(serve.tool(), "reloaded")) << serve.tool().Err();
  EXPECT_EQ(Count(serve.tool().Err(), "channel b: changed; restarting"), 1u);
  EXPECT_EQ(Count(serve.tool().Err(), "channel b: listening on"), 2u);
  EXPECT_EQ(Count(serve.tool().Err(), "channel a: "), 2u) << serve.tool().Err();
  SendAll(fd, ReadFile(ReceiptsDir() + "/plain.bin"));
  close(fd);
  EXPECT_TRUE(serve.Lines("a", ExpectedLines("plain").size()));
  serve.tool().Signal(SIGTERM);
  EXPECT_EQ(serve.tool().Wait(std::chrono::seconds(10)), 0);
  EXPECT_EQ(TextsByChannel(serve.tool().Out())["a"], ExpectedLines("plain"));
}

}  // namespace
}  // namespace poshark_test

namespace poshark_test {
namespace {

// Receipt-like text without any status request in it.
std::string Bulk(size_t size) {
  std::string line = "Article 0001 pack of 2                1.36\n";
  std::string data;
  data.reserve(size + line.size());
  while (data.size() < size) data += line;
  data.resize(size);
  return data;
}

// Sends while reading what comes back, so that neither side stalls.
void Exchange(int fd, const std::string& data, ToolProcess& tool) {
  std::thread sender([&] {
    SendAll(fd, data);
    shutdown(fd, SHUT_WR);
  });
  std::string back;
  tool.WaitFor(
      [&](const std::string&, const std::string&) {
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) back.append(buf, static_cast<size_t>(n));
        return n == 0;
      },
      std::chrono::seconds(60));
  sender.join();
}

TEST(Serve, FiftyMegabytesPassTheTapUnchangedAndAResetEndsOnlyItsConnection) {
  FakePrinter printer;
  Serve serve(
      "[channel tap]\nsource = tap:127.0.0.1:0=127.0.0.1:" + std::to_string(printer.Port()) + "\n");
  int tap = serve.Port("tap");
  ASSERT_GT(tap, 0);
  // A POS that resets its connection in the middle of a receipt.
  std::string plain = ReadFile(ReceiptsDir() + "/plain.bin");
  int fd = ConnectLoopback(tap);
  SendAll(fd, plain.substr(0, 200));
  ASSERT_TRUE(printer.WaitFor(200));
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
  // The next one sends 50 MB at once.
  const std::string bulk = Bulk(50 * 1024 * 1024);
  fd = ConnectLoopback(tap);
  Exchange(fd, bulk, serve.tool());
  close(fd);
  ASSERT_TRUE(printer.WaitFor(200 + bulk.size()));
  EXPECT_TRUE(printer.Received() == plain.substr(0, 200) + bulk);  // byte for byte
  EXPECT_EQ(printer.Connections(), 2);
  if (!kSanitized) {
    EXPECT_LT(serve.tool().PeakKiB(), 48 * 1024);  // less than the bytes that passed
  }
  serve.tool().Signal(SIGTERM);
  EXPECT_EQ(serve.tool().Wait(std::chrono::seconds(10)), 0) << serve.tool().Err();
}

}  // namespace
}  // namespace poshark_test

namespace poshark_test {
namespace {

TEST(Serve, AChannelThatCannotStartIsRetriedWhileTheOthersRunAndStrangersAreRefused) {
  int taken_port = 0;
  int taken = ListenLoopback(taken_port);  // the address is in use
  Serve serve("[channel late]\nsource = tcp:127.0.0.1:" + std::to_string(taken_port) +
              "\n"
              "[channel closed]\npos = 2\nsource = tcp:127.0.0.1:0\nallow = 10.0.0.0/8, ::1\n");
  int closed_port = serve.Port("closed");
  ASSERT_GT(closed_port, 0);
  ASSERT_TRUE(ErrHas(serve.tool(), "channel late: tcp 127.0.0.1:" + std::to_string(taken_port)));
  for (int i = 0; i < 2; ++i) {  // refused, and logged once
    int fd = ConnectLoopback(closed_port);
    EXPECT_EQ(ReadUntilEnd(fd), "");
    close(fd);
  }
  close(taken);
  EXPECT_GT(serve.Port("late"), 0) << serve.tool().Err();  // within the back-off
  serve.tool().Signal(SIGTERM);
  EXPECT_EQ(serve.tool().Wait(std::chrono::seconds(10)), 0);
  EXPECT_EQ(Count(serve.tool().Err(), "refused a connection from 127.0.0.1"), 1u)
      << serve.tool().Err();
}

TEST(Serve, SighupReopensTheOutputFileForLogRotation) {
  TempDir out;
  Serve serve("output = " + (out / "lines.jsonl") + "\n[channel till]\nsource = tcp:127.0.0.1:0\n");
  int port = serve.Port("till");
  ASSERT_GT(port, 0);
  auto send = [&] {
    int fd = ConnectLoopback(port);
    SendAll(fd, ReadFile(ReceiptsDir() + "/plain.bin"));
    close(fd);
  };
  auto wait_lines = [&](const std::string& file) {
    for (int i = 0; i < 200 && Count(ReadFile(file), "Thank you") == 0; ++i) usleep(50000);
    return Count(ReadFile(file), "Thank you");
  };
  send();
  ASSERT_EQ(wait_lines(out / "lines.jsonl"), 1u);
  ASSERT_EQ(rename((out / "lines.jsonl").c_str(), (out / "lines.jsonl.1").c_str()), 0);
  serve.tool().Signal(SIGHUP);
  ASSERT_TRUE(ErrHas(serve.tool(), "reloaded"));
  send();
  EXPECT_EQ(wait_lines(out / "lines.jsonl"), 1u);
  EXPECT_EQ(Count(ReadFile(out / "lines.jsonl.1"), "Thank you"), 1u);
  serve.tool().Signal(SIGTERM);
  EXPECT_EQ(serve.tool().Wait(std::chrono::seconds(10)), 0);
}

}  // namespace
}  // namespace poshark_test
