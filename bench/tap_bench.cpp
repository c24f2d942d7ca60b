// The pass-through tap of `poshark serve` against a direct loopback
// connection: a 1-byte status round trip (median and 99th percentile) and
// bulk throughput. The tool runs as a child process with one tap channel in
// front of a small printer in this process; the listener is attached, as in
// service.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBulkBytes = 64u * 1024 * 1024;
constexpr int kRoundTrips = 20000;

int Listen(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(fd, 16);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// A printer that answers every 3-byte read (DLE EOT n) with one status byte
// and swallows everything else; one thread per connection.
class Printer {
 public:
  Printer() {
    fd_ = Listen(port_);
    std::thread([this] {
      for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0;)
        std::thread([c] { Serve(c); }).detach();
    }).detach();
  }
  int Port() const { return port_; }

 private:
  static void Serve(int c) {
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<char> buf(1 << 20);
    for (ssize_t n; (n = recv(c, buf.data(), buf.size(), 0)) > 0;) {
      if (n == 3 && buf[0] == 0x10 && buf[1] == 0x04) send(c, "\x12", 1, MSG_NOSIGNAL);
    }
    close(c);
  }
  int fd_ = -1;
  int port_ = 0;
};

// `poshark serve` with one tap channel in front of the printer.
class Tap {
 public:
  explicit Tap(int printer_port) {
    char dir[] = "/tmp/poshark-tap-bench-XXXXXX";
    dir_ = mkdtemp(dir);
    std::ofstream(dir_ + "/poshark.ini")
        << "[service]\nhome = " << dir_ << "\noutput = /dev/null\n[channel tap]\n"
        << "source = tap:127.0.0.1:0=127.0.0.1:" << printer_port << "\n";
    int err[2];
    if (pipe(err) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    std::string config = dir_ + "/poshark.ini";
    char* argv[] = {const_cast<char*>(POSHARK_TOOL_PATH), const_cast<char*>("serve"),
                    const_cast<char*>("--config"), config.data(), nullptr};
    posix_spawn(&pid_, argv[0], &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(err[1]);
    std::string text;
    std::smatch m;
    char buf[512];
    while (!std::regex_search(text, m, std::regex(R"(listening on 127\.0\.0\.1:(\d+))"))) {
      ssize_t n = read(err[0], buf, sizeof buf);
      if (n <= 0) return;
      text.append(buf, static_cast<size_t>(n));
    }
    port_ = std::stoi(m[1]);
    err_ = err[0];
  }
  ~Tap() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    close(err_);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  int Port() const { return port_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int err_ = -1;
  int port_ = -1;
};

Printer& ThePrinter() {
  static Printer printer;
  return printer;
}

int PortFor(bool tap) {
  if (!tap) return ThePrinter().Port();
  static Tap the_tap(ThePrinter().Port());
  return the_tap.Port();
}

void BM_StatusRoundTrip(benchmark::State& state) {
  int fd = Connect(PortFor(state.range(0) != 0));
  std::vector<double> us;
  us.reserve(kRoundTrips);
  char status = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    send(fd, "\x10\x04\x01", 3, MSG_NOSIGNAL);
    if (recv(fd, &status, 1, 0) != 1) state.SkipWithError("no status answer");
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  close(fd);
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
}
BENCHMARK(BM_StatusRoundTrip)
    ->ArgName("tap")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(kRoundTrips)
    ->UseRealTime();

void BM_Bulk(benchmark::State& state) {
  const int port = PortFor(state.range(0) != 0);
  std::vector<char> block(1 << 16, 'x');
  for (size_t i = 41; i < block.size(); i += 42) block[i] = '\n';  // receipt-like lines
  for (auto _ : state) {
    int fd = Connect(port);
    for (size_t sent = 0; sent < kBulkBytes;) {
      ssize_t n = send(fd, block.data(), std::min(block.size(), kBulkBytes - sent), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    char c;
    while (recv(fd, &c, 1, 0) > 0) {
    }  // the printer's end comes back once it has read everything
    close(fd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBulkBytes));
}
BENCHMARK(BM_Bulk)->ArgName("tap")->Arg(0)->Arg(1)->Iterations(5)->UseRealTime()->Unit(
    benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
