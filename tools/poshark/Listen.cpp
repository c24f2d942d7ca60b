#include "Listen.h"

#include <poshark/RCPosHark.h>

#include "Output.h"
#include "TraceFile.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace poshark::tool {

namespace {

using Clock = std::chrono::steady_clock;

// After the input of --feed is exhausted, the tool ends once neither a chunk
// was taken by the analyzer nor a line delivered for this long: longer than
// the analyzer's 3000 ms wait for the rest of a split command, so that its
// last line is still delivered.
constexpr auto kQuietTime = std::chrono::milliseconds(3500);

// With --pace none the feeder stays at most this many bytes ahead of the
// analyzer (more than the listener's line buffer, 4000 bytes, plus a block,
// so that an unfinished line never stalls it), which bounds what waits in the
// listener's analyze queue.
constexpr uint64_t kFeedWindow = 256 * 1024;

// With --pace none the feeder also waits while this many delivered lines
// wait for the main thread: a slow output must slow the feeder, not block the
// listener's writer, whose write queue is dropped for the overflow note when
// it stays full.
constexpr size_t kMaxPrintBacklog = 8192;

// A wait of the feeder ends anyway after this long without a chunk taken by
// the analyzer: in graph mode the analyzer counts decoded bytes, which may be
// fewer than the bytes fed, and an idle pipeline can always take more.
constexpr auto kFeedSilence = std::chrono::milliseconds(20);

// Lines waiting for the main thread. The writer thread blocks while this
// many are waiting (it must not lose them); a host that prints cannot fall
// this far behind unless its output is stuck.
constexpr size_t kMaxWaitingLines = 100000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

// Lines handed over by the listener's writer thread.
class LineSink {
 public:
  void Push(DeliveredLine&& line) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return closing_ || lines_.size() < kMaxWaitingLines; });
    lines_.push_back(std::move(line));
    backlog_ = lines_.size();
    items_.notify_one();
  }

  // Takes every waiting line; false when none arrived within the timeout.
  bool PopAll(std::deque<DeliveredLine>& out, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!items_.wait_for(lock, timeout, [&] { return !lines_.empty() || woken_; })) return false;
    woken_ = false;
    if (lines_.empty()) return false;
    out.swap(lines_);
    backlog_ = 0;
    space_.notify_all();
    return true;
  }

  // Lines waiting for the main thread.
  size_t Backlog() const { return backlog_; }

  // Wakes a waiting Pop (signal, end of input).
  void Wake() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    items_.notify_all();
  }

  // From now on Push never blocks: the listener is being stopped and its
  // writer must be able to finish.
  void Close() {
    std::lock_guard lock(mutex_);
    closing_ = true;
    space_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable items_;
  std::condition_variable space_;
  std::deque<DeliveredLine> lines_;
  bool closing_ = false;
  bool woken_ = false;
  std::atomic<size_t> backlog_{0};
};

// State shared with the listener's callbacks, which are plain functions.
LineSink* g_sink = nullptr;
std::atomic<int64_t> g_last_activity_ms{0};
std::atomic<uint64_t> g_analyzed_bytes{0};
std::atomic<uint64_t> g_chunks{0};  // chunks the analyzer took
std::atomic<bool> g_feeder_waiting{false};
std::atomic<bool> g_stop{false};
std::atomic<bool> g_signalled{false};
std::mutex g_progress_mutex;
std::condition_variable g_progress;

// Taking the mutex first means a feeder between its test and its wait
// cannot miss the notification.
void Notify() {
  { std::lock_guard lock(g_progress_mutex); }
  g_progress.notify_all();
}

unsigned short OnLine(char* pszText, SYSTEMTIME* pTime, bool bDST, int nPOSNo, int nEvent,
                      char* pExtra) {
  DeliveredLine line;
  line.text = pszText != nullptr ? pszText : "";
  if (pTime != nullptr) line.time = *pTime;
  line.dst = bDST;
  line.pos = nPOSNo;
  line.event = nEvent;
  if (pExtra != nullptr) line.extra.assign(pExtra, strnlen(pExtra, 260));
  g_last_activity_ms = NowMs();
  if (g_sink != nullptr) g_sink->Push(std::move(line));
  return 0;
}

