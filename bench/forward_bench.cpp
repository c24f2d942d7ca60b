// Forwarding on loopback to Debian's mosquitto, started here on a free
// port: how many receipts a second a forward sends from the journal with
// every one acknowledged (QoS 1), against publishing the very same
// messages with libmosquitto alone (QoS 1, the same number in flight), in
// the same run.
#include <benchmark/benchmark.h>
#include <mosquitto.h>
#include <poshark/RCPosHark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "forward/ForwardMessage.h"
#include "forward/Forwarder.h"
#include "journal/Journal.h"
#include "journal/JournalStore.h"

namespace {

using namespace poshark::tool;

constexpr int kReceipts = 2000;
constexpr int kItems = 10;  // item lines per receipt, besides its head and total

// The broker, for the whole run, and a journal of kReceipts receipts.
struct Fixture {
  Fixture() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    close(fd);
    char tmpl[] = "/tmp/poshark-forward-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    std::ofstream(dir + "/m.conf")
        << "listener " << port << " 127.0.0.1\nallow_anonymous true\nuser root\n";
    if ((broker = fork()) == 0) {
      execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir + "/m.conf").c_str(), nullptr);
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    JournalStore store(dir + "/j.sqlite", Keep{});
    store.Begin();
    for (int n = 0; n < kReceipts; ++n) {
      LineRecord r;
      r.channel = n % 2 ? "till1" : "till2";
      r.pos = n % 2 + 1;
      r.time_ms = 1700000000000 + n;
      r.event = POSHARK_EVENT_START;
      r.raw = r.text = "CORNER SHOP receipt " + std::to_string(n);
      store.Write(r);
      r.event = -1;
      for (int i = 0; i < kItems; ++i) store.Write((r.raw = r.text = "coffee 1 x 2.90", r));
      r.event = POSHARK_EVENT_STOP;
      store.Write((r.raw = r.text = "TOTAL 29.00", r));
    }
    store.Commit();
  }
  ~Fixture() {
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    std::system(("rm -rf " + dir).c_str());
  }
  int port = 0;
  pid_t broker = -1;
  std::string dir;
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

// A forward from position 0 (a name of its own each time) until the broker
// acknowledged every receipt.
void BM_ForwardReceipts(benchmark::State& state) {
  Fixture& f = Shared();
  static int round = 0;  // each run of the benchmark a forward of its own
  for (auto _ : state) {
    Journal journal(f.dir + "/j.sqlite", Keep{});
    ForwardSettings s;
    s.name = "bench" + std::to_string(round++);
    s.host = "127.0.0.1";
    s.port = f.port;
    s.client_id = s.name;
    s.send = kSendReceipts;
    Forwarder forward(s, "shop-1", f.dir + "/j.sqlite", journal);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (forward.Counters().Snapshot().acknowledged < static_cast<uint64_t>(kReceipts)) {
      if (std::chrono::steady_clock::now() > give_up) {
        const auto stats = forward.Counters().Snapshot();
        state.SkipWithError(("stalled: sent " + std::to_string(stats.sent) + ", acknowledged " +
                             std::to_string(stats.acknowledged))
                                .c_str());
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  state.SetItemsProcessed(state.iterations() * kReceipts);
}

// The same messages, built beforehand, published with libmosquitto alone
// with at most kMaxInFlight waiting for their acknowledgement.
void BM_PlainPublish(benchmark::State& state) {
  Fixture& f = Shared();
  std::vector<ForwardMessage> messages;
  {
    auto db = OpenJournal(f.dir + "/j.sqlite", false);
    for (int id = 1; id <= kReceipts; ++id)
      messages.push_back(*BuildMessage(*db, MessageKind::kReceipt, id, kDefaultTopic, "shop-1"));
  }
  struct Acks {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
    bool connected = false;
  } acks;
  mosquitto_lib_init();
  mosquitto* m = mosquitto_new("plain", true, &acks);
  mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_connect_callback_set(m, [](mosquitto*, void* a, int) {
    auto* acks = static_cast<Acks*>(a);
    std::lock_guard lock(acks->mutex);
    acks->connected = true;
    acks->changed.notify_all();
  });
  mosquitto_publish_callback_set(m, [](mosquitto*, void* a, int) {
    auto* acks = static_cast<Acks*>(a);
    std::lock_guard lock(acks->mutex);
    ++acks->count;
    acks->changed.notify_all();
  });
  mosquitto_connect_async(m, "127.0.0.1", f.port, 30);
  mosquitto_loop_start(m);
  {
    std::unique_lock lock(acks.mutex);
    acks.changed.wait(lock, [&] { return acks.connected; });
  }
  for (auto _ : state) {
    int base = 0;
    {
      std::lock_guard lock(acks.mutex);
      base = acks.count;
    }
    for (int i = 0; i < kReceipts; ++i) {
      std::unique_lock lock(acks.mutex);
      acks.changed.wait(lock, [&] { return i - (acks.count - base) < int(kMaxInFlight); });
      lock.unlock();
      const auto& msg = messages[static_cast<size_t>(i)];
      mosquitto_publish(m, nullptr, msg.topic.c_str(), static_cast<int>(msg.payload.size()),
                        msg.payload.data(), 1, false);
    }
    std::unique_lock lock(acks.mutex);
    acks.changed.wait(lock, [&] { return acks.count - base >= kReceipts; });
  }
  state.SetItemsProcessed(state.iterations() * kReceipts);
  mosquitto_disconnect(m);
  mosquitto_loop_stop(m, false);
  mosquitto_destroy(m);
}

// Receipts at kPacedPerSecond through the journal's writer and a forward,
// as `serve` hands them over: for each, the time from its last line to its
// message at a subscriber, against the same messages published at the same
// pace with libmosquitto alone (the yardstick). Reports the 50th and 99th
// percentiles and the worst, in milliseconds.
constexpr int kPacedPerSecond = 100;
constexpr int kPacedReceipts = 1000;

using Stamp = std::chrono::steady_clock::time_point;

// A subscriber to everything, noting when each receipt's message came by
// the number in its first line ("paced receipt N").
class Arrivals {
 public:
  explicit Arrivals(int port) : at_(kPacedReceipts) {
    mosquitto_lib_init();
    m_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(
        m_, [](mosquitto* m, void*, int) { mosquitto_subscribe(m, nullptr, "#", 1); });
    mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* self, int, int, const int*) {
      auto* a = static_cast<Arrivals*>(self);
      std::lock_guard lock(a->mutex_);
      a->ready_ = true;
      a->changed_.notify_all();
    });
    mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* m) {
      static_cast<Arrivals*>(self)->Note(m);
    });
    mosquitto_connect_async(m_, "127.0.0.1", port, 30);
    mosquitto_loop_start(m_);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return ready_; });
  }
  ~Arrivals() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
    mosquitto_destroy(m_);
  }
  // Waits (at most 30 s) for every receipt; answers the arrival times.
  std::vector<Stamp> All() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return count_ == kPacedReceipts; });
    return at_;
  }

 private:
  void Note(const mosquitto_message* m) {
    const auto now = std::chrono::steady_clock::now();
    const std::string payload(static_cast<const char*>(m->payload), m->payloadlen);
    const size_t at = payload.find("paced receipt ");
    if (at == std::string::npos) return;
    const int n = std::atoi(payload.c_str() + at + 14);
    std::lock_guard lock(mutex_);
    if (n < 0 || n >= kPacedReceipts || at_[n] != Stamp{}) return;
    at_[n] = now;
    ++count_;
    changed_.notify_all();
  }
  mosquitto* m_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false;
  int count_ = 0;
  std::vector<Stamp> at_;
};

