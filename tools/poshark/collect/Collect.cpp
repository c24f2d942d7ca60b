#include "collect/Collect.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "base/Log.h"
#include "base/SignalWatcher.h"
#include "collect/CentralDb.h"
#include "collect/MqttInbox.h"

namespace poshark::tool {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A batch is written once it holds this many messages or its first message
// has waited this long, whichever comes first. The broker never has more
// than kMaxBatch messages unacknowledged with the collector.
constexpr int kMaxBatch = 1000;
constexpr milliseconds kMaxBatchWait{100};
// A batch is also written once nothing more has come for this long: the
// broker sends no more than its in-flight limit (mosquitto's
// max_inflight_messages) before the batch is acknowledged.
constexpr milliseconds kQuietWait{2};
// Pause between attempts while the broker or the database is away.
constexpr milliseconds kRetryWait{1000};
// How often the loop looks at the keep-alive and the retention when idle.
constexpr milliseconds kTick{1000};
constexpr auto kRetentionEvery = std::chrono::hours(1);

class CollectLoop {
 public:
  CollectLoop(const CollectConfig& config, CentralDb& db, int wake, const CommittedBatch& committed)
      : db_(db),
        committed_(committed),
        wake_(wake),
        subscription_(config.broker.Subscription()),
        inbox_(config.broker, kMaxBatch,
               [this](const std::string& topic, const std::string& payload) {
                 Take(topic, payload);
               }) {}

  void Run(const std::atomic<bool>& stop) {
    while (!stop) {
      if (inbox_.Socket() < 0 && batch_.empty() && !Connect()) continue;
      Wait();
      if (inbox_.Socket() >= 0 && ready_ && !Check(inbox_.Read(error_), "lost")) continue;
      if (inbox_.Subscribed() != subscribed_ && (subscribed_ = inbox_.Subscribed()))
        Log(LogLevel::kInfo, "broker: subscribed to " + subscription_);
      if (Due()) Commit();
      if (batch_.empty() && inbox_.Socket() >= 0) Check(inbox_.Flush(error_), "lost");
      Check(inbox_.Tick(error_), "lost");
      if (Clock::now() >= next_retention_) Retain();
    }
    if (!batch_.empty()) Commit();
    if (batch_.empty()) inbox_.Close();
  }

 private:
  void Take(const std::string& topic, const std::string& payload) {
    CentralMessage m;
    std::string why;
    if (!ReadCentralMessage(topic, payload, m, why)) {
      Log(LogLevel::kWarning, "broker: message on " + topic + " dropped: expected " + why);
      return;
    }
    if (m.kind == CentralKind::kLine) return;  // the receipt brings its lines when it closes
    if (batch_.empty()) first_ = Clock::now();
    batch_.push_back(std::move(m));
  }

  // After a lost or refused connection, a pause first: a broker that
  // refuses the login is not asked again at once.
  bool Connect() {
    if (broker_down_) Sleep(kRetryWait);
    if (inbox_.Connect(error_)) {
      if (broker_down_) Log(LogLevel::kInfo, "broker: connected again");
      broker_down_ = false;
      return true;
    }
    Check(false, "cannot connect");
    return false;
  }

  // Logs a lost broker once until it is back.
  bool Check(bool ok, const char* what) {
    if (!ok && !broker_down_)
      Log(LogLevel::kWarning, std::string("broker: ") + what + ": " + error_ + " (retrying)");
    if (!ok) broker_down_ = true;
    return ok;
  }

  void Sleep(milliseconds wait) {
    pollfd fd{wake_, POLLIN, 0};
    poll(&fd, 1, static_cast<int>(wait.count()));
  }

