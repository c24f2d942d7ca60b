// `poshark serve` under a service manager: the notifications it sends to
// NOTIFY_SOCKET while it starts, pings the watchdog, reloads and stops.
#include <gtest/gtest.h>
#include <sys/un.h>

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
  constexpr auto kWatchdog = std::chrono::milliseconds(400);
  TempDir dir;
  // The manager's end: a datagram socket.
  sockaddr_un addr{AF_UNIX, {}};
  std::strncpy(addr.sun_path, (dir / "notify").c_str(), sizeof addr.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
  Service serve("[channel feed]\npos = 1\nsource = feed:" + ReceiptsDir() + "/plain.bin\n",
                {{"NOTIFY_SOCKET", addr.sun_path},
                 {"WATCHDOG_PID", ""},
                 {"WATCHDOG_USEC", std::to_string(kWatchdog.count() * 1000)}});
  std::string got;  // every message, one line each
  auto await = [&](const std::string& line, size_t n,
                   std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    return serve.tool->WaitFor(
        [&](auto&, auto&) {
          char buf[4096];
          for (ssize_t len; (len = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            got += std::string(buf, static_cast<size_t>(len)) + "\n";
          return Count(got, line + "\n") >= n;
        },
        limit);
  };
  ASSERT_TRUE(await("READY=1", 1)) << serve.tool->Err();
  // A while of running: pings at half the watchdog's time-out.
  const auto start = Clock::now();
  await("never", 1, std::chrono::milliseconds(1200));
  const size_t pings = Count(got, "WATCHDOG=1\n");
  EXPECT_GE(pings, 3u);
  EXPECT_LE(pings, static_cast<size_t>((Clock::now() - start) / (kWatchdog / 2)) + 2);
  // A reload is announced with the monotonic time it began at, then ready again.
  const uint64_t before = MonotonicUsec();
  serve.tool->Signal(SIGHUP);
  ASSERT_TRUE(await("READY=1", 2)) << serve.tool->Err();
  const size_t at = got.find("RELOADING=1\nMONOTONIC_USEC=");
  ASSERT_NE(at, std::string::npos) << got;
  const uint64_t stamp = std::stoull(got.substr(at + 27));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, MonotonicUsec());
  serve.tool->Signal(SIGTERM);
  EXPECT_TRUE(await("STOPPING=1", 1));
  EXPECT_EQ(serve.tool->Wait(), 0) << serve.tool->Err();
  close(fd);
}

}  // namespace
}  // namespace poshark_test
