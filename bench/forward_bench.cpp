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

#include <chrono>
#include <condition_variable>
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

BENCHMARK(BM_ForwardReceipts)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_PlainPublish)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
