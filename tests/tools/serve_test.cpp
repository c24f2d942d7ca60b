// `poshark serve` end to end on loopback: one service with a feed, a TCP
// channel, a tap in front of a fake printer, a channel whose port is taken
// and one that refuses strangers, through a reload with its output file
// rotated and SIGTERM, telling a service manager each step; a tap whose
// printer is off, POSes that misbehave and a printer that never reads.
#include <gtest/gtest.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "ToolProcess.h"
#include "support/LineCollector.h"

namespace poshark_test {
namespace {

// A network printer: keeps every byte of every connection and answers each
// real-time status request DLE EOT n with one status byte. Each connection
// has its own thread, so an idle one holds up no other. With reading off it
// accepts connections but never reads them.
class FakePrinter {
 public:
  static constexpr char kStatus = 0x12;

  explicit FakePrinter(bool reading = true) : reading_(reading) {
    fd_ = ListenLoopback(port_);
    accept_ = std::thread([this] {
      for (int c; !stop_ && (c = accept(fd_, nullptr, nullptr)) >= 0;) {
        conns_.push_back(c);
        if (reading_) serving_.emplace_back([this, c] { Serve(c); });
      }
    });
  }
  ~FakePrinter() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    accept_.join();
    for (int c : conns_) shutdown(c, SHUT_RDWR);
    for (auto& t : serving_) t.join();
    for (int c : conns_) close(c);
    close(fd_);
  }
  int Port() const { return port_; }
  std::string Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void Serve(int c) {
    char buf[65536];
    uint32_t last = 0;  // the last three bytes
    for (ssize_t n; !stop_ && (n = recv(c, buf, sizeof buf, 0)) > 0;) {
      std::lock_guard lock(mutex_);
      received_.append(buf, static_cast<size_t>(n));
      for (ssize_t i = 0; i < n; ++i) {
        last = (last << 8 | static_cast<unsigned char>(buf[i])) & 0xFFFFFF;
        if (last >> 8 == 0x1004) send(c, &kStatus, 1, MSG_NOSIGNAL);  // DLE EOT n
      }
    }
    shutdown(c, SHUT_WR);  // the POS's end passed on: end ours too
  }