// The paced receipt n as the lines a channel delivers.
std::vector<LineRecord> PacedReceipt(int n) {
  LineRecord r;
  r.channel = "till1";
  r.pos = 1;
  r.time_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
  std::vector<LineRecord> lines;
  r.event = POSHARK_EVENT_START;
  lines.push_back((r.raw = r.text = "paced receipt " + std::to_string(n), r));
  r.event = -1;
  for (int i = 0; i < kItems; ++i) lines.push_back((r.raw = r.text = "coffee 1 x 2.90", r));
  r.event = POSHARK_EVENT_STOP;
  lines.push_back((r.raw = r.text = "TOTAL 29.00", r));
  return lines;
}

// Calls send(n) for every paced receipt at kPacedPerSecond; answers when
// each was sent.
template <typename Send>
std::vector<Stamp> Pace(Send send) {
  std::vector<Stamp> sent(kPacedReceipts);
  const auto start = std::chrono::steady_clock::now();
  for (int n = 0; n < kPacedReceipts; ++n) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(1000000 / kPacedPerSecond) * n);
    sent[n] = std::chrono::steady_clock::now();
    send(n);
  }
  return sent;
}

// The percentiles of arrival - sent as benchmark counters, in milliseconds.
void Report(benchmark::State& state, const std::vector<Stamp>& sent,
            const std::vector<Stamp>& arrived) {
  std::vector<double> ms;
  for (size_t n = 0; n < sent.size(); ++n) {
    if (arrived[n] == Stamp{}) {
      state.SkipWithError(("receipt " + std::to_string(n) + " never arrived").c_str());
      return;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(arrived[n] - sent[n]).count());
  }
  std::sort(ms.begin(), ms.end());
  state.counters["p50_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
  state.counters["max_ms"] = ms.back();
}

void BM_ReceiptLatency(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) {
    const std::string path = f.dir + "/paced.sqlite";
    std::remove(path.c_str());
    Journal journal(path, Keep{});
    ForwardSettings s;
    s.name = "paced";
    s.host = "127.0.0.1";
    s.port = f.port;
    s.client_id = "paced";
    s.send = kSendReceipts;
    s.topic = "paced/{channel}";
    Arrivals arrivals(f.port);
    Forwarder forward(s, "shop-1", path, journal);
    const auto sent = Pace([&](int n) {
      for (LineRecord& line : PacedReceipt(n)) journal.Add(std::move(line));
    });
    Report(state, sent, arrivals.All());
  }
}

// The yardstick: the same messages published at the same pace, QoS 1.
void BM_PlainLatency(benchmark::State& state) {
  Fixture& f = Shared();
  const auto db = OpenJournal(f.dir + "/j.sqlite", false);
  const ForwardMessage message =
      *BuildMessage(*db, MessageKind::kReceipt, 1, "plain/{channel}", "shop-1");
  for (auto _ : state) {
    Arrivals arrivals(f.port);
    mosquitto* m = mosquitto_new(nullptr, true, nullptr);
    mosquitto_connect(m, "127.0.0.1", f.port, 30);
    mosquitto_loop_start(m);
    const auto sent = Pace([&](int n) {
      std::string payload = message.payload;
      payload.replace(payload.find("CORNER SHOP receipt"), 19,
                      "paced receipt " + std::to_string(n));
      mosquitto_publish(m, nullptr, message.topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), 1, false);
    });
    Report(state, sent, arrivals.All());
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
  }
}

BENCHMARK(BM_ForwardReceipts)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_PlainPublish)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_ReceiptLatency)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_PlainLatency)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
