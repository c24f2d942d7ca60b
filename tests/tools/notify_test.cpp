// `poshark serve` under a service manager: the notifications it sends to
// NOTIFY_SOCKET while it starts,
// pings the watchdog, reloads and stops.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cstring>

#include "ToolProcess.h"

namespace poshark_test {
namespace {

uint64_t MonotonicUsec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// The manager's end: a datagram socket that keeps every message, in order.
struct Manager {
  explicit Manager(const std::string& n) : name(n) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, name.c_str(), sizeof addr.sun_path - 1);
    bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Manager() { close(fd); }

  // Waits (draining the tool's output meanwhile) for a message from `from`
  // on whose lines include `line`; answers its index, or -1.
  int Await(ToolProcess& tool, const std::string& line, size_t from,
            std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    int found = -1;
    tool.WaitFor(
        [&](const std::string&, const std::string&) { return (found = Find(line, from)) >= 0; },
        limit);
    return found;
  }
  // Takes every message waiting; answers the index of the first message from
  // `from` on with `line`, or -1.
  int Find(const std::string& line, size_t from) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      messages.emplace_back(buf, static_cast<size_t>(n));
    for (size_t i = from; i < messages.size(); ++i)
      if (("\n" + messages[i] + "\n").find("\n" + line + "\n") != std::string::npos)
        return static_cast<int>(i);
    return -1;
  }

  std::string name;
  int fd = -1;
  bool bound = false;
  std::vector<std::string> messages;
};

TEST(ServeNotify, ReadyWatchdogReloadAndStopReachTheManager) {
#ifndef POSHARK_TOOL_NOTIFIES
  GTEST_SKIP() << "the tool was built without libsystemd";
#endif
  for (const int watchdog_ms : {400, 0}) {  // 0: no watchdog asked for
    SCOPED_TRACE(watchdog_ms);
    TempDir dir;
    Manager manager(dir / "notify");
    ASSERT_TRUE(manager.bound) << manager.name << ": " << std::strerror(errno);
    WriteFile(dir / "poshark.ini", "[service]\nhome = " + dir.path() +
                                       "\n[channel feed]\npos = 1\nsource = feed:" + ReceiptsDir() +
                                       "/plain.bin\n");
    ToolProcess::Options options{{"serve", "--config", dir / "poshark.ini"}};
    options.env["NOTIFY_SOCKET"] = manager.name;
    options.env["WATCHDOG_PID"] = "";
    options.env["WATCHDOG_USEC"] = watchdog_ms ? std::to_string(watchdog_ms * 1000) : "";
    ToolProcess tool(options);

    const int ready = manager.Await(tool, "READY=1", 0);
    ASSERT_GE(ready, 0) << tool.Err();
    // A while of running: pings at half the watchdog's time-out, none without it.
    const auto watch = std::chrono::milliseconds(1200);
    const auto start = Clock::now();
    tool.WaitFor([](const std::string&, const std::string&) { return false; }, watch);
    const auto watched = Clock::now() - start;
    size_t pings = 0;
    for (int i = ready; (i = manager.Find("WATCHDOG=1", static_cast<size_t>(i) + 1)) >= 0;) ++pings;
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
    const int reloading = manager.Await(tool, "RELOADING=1", static_cast<size_t>(ready) + 1);
    ASSERT_GE(reloading, 0) << tool.Err();
    const std::string& message = manager.messages[static_cast<size_t>(reloading)];
    const size_t at = message.find("MONOTONIC_USEC=");
    ASSERT_NE(at, std::string::npos) << message;
    const uint64_t stamp = std::stoull(message.substr(at + 15));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, MonotonicUsec());
    EXPECT_GE(manager.Await(tool, "READY=1", static_cast<size_t>(reloading) + 1), 0);

    tool.Signal(SIGTERM);
    EXPECT_GE(manager.Await(tool, "STOPPING=1", static_cast<size_t>(reloading) + 1), 0);
    EXPECT_EQ(tool.Wait(), 0) << tool.Err();
  }
}

}  // namespace
}  // namespace poshark_test