  bool reading_;
  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<int> conns_;  // accept thread, then the destructor
  std::vector<std::thread> serving_;
  std::mutex mutex_;
  std::string received_;
  std::thread accept_;
};

// The texts of every JSON line that has more than spaces, by channel.
std::map<std::string, std::vector<std::string>> TextsByChannel(const std::string& out) {
  std::map<std::string, std::vector<std::string>> texts;
  for (const auto& line : SplitLines(out)) {
    auto j = nlohmann::json::parse(line);
    std::string text = j["text"];
    if (text.find_first_not_of(' ') != std::string::npos) texts[j["channel"]].push_back(text);
  }
  return texts;
}

// The port a channel listens on, from its log line.
int Port(Service& serve, const std::string& channel) {
  return serve.Port("channel " + channel + ": listening on ");
}

// Without libsystemd the tool tells no service manager anything.
#ifndef POSHARK_TOOL_NOTIFIES
#define POSHARK_TOOL_NOTIFIES 0
#endif

// CLOCK_MONOTONIC in microseconds.
uint64_t MonotonicUsec() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

TEST(Serve, ChannelsDeliverEveryReceiptThroughReloadRotationAndStopAndTellTheManager) {
  FakePrinter printer;
  int taken_port = 0;
  int taken = ListenLoopback(taken_port);  // the address is in use
  TempDir out;
  // The service manager's end: a datagram socket; every message one line of `got`.
  sockaddr_un addr{AF_UNIX, {}};
  std::strncpy(addr.sun_path, (out / "notify").c_str(), sizeof addr.sun_path - 1);
  int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::string got;
  auto told = [&](const std::string& line) {
    char buf[4096];
    for (ssize_t len; (len = recv(manager, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      got += std::string(buf, static_cast<size_t>(len)) + "\n";
    return Count(got, line + "\n");
  };
  constexpr auto kWatchdog = std::chrono::milliseconds(400);
  const auto start = Clock::now();
  Service serve(
      "output = " + (out / "lines.jsonl") +
          "\n[channel feed]\npos = 1\nsource = feed:" + ReceiptsDir() +
          "/plain.bin\n"
          "[channel till]\npos = 2\nsource = tcp:127.0.0.1:0\n"
          "[channel tap]\npos = 3\nsource = tap:127.0.0.1:0=127.0.0.1:" +
          std::to_string(printer.Port()) +
          "\n[channel late]\npos = 4\nsource = tcp:127.0.0.1:" + std::to_string(taken_port) +
          "\n[channel closed]\npos = 5\nsource = tcp:127.0.0.1:0\nallow = 10.0.0.0/8, ::1\n",
      {{"NOTIFY_SOCKET", addr.sun_path},
       {"WATCHDOG_PID", ""},
       {"WATCHDOG_USEC", std::to_string(kWatchdog.count() * 1000)}});
  ToolProcess& tool = *serve.tool;
  int till = Port(serve, "till"), tap = Port(serve, "tap"), closed = Port(serve, "closed");
  ASSERT_TRUE(till > 0 && tap > 0 && closed > 0) << tool.Err();
  ASSERT_TRUE(tool.WaitForErr("channel late: tcp 127.0.0.1:" + std::to_string(taken_port)));
  for (int i = 0; i < 2; ++i) {  // refused with a reset, as by a printer that is off; logged once
    int fd = ConnectLoopback(closed);
    pollfd p{fd, POLLIN, 0};
    char c = 0;
    EXPECT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(recv(fd, &c, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    close(fd);
  }
  if (POSHARK_TOOL_NOTIFIES) {  // the manager hears how many channels run
    EXPECT_TRUE(tool.WaitFor([&](auto&, auto&) {
      return told("STATUS=4 channels running, 1 retrying, 0 failed") > 0;
    })) << got;
  }
  close(taken);
  EXPECT_GT(Port(serve, "late"), 0) << tool.Err();  // retried within the back-off
  if (POSHARK_TOOL_NOTIFIES) {
    EXPECT_TRUE(tool.WaitFor([&](auto&, auto&) {
      return told("STATUS=5 channels running, 0 retrying, 0 failed") > 0;
    })) << got;
  }

  // Through the tap: a status request answered by the printer, then a receipt.
  int fd = ConnectLoopback(tap);
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

  // The till's connection stays open while the last channel changes.
  int pos = ConnectLoopback(till);
  ASSERT_TRUE(tool.WaitForErr("channel till: connection from"));
  SendAll(pos, ReadFile(ReceiptsDir() + "/latin.bin"));
  auto lines = [&](const std::string& channel) {
    return Count(ReadFile(out / "lines.jsonl"), "\"channel\":\"" + channel + "\"");
  };
  ASSERT_TRUE(poshark::testing::WaitUntil(
      [&] {
        return lines("feed") >= ReceiptLines("plain").size() &&
               lines("till") >= ReceiptLines("latin").size() &&
               lines("tap") >= ReceiptLines("void").size();
      },
      30000))
      << ReadFile(out / "lines.jsonl");
  // Ready, and pinging the watchdog at half its time-out.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  if (POSHARK_TOOL_NOTIFIES) {
    EXPECT_EQ(told("READY=1"), 1u) << got;
    const size_t pings = told("WATCHDOG=1");
    EXPECT_GE(pings, 3u);
    EXPECT_LE(pings, static_cast<size_t>((Clock::now() - start) / (kWatchdog / 2)) + 2);
  }
  // Rotated away: after SIGHUP the output file is opened afresh. A reload is
  // announced with the monotonic time it began at, then ready again.
  ASSERT_EQ(rename((out / "lines.jsonl").c_str(), (out / "lines.jsonl.1").c_str()), 0);
  serve.Write("poshark.ini", ReadFile(serve / "poshark.ini") + "codepage = cp437\n");
  const uint64_t before = MonotonicUsec();
  tool.Signal(SIGHUP);
  ASSERT_TRUE(tool.WaitForErr("reloaded")) << tool.Err();
  if (POSHARK_TOOL_NOTIFIES) {
    ASSERT_TRUE(tool.WaitFor([&](auto&, auto&) { return told("READY=1") == 2; })) << got;
    const size_t at = got.find("RELOADING=1\nMONOTONIC_USEC=");
    ASSERT_NE(at, std::string::npos) << got;
    const uint64_t stamp = std::stoull(got.substr(at + 27));
    EXPECT_TRUE(stamp >= before && stamp <= MonotonicUsec()) << stamp;
  }
  EXPECT_EQ(Count(tool.Err(), "channel closed: changed; restarting"), 1u);
  EXPECT_EQ(Count(tool.Err(), "channel closed: listening on"), 2u);
  EXPECT_EQ(Count(tool.Err(), "channel till: "), 2u) << tool.Err();
  SendAll(pos, ReadFile(ReceiptsDir() + "/plain.bin"));
  close(pos);
  // Once that connection has ended, the next POS connection is taken.
  auto second = ReceiptLines("plain");
  for (const auto& l : ReceiptLines("void")) second.push_back(l);
  pos = ConnectLoopback(till);
  SendAll(pos, ReadFile(ReceiptsDir() + "/void.bin"));
  close(pos);
  ASSERT_TRUE(poshark::testing::WaitUntil([&] { return lines("till") >= second.size(); }, 30000));
  serve.Stop();
  EXPECT_EQ(told("STOPPING=1"), POSHARK_TOOL_NOTIFIES ? 1u : 0u) << got;
  close(manager);
  auto texts = TextsByChannel(ReadFile(out / "lines.jsonl.1"));
  EXPECT_EQ(texts["feed"], ReceiptLines("plain"));
  EXPECT_EQ(texts["till"], ReceiptLines("latin"));
  EXPECT_EQ(texts["tap"], ReceiptLines("void"));
  EXPECT_EQ(TextsByChannel(ReadFile(out / "lines.jsonl"))["till"], second);
  EXPECT_EQ(Count(tool.Err(), "refused a connection from 127.0.0.1"), 1u) << tool.Err();
}

// Receipt-like text without any status request in it.
std::string Bulk(size_t size) {
  std::string data;
  while (data.size() < size) data += "Article 0001 pack of 2                1.36\n";
  return data.substr(0, size);
}

// A printer that is off has the POS side closed at once; one that never
// reads slows its POS down, and holds up neither the other tap nor the stop;
// a POS that resets or floods ends only its own connection.
TEST(Serve, APosOrPrinterThatMisbehavesHoldsUpOnlyItsOwnConnection) {
  FakePrinter printer, deaf(false);
  int off_port = 0;
  close(ListenLoopback(off_port));  // nothing listens there now
  auto tap = [](const char* name, int to) {
    return std::string("[channel ") + name +
           "]\nsource = tap:127.0.0.1:0=127.0.0.1:" + std::to_string(to) + "\n";
  };
  Service serve("output = /dev/null\njournal = off\n" + tap("tap", printer.Port()) +
                tap("deaf", deaf.Port()) + tap("off", off_port));
  int port = Port(serve, "tap"), deaf_port = Port(serve, "deaf"), off = Port(serve, "off");
  ASSERT_TRUE(port > 0 && deaf_port > 0 && off > 0) << serve.tool->Err();
  int fd = ConnectLoopback(off);
  SendAll(fd, ReadFile(ReceiptsDir() + "/plain.bin"));
  auto start = Clock::now();
  char c;
  EXPECT_LE(recv(fd, &c, 1, 0), 0);  // reset or end at once
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  close(fd);
  EXPECT_TRUE(serve.tool->WaitForErr("closed: printer 127.0.0.1:")) << serve.tool->Err();

  int stalled = ConnectLoopback(deaf_port);
  const std::string block = Bulk(64 << 10);
  size_t sent = 0;
  for (pollfd p{stalled, POLLOUT, 0}; poll(&p, 1, 500) > 0;) {  // until sending stalls 0.5 s
    ssize_t n = send(stalled, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
    ASSERT_LT(sent, 64u << 20) << "the POS was never slowed down";
  }
  EXPECT_GT(sent, 0u);

  const std::string plain = ReadFile(ReceiptsDir() + "/plain.bin").substr(0, 200);
  fd = ConnectLoopback(port);
  SendAll(fd, plain);
  ASSERT_TRUE(poshark::testing::WaitUntil([&] { return printer.Received().size() >= plain.size(); },
                                          20000));
  linger hard{1, 0};  // reset in the middle of the receipt
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
  const std::string bulk = Bulk(50 << 20);  // all at once
  fd = ConnectLoopback(port);
  SendAll(fd, bulk);
  shutdown(fd, SHUT_WR);
  EXPECT_EQ(ReadUntilEnd(fd, 30000), "");
  close(fd);
  EXPECT_TRUE(printer.Received() == plain + bulk) << printer.Received().size();  // byte for byte
  if (!kSanitized) {
    EXPECT_LT(serve.tool->PeakKiB(), 48 << 10);  // far less than passed
  }
  serve.Stop();
  close(stalled);
}

// Numbered lines "<tag>01 line" ... as one string.
std::string Numbered(char tag, int from, int to) {
  std::string text;
  for (int i = from; i <= to; ++i) text += tag + std::to_string(100 + i).substr(1) + " line\n";
  return text;
}

// Two POSes on one tcp or tap channel: the second waits until the first has
// ended, whose unfinished line ends with it (also after a reset); a silent
// connection is closed after the channel's idle time instead of holding
// back the next POS.
TEST(Serve, TwoPosOnOneChannelNeverMixAndASilentOneIsClosedWhenIdle) {
  FakePrinter printer;
  TempDir out;
  Service serve("output = " + (out / "lines.jsonl") +
                "\njournal = off\n[channel till]\nsource = tcp:127.0.0.1:0\nidle = 1s\n"
                "[channel tap]\nsource = tap:127.0.0.1:0=127.0.0.1:" +
                std::to_string(printer.Port()) + "\nidle = 1\n");
  std::vector<std::string> expected;
  for (const std::string& text : SplitLines(Numbered('A', 1, 20) + "AAAA unfinished\n" +
                                            Numbered('B', 1, 20) + Numbered('C', 1, 1)))
    expected.push_back(text);
  for (const char* channel : {"till", "tap"}) {
    SCOPED_TRACE(channel);
    const int port = Port(serve, channel);
    ASSERT_GT(port, 0) << serve.tool->Err();
    const std::string accepted = std::string("channel ") + channel + ": connection from";
    const size_t before = Count(serve.tool->Err(), accepted);
    int a = ConnectLoopback(port);
    ASSERT_TRUE(
        serve.tool->WaitFor([&](auto&, auto& err) { return Count(err, accepted) > before; }));
    SendAll(a, Numbered('A', 1, 10));
    int b = ConnectLoopback(port);
    SendAll(b, Numbered('B', 1, 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SendAll(a, Numbered('A', 11, 20) + "AAAA unfinished");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    linger hard{1, 0};
    setsockopt(a, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(a);
    SendAll(b, Numbered('B', 11, 20));
    close(b);
    int silent = ConnectLoopback(port);
    int c = ConnectLoopback(port);
    SendAll(c, Numbered('C', 1, 1));
    close(c);
    const auto start = Clock::now();
    EXPECT_EQ(ReadUntilEnd(silent, 10000), "");  // closed by the service
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(kSanitized ? 8 : 4));
    close(silent);
    ASSERT_TRUE(poshark::testing::WaitUntil(
        [&] { return TextsByChannel(ReadFile(out / "lines.jsonl"))[channel].size() >= 42; }, 10000))
        << ReadFile(out / "lines.jsonl");
    EXPECT_EQ(TextsByChannel(ReadFile(out / "lines.jsonl"))[channel], expected);
  }
  EXPECT_TRUE(serve.tool->WaitForErr("closed after 1 s without a byte"));
  serve.Stop();
}

TEST(Serve, ASecondServiceOnOneJournalExitsNamingTheHolderWhileSearchStillReadsIt) {
  Service first("output = /dev/null\n[channel shop]\nsource = feed:" + ReceiptsDir() +
                "/latin.bin\n");
  ASSERT_TRUE(first.tool->WaitForErr("journal ")) << first.tool->Err();
  const std::string journal = first / "journal.sqlite";
  const std::string second_config =
      "output = /dev/null\njournal = " + journal + "\n[channel till]\nsource = tcp:127.0.0.1:0\n";
  Service second(second_config);
  EXPECT_EQ(second.tool->Wait(std::chrono::seconds(20)), 1) << second.tool->Err();
  EXPECT_NE(
      second.tool->Err().find("journal " + journal + ": in use by another poshark serve (process " +
                              std::to_string(first.tool->Pid()) + ")"),
      std::string::npos)
      << second.tool->Err();
  // Readers take no lock: search finds the replayed receipt meanwhile.
  Result found{};
  EXPECT_TRUE(poshark::testing::WaitUntil(
      [&] {
        found = RunTool({{"search", "--journal", journal, "--json"}});
        return found.code == 0 && !found.out.empty();
      },
      20000))
      << found.err;
  first.Stop();
  // The lock ends with its holder.
  Service third(second_config);
  EXPECT_GT(Port(third, "till"), 0) << third.tool->Err();
  third.Stop();
}

// The metric named, with its labels, as the text format gives it; -1 when absent.
double Metric(const std::string& text, const std::string& sample) {
  const size_t at = text.find("\n" + sample + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + sample.size() + 2));
}

// A tap in front of a printer, a feed, a channel whose port is taken
// (retrying) and a feed of a folder (failed): /healthz and /metrics tell
// each channel's state and counts, behind the page's token.
TEST(Serve, HealthAndMetricsTellEveryChannelsStateAndCountsBehindTheToken) {
  FakePrinter printer;
  int taken_port = 0;
  const int taken = ListenLoopback(taken_port);
  const std::string token = "health-token-0123456789";
  const std::string config =
      "output = /dev/null\nhttp = 127.0.0.1:0\ntoken = " + token +
      "\n[channel tap]\npos = 1\nsource = tap:127.0.0.1:0=127.0.0.1:" +
      std::to_string(printer.Port()) + "\n[channel feed]\npos = 2\nsource = feed:" + ReceiptsDir() +
      "/latin.bin\n[channel late]\npos = 3\nsource = tcp:127.0.0.1:" + std::to_string(taken_port) +
      "\n";
  TempDir folder;
  Service serve(config + "[channel broken]\npos = 4\nsource = feed:" + folder.Path() + "\n");
  const int page = serve.Port("page on http://"), tap = Port(serve, "tap");
  ASSERT_TRUE(page > 0 && tap > 0) << serve.tool->Err();
  const std::string receipt = ReadFile(ReceiptsDir() + "/void.bin");
  int fd = ConnectLoopback(tap);
  SendAll(fd, "\x10\x04\x01" + receipt);
  shutdown(fd, SHUT_WR);
  ReadUntilEnd(fd);
  close(fd);
  EXPECT_EQ(Request(page, "GET", "/healthz").first, 401);
  EXPECT_EQ(Request(page, "GET", "/metrics").first, 401);
  const std::string bearer = "Authorization: Bearer " + token + "\r\n";
  auto body = [&](const std::string& path) {
    auto [status, reply] = Request(page, "GET", path, bearer);
    const size_t at = reply.find("\r\n\r\n");
    return std::pair(status, at == std::string::npos ? "" : reply.substr(at + 4));
  };
  std::map<std::string, nlohmann::json> states;
  std::pair<int, std::string> health;
  EXPECT_TRUE(poshark::testing::WaitUntil(
      [&] {
        health = body("/healthz");
        // A slow (sanitised) service may answer a request late: asked again.
        const auto doc = nlohmann::json::parse(health.second, nullptr, false);
        if (doc.is_discarded() || !doc.contains("channels")) return false;
        for (const auto& c : doc["channels"]) states[c["name"].get<std::string>()] = c;
        return states["feed"]["state"] == "ended" && states["broken"]["state"] == "failed";
      },
      20000))
      << health.second;
  EXPECT_EQ(health.first, 503);
  EXPECT_EQ(states["tap"]["state"], "running");
  EXPECT_EQ(states["late"]["state"], "retrying");
  EXPECT_NE(states["late"]["last_error"].dump().find("tcp 127.0.0.1:"), std::string::npos);
  EXPECT_NE(states["broken"]["last_error"].dump().find("Is a directory"), std::string::npos);
  EXPECT_TRUE(states["feed"]["last_line"].is_string() && states["late"]["last_line"].is_null());

  // The journal commits within 100 ms of a line.
  std::string metrics;
  EXPECT_TRUE(poshark::testing::WaitUntil(
      [&] {
        metrics = body("/metrics").second;
        return Metric(metrics, "poshark_journal_commits_total") >= 1;
      },
      5000))
      << metrics;
  EXPECT_GT(Metric(metrics, "poshark_channel_lines_total{channel=\"feed\"}"), 0) << metrics;
  EXPECT_EQ(Metric(metrics, "poshark_channel_receipts_total{channel=\"feed\"}"), 1);
  EXPECT_EQ(
      Metric(metrics, "poshark_channel_tap_bytes_total{channel=\"tap\",direction=\"to_printer\"}"),
      receipt.size() + 3);
  EXPECT_EQ(Metric(metrics,
                   "poshark_channel_tap_bytes_total{channel=\"tap\",direction=\"from_printer\"}"),
            1);  // the status byte
  EXPECT_EQ(Metric(metrics, "poshark_channel_source_connections_total{channel=\"tap\"}"), 1);
  EXPECT_EQ(Metric(metrics, "poshark_channel_source_up{channel=\"tap\"}"), 1);
  EXPECT_EQ(Metric(metrics, "poshark_channel_source_up{channel=\"late\"}"), 0);
  EXPECT_EQ(Metric(metrics, "poshark_channel_state{channel=\"broken\",state=\"failed\"}"), 1);
  EXPECT_EQ(Metric(metrics, "poshark_page_streams"), 0);
  if (access("/usr/bin/promtool", X_OK) == 0) {
    TempDir check;
    check.Write("metrics.txt", metrics);
    EXPECT_EQ(std::system(("/usr/bin/promtool check metrics < " + (check / "metrics.txt")).c_str()),
              0)
        << metrics;
  }
  // Without the failed channel the service is healthy while one retries.
  serve.Write("poshark.ini", "[service]\nhome = " + serve.Path() + "\n" + config);
  serve.tool->Signal(SIGHUP);
  ASSERT_TRUE(serve.tool->WaitForErr("reloaded")) << serve.tool->Err();
  EXPECT_TRUE(poshark::testing::WaitUntil([&] { return body("/healthz").first == 200; }, 5000))
      << body("/healthz").second;
  close(taken);
  serve.Stop();
}

// The README's first look at serve: examples/serve-demo.ini's channels (on
// free ports, in a home of the test's own), the receipt it sends to `till`,
// and its search, which finds that receipt.
TEST(Serve, TheReadmeDemoFindsTheReceiptItSendsByItsAlarm) {
  std::string demo = ReadFile(POSHARK_SOURCE_DIR "/examples/serve-demo.ini");
  demo = demo.substr(demo.find("[channel shop]"));
  const std::pair<std::string, std::string> kLocal[] = {
      {"feed:examples/", std::string("feed:") + POSHARK_SOURCE_DIR + "/examples/"},
      {"tcp:127.0.0.1:9111", "tcp:127.0.0.1:0"}};
  for (const auto& [from, to] : kLocal) {
    ASSERT_NE(demo.find(from), std::string::npos) << demo;
    demo.replace(demo.find(from), from.size(), to);
  }
  Service serve("output = /dev/null\n" + demo, {}, true);
  const int till = Port(serve, "till");
  ASSERT_GT(till, 0) << serve.tool->Err();
  int fd = ConnectLoopback(till);
  SendAll(fd, ReadFile(ReceiptsDir() + "/void.bin"));
  close(fd);
  const std::string readme = ReadFile(POSHARK_SOURCE_DIR "/README.md");
  const std::string example = "poshark search --journal build/demo/journal.sqlite ";
  const size_t at = readme.find(example);
  ASSERT_NE(at, std::string::npos);
  std::vector<std::string> args{"search", "--journal", serve / "journal.sqlite"};
  std::istringstream words(
      readme.substr(at + example.size(), readme.find('\n', at) - at - example.size()));
  for (std::string word; words >> word;) args.push_back(word);
  Result found{};
  EXPECT_TRUE(poshark::testing::WaitUntil(
      [&] {
        found = RunTool({args});
        return found.out.find("VOID Coffee beans 1 kg") != std::string::npos;
      },
      20000))
      << testing::PrintToString(args) << "\n"
      << found.out << found.err;
  serve.Stop();
}

}  // namespace
}  // namespace poshark_test
