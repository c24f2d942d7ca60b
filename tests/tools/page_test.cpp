// The live page of `poshark serve`: what headless Chromium shows of a feed
// channel's receipts (lines, colour spans, a receipt that prints markup),
// the search and receipt view, and the HTTP rules (token, methods, address).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

#include "ToolProcess.h"
#include "support/LineCollector.h"

namespace poshark_test {
namespace {

using namespace std::chrono_literals;

using Json = nlohmann::json;
const char kChromium[] = "/usr/bin/chromium";
const char kMarkup[] = "Note <script>alert(1)</script>";
const char kToken[] = "test-token-0123456789";

// Chromium driven over its DevTools pipe (fd 3 in, fd 4 out, JSON texts
// ending in NUL): --dump-dom dumps at the load event, before the event
// stream brings a line, and with a stream open virtual time never ends.
class Browser {
 public:
  explicit Browser(const std::string& url) {
    int in[2], out[2];
    signal(SIGPIPE, SIG_IGN);  // a browser that died fails the test, not the test program
    if (pipe(in) != 0 || pipe(out) != 0) return;
    const std::string profile = "--user-data-dir=" + profile_.Path();
    child_ = std::make_unique<ChildProcess>([&] {
      int a = fcntl(in[0], F_DUPFD, 10), b = fcntl(out[1], F_DUPFD, 10);
      dup2(a, 3), dup2(b, 4), dup2(open("/dev/null", O_WRONLY), 1), dup2(1, 2);
      execl(kChromium, kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--remote-debugging-pipe", profile.c_str(), "about:blank", nullptr);
      return 127;
    });
    close(in[0]), close(out[1]);
    to_ = in[1], from_ = out[0];
    auto target = Call("Target.createTarget", {{"url", url}})["result"]["targetId"];
    session_ =
        Call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["result"].value(
            "sessionId", "");
  }
  ~Browser() {
    session_.clear();  // a command to the browser, not to the page
    Call("Browser.close", Json::object());
    close(to_), close(from_);
    if (child_) child_->Wait(std::chrono::seconds(10));
  }
  // The value of a script expression in the page, as JSON text.
  std::string Eval(const std::string& expression) {
    Json r = Call("Runtime.evaluate",
                  {{"expression", "JSON.stringify(" + expression + ")"}, {"returnByValue", true}});
    return r["result"]["result"].value("value", "");
  }
  // Reads the page until the expression is true (30 s at most).
  bool WaitFor(const std::string& expression) {
    for (int i = 0; i < 150; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(200)))
      if (Eval(expression) == "true") return true;
    return false;
  }

 private:
  Json Call(const std::string& method, const Json& params) {
    Json msg = {{"id", ++id_}, {"method", method}, {"params", params}};
    if (!session_.empty()) msg["sessionId"] = session_;
    std::string text = msg.dump() + '\0';
    if (write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {};
    for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
      char buf[65536];
      pollfd p{from_, POLLIN, 0};
      ssize_t n = poll(&p, 1, 1000) > 0 ? read(from_, buf, sizeof buf) : 0;
      if (n < 0 || (n == 0 && p.revents != 0)) break;  // the browser is gone
      buffer_.append(buf, static_cast<size_t>(n));
      for (size_t nul; (nul = buffer_.find('\0')) != std::string::npos;) {
        Json answer = Json::parse(buffer_.substr(0, nul), nullptr, false);
        buffer_.erase(0, nul + 1);
        if (answer.is_object() && answer.value("id", 0) == id_) return answer;
      }
    }
    return Json::object();
  }

