// `poshark serve` under a service manager: the notifications it sends to
// NOTIFY_SOCKET while it starts, pings the watchdog, reloads and stops.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>

#include "ToolProcess.h"

namespace poshark_test {
namespace {

// CLOCK_MONOTONIC in microseconds.
uint64_t MonotonicUsec() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

TEST(ServeNotify, ReadyWatchdogReloadAndStopReachTheManager) {
#ifndef POSHARK_TOOL_NOTIFIES
  GTEST_SKIP() << "the tool was built without libsystemd";
#endif
  for (const int watchdog_ms : {400, 0}) {  // 0: no watchdog asked for
    SCOPED_TRACE(watchdog_ms);
    TempDir dir;
    // The manager's end: a datagram socket; `lines` keeps what came, in order.
    const std::string name = dir / "notify";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, name.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    Service serve("[channel feed]\npos = 1\nsource = feed:" + ReceiptsDir() + "/plain.bin\n",
                  {{"NOTIFY_SOCKET", name},
                   {"WATCHDOG_PID", ""},
                   {"WATCHDOG_USEC", watchdog_ms ? std::to_string(watchdog_ms * 1000) : ""}});
    ToolProcess& tool = *serve.tool;
    std::vector<std::string> lines;
    auto count = [&](const std::string& line) {
      char buf[4096];
      for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        for (auto& l : SplitLines(std::string(buf, static_cast<size_t>(n)))) lines.push_back(l);
      return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    };
    auto await = [&](const std::string& line, size_t n) {
      return tool.WaitFor([&](auto&, auto&) { return count(line) >= n; });
    };

    ASSERT_TRUE(await("READY=1", 1)) << tool.Err();
    // A while of running: pings at half the watchdog's time-out, none without it.
    const auto watch = std::chrono::milliseconds(1200);
    const auto start = Clock::now();
    tool.WaitFor([](auto&, auto&) { return false; }, watch);
    const auto watched = Clock::now() - start;
    const size_t pings = count("WATCHDOG=1");
    if (watchdog_ms == 0) {
      EXPECT_EQ(pings, 0u);
    } else {
      const auto half = std::chrono::milliseconds(watchdog_ms / 2);
      EXPECT_GE(pings, 3u);
      EXPECT_LE(pings, static_cast<size_t>(watched / half) + 2);
    }

    // A reload is announced with the monotonic time it began at, then ready again.
    const uint64_t before = MonotonicUsec();
    tool.Signal(SIGHUP);
    ASSERT_TRUE(await("RELOADING=1", 1)) << tool.Err();
    auto stamp_line = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
      return l.rfind("MONOTONIC_USEC=", 0) == 0;
    });
    ASSERT_NE(stamp_line, lines.end());
    const uint64_t stamp = std::stoull(stamp_line->substr(15));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, MonotonicUsec());
    EXPECT_TRUE(await("READY=1", 2));

    tool.Signal(SIGTERM);
    EXPECT_TRUE(await("STOPPING=1", 1));
    EXPECT_EQ(tool.Wait(), 0) << tool.Err();
    close(fd);
  }
}

}  // namespace
}  // namespace poshark_test