  void Wait() {
    milliseconds wait = db_down_ ? kRetryWait : kTick;
    if (!batch_.empty() && !db_down_) {
      wait =
          std::max(milliseconds(0),
                   std::chrono::duration_cast<milliseconds>(first_ + kMaxBatchWait - Clock::now()));
      wait = std::min(wait, kQuietWait);
    }
    pollfd fds[2] = {{wake_, POLLIN, 0}, {inbox_.Socket(), 0, 0}};
    const bool room = static_cast<int>(batch_.size()) < kMaxBatch && !db_down_;
    if (room) fds[1].events |= POLLIN;
    if (batch_.empty() && inbox_.WantsWrite()) fds[1].events |= POLLOUT;
    ready_ = false;
    const int events = poll(fds, fds[1].fd >= 0 ? 2 : 1, static_cast<int>(wait.count()));
    quiet_ = events == 0;
    if (events > 0) ready_ = room && (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  }

  bool Due() const {
    if (batch_.empty()) return false;
    return static_cast<int>(batch_.size()) >= kMaxBatch || Clock::now() >= first_ + kMaxBatchWait ||
           quiet_ || inbox_.Socket() < 0 || db_down_;
  }

  void Commit() {
    try {
      Log(LogLevel::kDebug, "database: writing " + std::to_string(batch_.size()) + " messages");
      const WriteCount n = db_.Write(batch_);
      Log(LogLevel::kDebug, "database: committed " + std::to_string(n.receipts) +
                                " new receipts, " + std::to_string(n.alarms) + " new alarms");
      if (committed_) committed_(batch_);
      batch_.clear();
      if (db_down_) Log(LogLevel::kInfo, "database: writing again");
      db_down_ = false;
    } catch (const CentralError& e) {
      if (e.BadData()) return CommitOneByOne();
      if (!db_down_)
        Log(LogLevel::kWarning, std::string(e.what()) + " (retrying; nothing acknowledged)");
      db_down_ = true;
    }
  }

  // The server refused a row of the batch: each message alone, and those
  // it refuses dropped with the reason, so that one bad message never holds
  // up the rest.
  void CommitOneByOne() {
    std::vector<CentralMessage> rest;
    rest.swap(batch_);
    for (auto& m : rest) {
      try {
        db_.Write({m});
        if (committed_) committed_({m});
      } catch (const CentralError& e) {
        if (e.BadData()) {
          Log(LogLevel::kWarning,
              "database: a message of store " + m.store + " dropped: " + e.what());
        } else {
          batch_.push_back(std::move(m));  // kept for the next attempt
        }
      }
    }
    db_down_ = !batch_.empty();
  }

  void Retain() {
    next_retention_ = Clock::now() + kRetentionEvery;
    try {
      if (const int months = db_.DropExpired(); months > 0)
        Log(LogLevel::kInfo, "database: " + std::to_string(months) + " months past keep dropped");
    } catch (const CentralError& e) {
      Log(LogLevel::kWarning, e.what());
    }
  }

  CentralDb& db_;
  const CommittedBatch& committed_;
  const int wake_;
  const std::string subscription_;
  MqttInbox inbox_;
  std::vector<CentralMessage> batch_;  // read, not yet committed nor acknowledged
  Clock::time_point first_;            // when batch_'s first message came
  Clock::time_point next_retention_ = Clock::now();
  std::string error_;
  bool ready_ = false;
  bool quiet_ = false;  // the last wait ended with nothing to read
  bool subscribed_ = false;
  bool broker_down_ = false;
  bool db_down_ = false;
};

}  // namespace

int RunCollect(const CollectConfig& config, const CommittedBatch& committed) {
  SetLogLevel(config.log);
  CentralDb db(config.database);
  try {
    db.Open();
  } catch (const CentralError& e) {
    Log(LogLevel::kError, e.what());
    return 1;
  }
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<bool> stop{false};
  {
    SignalWatcher signals([&](int) {
      stop = true;
      const uint64_t one = 1;
      (void)!write(wake, &one, sizeof one);
    });
    try {
      CollectLoop loop(config, db, wake, committed);
      Log(LogLevel::kInfo, "collect: subscribing to " + config.broker.Subscription() + " on " +
                               config.broker.link.host + ":" +
                               std::to_string(config.broker.link.port));
      loop.Run(stop);
    } catch (const std::runtime_error& e) {
      Log(LogLevel::kError, std::string("broker: ") + e.what());
      close(wake);
      return 1;
    }
  }
  close(wake);
  Log(LogLevel::kInfo, "collect: stopped");
  return 0;
}

}  // namespace poshark::tool