unsigned short OnChunk(int nLen, unsigned char*, SYSTEMTIME*) {
  if (nLen > 0) g_analyzed_bytes += static_cast<uint64_t>(nLen);
  ++g_chunks;
  g_last_activity_ms = NowMs();
  if (g_feeder_waiting) Notify();
  return 0;
}

bool OnDst(void*) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  return localtime_r(&now, &tm) != nullptr && tm.tm_isdst > 0;
}

void Fail(const std::string& message) { std::fprintf(stderr, "poshark: %s\n", message.c_str()); }

// Sleeps until the deadline or until the tool is stopped.
void SleepUntil(Clock::time_point deadline) {
  std::unique_lock lock(g_progress_mutex);
  g_progress.wait_until(lock, deadline, [] { return g_stop.load(); });
}

// Hands bytes to the listener as a POS at the given pace would send them.
class Feeder {
 public:
  Feeder(RCPosHark& listener, uint32_t pace_baud)
      : listener_(listener), pace_baud_(pace_baud), next_(Clock::now()) {}

  void Give(unsigned char* data, size_t size) {
    if (g_stop) return;
    if (pace_baud_ > 0) {
      // Ten bits per byte on the line: start, eight data bits, stop.
      next_ += std::chrono::microseconds(size * 10'000'000ull / pace_baud_);
      SleepUntil(next_);
    } else {
      std::unique_lock lock(g_progress_mutex);
      auto must_wait = [&] {
        return fed_ > g_analyzed_bytes + kFeedWindow ||
               (g_sink != nullptr && g_sink->Backlog() > kMaxPrintBacklog);
      };
      uint64_t chunks = g_chunks;
      auto last_chunk = Clock::now();
      while (!g_stop && must_wait()) {
        g_feeder_waiting = true;
        bool ready = g_progress.wait_for(lock, std::chrono::milliseconds(5),
                                         [&] { return g_stop || !must_wait(); });
        g_feeder_waiting = false;
        if (ready) break;
        if (chunks != g_chunks) {
          chunks = g_chunks;
          last_chunk = Clock::now();
        } else if (Clock::now() - last_chunk >= kFeedSilence &&
                   (g_sink == nullptr || g_sink->Backlog() <= kMaxPrintBacklog)) {
          break;
        }
      }
    }
    if (g_stop) return;
    listener_.GotData(static_cast<int>(size), data);
    fed_ += size;
    g_last_activity_ms = NowMs();
  }

 private:
  RCPosHark& listener_;
  uint32_t pace_baud_;
  Clock::time_point next_;
  uint64_t fed_ = 0;
};

// --feed: a raw byte stream or a trace file, read in the source thread.
struct FeedSource {
  FILE* stream = nullptr;
  std::string name;
  bool trace = false;
  std::atomic<bool> done{false};
  std::string error;  // set by the thread before done

  void Run(RCPosHark& listener, uint32_t pace_baud) {
    Feeder feeder(listener, pace_baud);
    if (trace) {
      TraceReader reader(stream, name);
      std::vector<unsigned char> record;
      while (!g_stop && reader.Next(record, error)) feeder.Give(record.data(), record.size());
    } else {
      // Blocks of the size the serial reader hands to GotData.
      unsigned char block[512];
      size_t size = sizeof block;
      while (!g_stop) {
        size_t n = std::fread(block, 1, size, stream);
        if (n > 0) feeder.Give(block, n);
        if (n < size) {
          if (std::ferror(stream)) error = name + ": " + std::strerror(errno);
          break;
        }
      }
    }
    g_last_activity_ms = NowMs();
    done = true;
    if (g_sink != nullptr) g_sink->Wake();
  }
};

// --tcp: a listening socket; one POS connection at a time.
struct TcpSource {
  int listen_fd = -1;
  int wake_pipe[2] = {-1, -1};
  std::string where;

