// One [forward NAME]: a thread that sends what the journal holds to an MQTT
// broker and keeps, in the journal, how far the broker has acknowledged.
// Receipts go once closed, lines and alarms once committed (at most
// kCommitEvery after they came), each kind in the journal's order: the
// journal's commits wake the thread, and it looks every kForwardPoll besides. At most
// kMaxInFlight messages wait for their acknowledgement; a lost connection
// is made again with a growing pause, and what it had not acknowledged is
// sent again under the same ids. With needs_subscriber, a message the
// broker had no subscriber for counts as not acknowledged: the forward
// holds back, and every kUnheardPause sends the first message it has not
// delivered again, alone, until the broker has a subscriber for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "forward/ForwardCounters.h"
#include "forward/MqttLink.h"
#include "journal/Journal.h"
#include "settings/ForwardSettings.h"

namespace poshark::tool {

// Messages sent and not yet acknowledged, over all kinds.
inline constexpr size_t kMaxInFlight = 64;
// How often the journal is looked at for new rows while connected, besides
// after each of its commits.
inline constexpr auto kForwardPoll = std::chrono::milliseconds(500);
// Pause before connecting again, doubled after each failure up to the most.
inline constexpr auto kFirstReconnect = std::chrono::milliseconds(500);
inline constexpr auto kLongestReconnect = std::chrono::milliseconds(30000);
// A connection not accepted within this long is given up and tried again.
inline constexpr auto kConnectWithin = std::chrono::seconds(10);
// needs_subscriber: the pause before a message nobody received is sent
// again, and the messages sent at a time until one is received.
inline constexpr auto kUnheardPause = std::chrono::milliseconds(1000);
inline constexpr size_t kUnheardInFlight = 1;
// How often the backlog is counted for the counters.
inline constexpr auto kBacklogEvery = std::chrono::milliseconds(1000);

class Forwarder {
 public:
  // Starts the thread. The journal outlives the forwarder; journal_path is
  // its file, read through a connection of the forward's own.
  Forwarder(const ForwardSettings& settings, const std::string& store,
            const std::string& journal_path, Journal& journal);
  // Ends the thread and the connection, within a second.
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  const ForwardCounters& Counters() const { return counters_; }

 private:
  struct Session;
  void Run();
  void Open(Session& s);
  bool Wait(Session& s, std::deque<std::pair<uint64_t, LinkEvent>>& events);
  void Handle(Session& s, const LinkEvent& e);
  void Connect(Session& s);
  void Drop(Session& s, const std::string& why);
  void Acked(Session& s, int mid, bool heard);
  void Hold(Session& s);
  void Fill(Session& s);
  void Account(Session& s);
  std::string Url() const;

  const ForwardSettings settings_;
  const std::string store_;
  const std::string journal_path_;
  Journal& journal_;
  ForwardCounters counters_;

  std::mutex mutex_;
  std::condition_variable wake_;
  // Guarded by mutex_: the links' events, each with its link's number (a
  // dropped link's late ones are ignored); at most kMaxInFlight acks and a
  // few more.
  std::deque<std::pair<uint64_t, LinkEvent>> events_;
  bool stop_ = false;       // guarded by mutex_
  bool committed_ = false;  // guarded by mutex_: the journal committed since the last look
  uint64_t watch_ = 0;      // the journal's number of the commit watch
  std::thread thread_;
};

}  // namespace poshark::tool