  TempDir profile_;
  std::unique_ptr<ChildProcess> child_;
  int to_ = -1, from_ = -1, id_ = 0;
  std::string session_, buffer_;
};

// The texts of the lines a part of the page shows, a script expression.
std::string Texts(const std::string& part) {
  return "Array.from(document.querySelectorAll('" + part + " .line .text'), e => e.textContent)";
}

// A feed of three receipts, the last one printing markup: the live page
// shows them with their colours, the receipt view shows one found by the
// page's search, and `poshark search` finds one in the journal afterwards.
TEST(Page, ChromiumShowsTheReceiptsAndTheJournalKeepsThem) {
  TempDir feed;
  feed.Write("feed.bin", ReadFile(ReceiptsDir() + "/plain.bin") +
                             ReadFile(ReceiptsDir() + "/void.bin") + kMarkup + "\n");
  Service serve("http = 127.0.0.1:0\n[channel till]\npos = 1\nkeys = 1\nsource = feed:" +
                    (feed / "feed.bin") + "\n",
                {}, true);
  const int port = serve.Port("page on http://");
  ASSERT_GT(port, 0) << serve.tool->Err();
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  if (access(kChromium, X_OK) == 0) {
    // Every stream slot taken: the page is refused, waits and tries again
    // until one is free.
    std::vector<int> streams;
    for (int i = 0; i < 8; ++i) {
      streams.push_back(ConnectLoopback(port));
      SendAll(streams.back(), "GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
      pollfd p{streams.back(), POLLIN, 0};
      ASSERT_EQ(poll(&p, 1, 5000), 1);  // the stream's head
    }
    Browser live(url + "/");
    const std::string shown_status = "document.getElementById('status').textContent";
    EXPECT_TRUE(live.WaitFor(shown_status + ".startsWith('reconnecting')"))
        << live.Eval(shown_status);
    for (int fd : streams) close(fd);
    EXPECT_TRUE(live.WaitFor(shown_status + " == 'live'")) << live.Eval(shown_status);
    ASSERT_TRUE(live.WaitFor(Texts("#live") + ".includes(" + Json(kMarkup).dump() + ")"))
        << live.Eval(Texts("#live"));
    auto shown = Json::parse(live.Eval(Texts("#live")));
    for (const char* receipt : {"plain", "void"}) {
      for (const auto& l : ReceiptLines(receipt)) {
        if (l.find_first_not_of(' ') != std::string::npos) {
          EXPECT_NE(std::find(shown.begin(), shown.end(), l), shown.end()) << l;
        }
      }
    }
    const std::string marks = live.Eval(
        "Array.from(document.querySelectorAll('.mark'), e => e.textContent + '=' + "
        "e.style.backgroundColor)");
    EXPECT_NE(marks.find("TOTAL=rgb(255, 214, 0)"), std::string::npos) << marks;
    EXPECT_NE(marks.find("VOID=rgb(230, 40, 40)"), std::string::npos) << marks;
    EXPECT_EQ(live.Eval("document.querySelectorAll('script').length"), "1");  // page.js only
    // One channel takes the window's width (up to 60em); each capture and
    // alarm label sits whole on one row under its line's text.
    EXPECT_EQ(live.Eval("document.querySelector('.channel').getBoundingClientRect().width > "
                        "Math.min(0.8 * innerWidth, 60 * 16 * 0.8)"),
              "true")
        << live.Eval(
               "[document.querySelector('.channel').getBoundingClientRect().width, innerWidth]");
    EXPECT_EQ(
        live.Eval("Array.from(document.querySelectorAll('.finding')).every(f => "
                  "f.getBoundingClientRect().height < 2 * parseFloat(getComputedStyle(f).fontSize)"
                  " && f.parentElement.getBoundingClientRect().top >= "
                  "f.closest('.line').firstChild.getBoundingClientRect().bottom - 1)"),
        "true");
    EXPECT_NE(live.Eval("document.querySelectorAll('.findings .finding.alarm').length"), "0");
    // Found by a search, and shown by the receipt view a video system links to.
    auto [status, reply] = Request(port, "GET", "/api/search?q=alert");
    ASSERT_EQ(status, 200) << reply;
    auto found = Json::parse(reply.substr(reply.find("\r\n\r\n") + 4));
    ASSERT_EQ(found.size(), 1u) << found;
    Browser view(url + "/receipt?id=" + std::to_string(found[0]["id"].get<int>()));
    EXPECT_TRUE(view.WaitFor(Texts("#receipt") + ".includes(" + Json(kMarkup).dump() + ")"))
        << view.Eval("document.body.innerHTML");
  } else {
    std::cerr << kChromium << " is missing (CI installs it): the page is not shown\n";
  }
  ASSERT_TRUE(serve.tool->WaitFor([](auto& out, auto&) { return Count(out, "\"STOP\"") >= 2; }));
  // Bad requests are told what is wrong, and nothing of the service's
  // insides; a time long after the last receipt closed finds none.
  std::string many = "/api/search?q=";
  for (int i = 0; i < 1400; ++i) many += "w" + std::to_string(i) + "+";
  const auto tomorrow = std::chrono::system_clock::now() + std::chrono::hours(24);
  const std::pair<std::string, int> kBad[] = {
      {"/api/search?q=%00", 400},
      {many, 400},
      {"/api/search?q=%22", 400},
      {"/api/search?q=*", 400},
      {"/api/search?pos=1%00", 400},
      {"/api/receipt?id=1%00", 400},
      {"/api/receipt?channel=till&time=" +
           std::to_string(
               std::chrono::duration_cast<std::chrono::milliseconds>(tomorrow.time_since_epoch())
                   .count()),
       404},
  };
  for (const auto& [target, want] : kBad) {
    auto [status, reply] = Request(port, "GET", target);
    EXPECT_EQ(status, want) << target.substr(0, 80) << "\n" << reply;
    EXPECT_EQ(reply.find(serve.Path()), std::string::npos) << reply;
  }
  serve.Stop();
  auto r = RunTool({{"search", "--journal", serve / "journal.sqlite", "--json", "voided by"}});
  ASSERT_EQ(SplitLines(r.out).size(), 1u) << r.out;
  auto j = Json::parse(r.out);
  EXPECT_TRUE(j["transaction"]);
  EXPECT_FALSE(j["stop"].is_null());
  std::vector<std::string> texts;  // lines with more than spaces
  for (const auto& line : j["lines"])
    if (std::string t = line["text"]; t.find_first_not_of(' ') != std::string::npos)
      texts.push_back(t);
  EXPECT_EQ(texts, ReceiptLines("void"));
  // A line is written in one form wherever it goes: each line of the
  // receipt document is the row the service wrote for it.
  std::vector<Json> rows;
  for (const auto& row : SplitLines(serve.tool->Out())) rows.push_back(Json::parse(row));
  for (const auto& line : j["lines"])
    EXPECT_NE(std::find(rows.begin(), rows.end(), line), rows.end()) << line;
}

TEST(Page, OnlyGetWithTheTokenAtMostEightStreamsAndAStopThatEndsThem) {
  Service serve("http = 0.0.0.0:0\ntoken = " + std::string(kToken) +
                "\n[channel till]\nsource = tcp:127.0.0.1:0\n");
  const int port = serve.Port("page on http://");
  ASSERT_GT(port, 0) << serve.tool->Err();
  const std::string t = std::string("?token=") + kToken;
  const std::tuple<const char*, std::string, std::string, int> cases[] = {
      {"GET", "/", "", 401},
      {"GET", "/?token=test-token-0123456788", "", 401},
      {"GET", "/api/search", "Authorization: Bearer wrong\r\n", 401},
      {"GET", "/" + t, "", 200},
      {"GET", "/page.js", std::string("Authorization: Bearer ") + kToken + "\r\n", 200},
      {"HEAD", "/page.css" + t, "", 200},
      {"POST", "/" + t, "Content-Length: 0\r\n", 405},
      {"GET", "/api/receipt" + t + "&id=999", "", 404},
  };
  for (const auto& [method, target, headers, want] : cases) {
    auto [status, reply] = Request(port, method, target, headers);
    EXPECT_EQ(status, want) << method << " " << target << "\n" << reply;
    if (status == 200) {
      EXPECT_NE(reply.find("X-Content-Type-Options: nosniff"), std::string::npos);
    }
  }
  // The token reaches the page's own requests.
  EXPECT_NE(Request(port, "GET", "/" + t).second.find("/page.js" + t), std::string::npos);
  std::vector<int> streams;  // as many as are let in: the next one gets 503
  for (int i = 0; i < 8; ++i) {
    streams.push_back(ConnectLoopback(port));
    SendAll(streams.back(), "GET /events" + t + " HTTP/1.1\r\nHost: x\r\n\r\n");
    pollfd p{streams.back(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);  // the stream's head
  }
  EXPECT_EQ(Request(port, "GET", "/events" + t).first, 503);
  // Streams their pages closed give their slots back within a few seconds.
  for (int fd : streams) close(fd);
  streams.clear();
  const auto closed = Clock::now();
  auto stream_status = [&] {
    int fd = ConnectLoopback(port);
    SendAll(fd, "GET /events" + t + " HTTP/1.1\r\nHost: x\r\n\r\n");
    char head[16] = {};
    pollfd p{fd, POLLIN, 0};
    bool answered = poll(&p, 1, 5000) == 1 && recv(fd, head, sizeof head - 1, 0) > 12;
    close(fd);
    return answered ? std::atoi(head + 9) : 0;
  };
  EXPECT_TRUE(poshark::testing::WaitUntil([&] { return stream_status() == 200; }, 4000));
  EXPECT_LT(Clock::now() - closed, std::chrono::seconds(4));
  // A request is read within 2 s and 16 KiB, whatever the client does: one
  // that sends a byte every 0.3 s is let go, a flood of header lines is cut.
  int slow = ConnectLoopback(port);
  const auto begun = Clock::now();
  for (char c = 'G'; send(slow, &c, 1, MSG_NOSIGNAL) == 1 && Clock::now() - begun < 10s; c = 'x') {
    pollfd p{slow, POLLIN, 0};
    if (poll(&p, 1, 300) == 1) break;  // the service answered or closed
  }
  EXPECT_LT(Clock::now() - begun, 3s);
  close(slow);
  int flood = ConnectLoopback(port);
  const std::string lines = "GET / HTTP/1.1\r\n" + std::string(4000, 'X') + ": y\r\n";
  size_t flooded = 0;
  for (pollfd p{flood, POLLOUT, 0}; flooded < (4u << 20) && poll(&p, 1, 2000) == 1;) {
    ssize_t n = send(flood, lines.data(), lines.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) break;
    flooded += static_cast<size_t>(n);
  }
  EXPECT_LT(flooded, 4u << 20) << "the flood was read on";
  close(flood);
  // A hundred connections that send a byte and wait: the next request is
  // answered (503 while they hold every place, 200 once the first of them
  // are let go, 2 s after they came), never left to time out.
  std::vector<int> held;
  for (int i = 0; i < 100; ++i) {
    held.push_back(ConnectLoopback(port));
    SendAll(held.back(), "G");
  }
  const auto attacked = Clock::now();
  const int first = Request(port, "GET", "/" + t).first;
  EXPECT_TRUE(first == 503 || first == 200) << first;
  EXPECT_LT(Clock::now() - attacked, 3s);
  EXPECT_TRUE(poshark::testing::WaitUntil(
      [&] { return Request(port, "GET", "/" + t).first == 200; }, 4000));
  for (int fd : held) close(fd);
  // Clients that send their request a byte at a time do not hold the stop
  // (Stop checks 2 s).
  std::atomic<bool> dripping{true};
  std::thread drip([&] {
    std::vector<int> slow;
    for (int i = 0; i < 3; ++i) slow.push_back(ConnectLoopback(port));
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n";
    for (size_t at = 0; dripping && at < request.size(); ++at) {
      for (int fd : slow) send(fd, &request[at], 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    for (int fd : slow) close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  serve.Stop();
  dripping = false;
  drip.join();
}

// An address open to others needs a token; an address in use is refused.
TEST(Page, AnAddressOpenToOthersNeedsATokenAndOneInUseIsRefused) {
  int taken_port = 0;
  int taken = ListenLoopback(taken_port);
  const std::pair<std::string, const char*> cases[] = {
      // settings, message
      {"http = 0.0.0.0:8080\n", "line 3, [service] http = 0.0.0.0:8080: expected"},
      {"http = on\ntoken = short\n", "line 4, [service] token = short: expected"},
      {"http = 8080\n", "line 3, [service] http = 8080: expected"},
      {"http = 127.0.0.1:" + std::to_string(taken_port) + "\n", "cannot listen there"},
  };
  for (const auto& [settings, message] : cases) {
    Service serve(settings + "[channel till]\nsource = tcp:127.0.0.1:0\n");
    EXPECT_EQ(serve.tool->Wait(std::chrono::seconds(20)), message[0] == 'l' ? 2 : 1) << settings;
    EXPECT_NE(serve.tool->Err().find(message), std::string::npos) << serve.tool->Err();
  }
  close(taken);
  // Also by a second service: the port is not shared.
  Service first("http = 127.0.0.1:0\n[channel till]\nsource = tcp:127.0.0.1:0\n");
  const int port = first.Port("page on http://");
  ASSERT_GT(port, 0) << first.tool->Err();
  Service second("http = 127.0.0.1:" + std::to_string(port) +
                 "\n[channel till]\nsource = tcp:127.0.0.1:0\n");
  EXPECT_EQ(second.tool->Wait(std::chrono::seconds(20)), 1) << second.tool->Err();
  first.Stop();
}

}  // namespace
}  // namespace poshark_test