  ~TcpSource() {
    if (listen_fd >= 0) close(listen_fd);
    for (int fd : wake_pipe) {
      if (fd >= 0) close(fd);
    }
  }

  bool Open(const std::string& host, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
      error = "--tcp " + host + ":" + service + ": " + gai_strerror(rc);
      return false;
    }
    int err = 0;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
      int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
      if (fd < 0) {
        err = errno;
        continue;
      }
      int one = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 4) == 0) {
        listen_fd = fd;
        break;
      }
      err = errno;
      close(fd);
    }
    freeaddrinfo(found);
    if (listen_fd < 0) {
      error = "--tcp " + host + ":" + service + ": " + std::strerror(err);
      return false;
    }
    if (pipe2(wake_pipe, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    where = Describe(addr);
    return true;
  }

  static std::string Describe(const sockaddr_storage& addr) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (addr.ss_family == AF_INET) {
      auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
      inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      port = ntohs(in->sin_port);
    } else if (addr.ss_family == AF_INET6) {
      auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
      inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
      port = ntohs(in6->sin6_port);
      return std::string("[") + host + "]:" + std::to_string(port);
    }
    return std::string(host) + ":" + std::to_string(port);
  }

  void Wake() {
    char c = 1;
    if (wake_pipe[1] >= 0) (void)!write(wake_pipe[1], &c, 1);
  }

  // Waits for fd to become readable; false when woken for the end.
  bool WaitReadable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    while (!g_stop) {
      int rc = poll(fds, 2, -1);
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0 || (fds[1].revents & POLLIN)) return false;
      if (fds[0].revents != 0) return true;
    }
    return false;
  }

  void Run(RCPosHark& listener) {
    unsigned char buf[4096];
    while (!g_stop) {
      if (!WaitReadable(listen_fd)) break;
      sockaddr_storage peer{};
      socklen_t len = sizeof peer;
      int conn = accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (conn < 0) continue;
      std::fprintf(stderr, "poshark: connection from %s\n", Describe(peer).c_str());
      while (!g_stop && WaitReadable(conn)) {
        ssize_t n = read(conn, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        listener.GotData(static_cast<int>(n), buf);
        g_last_activity_ms = NowMs();
      }
      close(conn);
      if (!g_stop) std::fprintf(stderr, "poshark: connection from %s closed\n", Describe(peer).c_str());
    }
  }
};

// SIGINT and SIGTERM end the tool; SIGUSR1 only ends the signal thread.
class SignalWatcher {
 public:
  // on_stop runs on the watcher's thread when a signal ends the tool.
  SignalWatcher(LineSink& sink, std::function<void()> on_stop) : on_stop_(std::move(on_stop)) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this, &sink] {
      int sig = 0;
      while (sigwait(&set_, &sig) == 0) {
        if (sig == SIGUSR1 && finishing_) break;
        if (sig == SIGINT || sig == SIGTERM) {
          g_signalled = true;
          g_stop = true;
          Notify();
          sink.Wake();
          if (on_stop_) on_stop_();
        }
      }
    });
  }

  ~SignalWatcher() {
    finishing_ = true;
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }

 private:
  std::function<void()> on_stop_;
  sigset_t set_;
  std::atomic<bool> finishing_{false};
  std::thread thread_;
};

bool SelectSet(RCPosHark& listener, const std::string& set, std::string& error) {
  bool numeric = !set.empty() && set.find_first_not_of("0123456789") == std::string::npos;
  bool ok = numeric ? (set.size() < 9 && listener.SelectCmdSet(std::stoi(set)))
                    : listener.SelectCmdSet(set);
  if (ok) return true;
  error = "--set " + set + ": no such command set (" + std::to_string(listener.GetCmdSetNum()) +
          " found; `poshark sets` lists them)";
  return false;
}

}  // namespace

int RunListen(const ListenOptions& options) {
  // Open what can fail before any thread starts, so errors leave nothing
  // behind.
  std::unique_ptr<Printer> printer;
  try {
    printer = std::make_unique<Printer>(options);
  } catch (const std::exception& e) {
    Fail(e.what());
    return 1;
  }
  std::string error;
  if (options.keys && !printer->LoadKeys(options.pos, error)) {
    Fail(error);
    return 1;
  }

  FeedSource feed;
  std::unique_ptr<FILE, int (*)(FILE*)> feed_file(nullptr, std::fclose);
  if (options.source == Source::kFeed) {
    if (options.feed_path == "-") {
      feed.stream = stdin;
      feed.name = "standard input";
    } else {
      feed_file.reset(std::fopen(options.feed_path.c_str(), "rb"));
      if (!feed_file) {
        Fail("--feed " + options.feed_path + ": " + std::strerror(errno));
        return 1;
      }
      feed.stream = feed_file.get();
      feed.name = options.feed_path;
    }
    feed.trace = options.force_trace || (feed.stream != stdin && LooksLikeTrace(feed.stream));
  }

  TcpSource tcp;
  if (options.source == Source::kTcp) {
    if (!tcp.Open(options.tcp_host, options.tcp_port, error)) {
      Fail(error);
      return 1;
    }
  }

  LineSink sink;
  g_sink = &sink;
  SignalWatcher signals(sink, [&tcp] { tcp.Wake(); });

  RCPosHark listener(options.pos);
  if (!SelectSet(listener, options.set, error)) {
    Fail(error);
    g_sink = nullptr;
    return 1;
  }
  listener.SetDstFt(OnDst);
  listener.SetTestListenFt(OnChunk);
  if (options.gate_ms >= 0) listener.SetGateOpenTime(static_cast<uint32_t>(options.gate_ms));

  std::thread source;
  if (options.source == Source::kCom) {
    char name[64];
    std::snprintf(name, sizeof name, "poshark POS %d", options.pos);
    if (listener.OpenCom(options.com_port, options.baud, options.data_bits,
                         options.stop_bits_code, options.parity_code, nullptr, name) != 1) {
      Fail("--com " + std::to_string(options.com_port) + ": cannot open COM" +
           std::to_string(options.com_port) + " (device from [Ports] COM" +
           std::to_string(options.com_port) + " of ComPorts.ini in the poshark home, else /dev/ttyS" +
           std::to_string(options.com_port - 1) + ")");
      g_sink = nullptr;
      return 1;
    }
    listener.ListenStart(OnLine, false);
    std::fprintf(stderr, "poshark: listening on COM%d, POS %d\n", options.com_port, options.pos);
  } else {
    listener.ListenStart(OnLine, true);
    if (options.source == Source::kTcp) {
      std::fprintf(stderr, "poshark: listening on %s, POS %d\n", tcp.where.c_str(), options.pos);
      source = std::thread([&] { tcp.Run(listener); });
    } else {
      source = std::thread([&] { feed.Run(listener, options.pace_baud); });
    }
  }
  g_last_activity_ms = NowMs();

  bool output_ok = true;
  std::deque<DeliveredLine> batch;
  auto print_batch = [&] {
    for (auto& line : batch) {
      if (output_ok) output_ok = printer->Print(line);
    }
    batch.clear();
  };
  while (output_ok) {
    if (sink.PopAll(batch, std::chrono::milliseconds(0)) ||
        ((output_ok = printer->Flush()) && sink.PopAll(batch, std::chrono::milliseconds(100)))) {
      print_batch();
      continue;
    }
    if (!output_ok) break;
    if (g_stop) break;
    if (options.source == Source::kFeed && feed.done &&
        NowMs() - g_last_activity_ms.load() >= kQuietTime.count()) {
      break;
    }
  }

  g_stop = true;
  Notify();
  tcp.Wake();
  if (source.joinable()) source.join();
  sink.Close();
  listener.ListenStop();
  if (options.source == Source::kCom) listener.CloseCom();
  while (output_ok && sink.PopAll(batch, std::chrono::milliseconds(0))) print_batch();
  if (output_ok) printer->Flush();
  printer->SaveKeys(options.pos);
  std::fflush(stdout);
  g_sink = nullptr;

  if (!feed.error.empty()) {
    Fail(feed.error);
    return 1;
  }
  return 0;
}

}  // namespace poshark::tool
