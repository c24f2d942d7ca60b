#include "forward/Forwarder.h"

#include <algorithm>
#include <map>
#include <vector>

#include "base/Log.h"
#include "forward/ForwardMessage.h"
#include "forward/Outbox.h"

namespace poshark::tool {

namespace {

using Clock = std::chrono::steady_clock;

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// The forward thread's own state.
struct Forwarder::Session {
  std::unique_ptr<Database> db;
  std::vector<std::unique_ptr<Outbox>> boxes;  // alarms first: they go at once
  std::vector<int64_t> stored;                 // by box: the position last given to the journal
  std::unique_ptr<MqttLink> link;
  uint64_t link_number = 0;
  bool connected = false;
  bool ever_connected = false;
  bool down_said = false;     // the loss was logged; the return will be
  bool holding = false;       // needs_subscriber: a message went unheard, none received since
  Clock::time_point hold_by;  // while holding: nothing is sent before this
  std::map<int, std::pair<size_t, int64_t>> in_flight;  // by message id: box, number
  Clock::time_point next_try{}, connect_by{}, backlog_at{};
  std::chrono::milliseconds pause = kFirstReconnect;
  std::string status_topic;
  ForwardStats stats;
};

Forwarder::Forwarder(const ForwardSettings& settings, const std::string& store,
                     const std::string& journal_path, Journal& journal)
    : settings_(settings), store_(store), journal_path_(journal_path), journal_(journal) {
  watch_ = journal_.WatchCommits([this] {
    {
      std::lock_guard lock(mutex_);
      committed_ = true;
    }
    wake_.notify_one();
  });
  thread_ = std::thread([this] { Run(); });
}

Forwarder::~Forwarder() {
  journal_.UnwatchCommits(watch_);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::string Forwarder::Url() const {
  const bool v6 = settings_.host.find(':') != std::string::npos;
  return std::string(settings_.tls ? "mqtts://" : "mqtt://") +
         (v6 ? "[" + settings_.host + "]" : settings_.host) + ":" + std::to_string(settings_.port);
}

// The journal through a connection of the forward's own, and how far the
// broker had acknowledged each kind when the service last stored it.
void Forwarder::Open(Session& s) {
  s.db = OpenJournal(journal_path_, false);
  std::map<std::string, int64_t> positions;
  Statement q(*s.db, "SELECT kind, position FROM forwards WHERE name = ?1");
  for (q.Bind(1, settings_.name); q.Step();) positions[q.Text(0)] = q.Int(1);
  q.Reset();
  for (auto [flag, kind] : {std::pair{kSendAlarms, MessageKind::kAlarm},
                            std::pair{kSendReceipts, MessageKind::kReceipt},
                            std::pair{kSendLines, MessageKind::kLine}}) {
    if ((settings_.send & flag) == 0) continue;
    const int64_t at = positions[KindName(kind)];
    s.boxes.push_back(std::make_unique<Outbox>(*s.db, kind, at));
    s.stored.push_back(at);
    journal_.SetPosition(settings_.name, KindName(kind), at);  // counted by pruning from now
  }
  s.status_topic = StatusTopic(settings_.topic, store_);
}

void Forwarder::Run() {
  Session s;
  std::deque<std::pair<uint64_t, LinkEvent>> events;
  bool failing = false;
  while (Wait(s, events)) {
    try {
      if (!s.db) Open(s);
      for (const auto& [number, e] : events)
        if (number == s.link_number && s.link) Handle(s, e);
      events.clear();
      const auto now = Clock::now();
      if (!s.link && now >= s.next_try) Connect(s);
      if (s.link && !s.connected && now >= s.connect_by) Drop(s, "no answer to connecting");
      if (s.connected) Fill(s);
      Account(s);
      failing = false;
    } catch (const JournalError& e) {
      // Tried again at the next poll, from the last acknowledged message on
      // (what was taken but not sent would otherwise never be); said once.
      if (!failing) Log(LogLevel::kError, "forward " + settings_.name + ": " + e.what());
      failing = true;
      events.clear();
      s.in_flight.clear();
      for (auto& box : s.boxes) box->Rewind();
    }
  }
  s.link.reset();
}

// Waits for the link, the next poll or the next try; false once stopping.
bool Forwarder::Wait(Session& s, std::deque<std::pair<uint64_t, LinkEvent>>& events) {
  const auto now = Clock::now();
  auto until = now + kForwardPoll;
  if (s.db && !s.link) until = s.next_try;
  if (s.holding && s.hold_by > now) until = std::min(until, s.hold_by);
  std::unique_lock lock(mutex_);
  wake_.wait_until(lock, until, [&] { return stop_ || !events_.empty() || committed_; });
  committed_ = false;
  events.swap(events_);
  return !stop_;
}

void Forwarder::Connect(Session& s) {
  const uint64_t number = ++s.link_number;
  try {
    s.link = std::make_unique<MqttLink>(settings_, s.status_topic, [this, number](LinkEvent&& e) {
      {
        std::lock_guard lock(mutex_);
        events_.emplace_back(number, std::move(e));
      }
      wake_.notify_one();
    });
  } catch (const std::exception& e) {
    Drop(s, e.what());
    return;
  }
  std::string error;
  if (!s.link->Start(error)) {
    Drop(s, error);
    return;
  }
  s.connect_by = Clock::now() + kConnectWithin;
}

void Forwarder::Handle(Session& s, const LinkEvent& e) {
  switch (e.type) {
    case LinkEvent::kConnected:
      s.connected = true;
      s.pause = kFirstReconnect;
      if (s.ever_connected) ++s.stats.reconnects;
      if (s.down_said || !s.ever_connected) {
        Log(LogLevel::kInfo, "forward " + settings_.name + ": broker " + Url() +
                                 (s.ever_connected ? " back" : " connected"));
      }
      s.ever_connected = true;
      s.down_said = false;
      return;
    case LinkEvent::kAcked:
    case LinkEvent::kUnheard:
      Acked(s, e.mid, e.type == LinkEvent::kAcked);
      return;
    case LinkEvent::kRefused:
      Drop(s, "a message was refused: " + e.why);
      return;
    case LinkEvent::kLost:
      Drop(s, e.why);
      return;
  }
}

// An acknowledgement; `heard` when the broker had a subscriber for the
// message. Unheard, it is delivered for all the broker knows unless the
// forward needs a subscriber.
void Forwarder::Acked(Session& s, int mid, bool heard) {
  auto it = s.in_flight.find(mid);
  if (it == s.in_flight.end()) return;  // a status, or sent before a rewind
  if (!heard) ++s.stats.unheard;
  if (!heard && settings_.needs_subscriber) {
    Hold(s);
    return;
  }
  s.boxes[it->second.first]->Acked(it->second.second);
  s.in_flight.erase(it);
  ++s.stats.acknowledged;
  if (heard && s.holding) {
    s.holding = false;
    Log(LogLevel::kInfo, "forward " + settings_.name + ": broker " + Url() +
                             " has a subscriber again; sending resumes");
  }
}

// Nobody received a message: it and everything after it not yet
// acknowledged are sent again, from the journal, after a pause. The link
// stays; acknowledgements of what was in flight are ignored from now on.
void Forwarder::Hold(Session& s) {
  s.in_flight.clear();
  for (auto& box : s.boxes) box->Rewind();
  s.hold_by = Clock::now() + kUnheardPause;
  if (s.holding) return;
  s.holding = true;
  Log(LogLevel::kWarning, "forward " + settings_.name + ": broker " + Url() +
                              " has no subscriber for the messages; holding them back, "
                              "sending again every " +
                              std::to_string(kUnheardPause.count()) + " ms");
}

// The link is given up: what it had not acknowledged is sent again on the
// next one, after a pause.
void Forwarder::Drop(Session& s, const std::string& why) {
  std::string said = why;
  if (s.link) {
    std::string last = s.link->LastError();
    if (!last.empty() && said.find(last) == std::string::npos) said += " (" + last + ")";
  }
  s.link.reset();
  s.connected = false;
  s.in_flight.clear();
  for (auto& box : s.boxes) box->Rewind();
  s.next_try = Clock::now() + s.pause;
  s.pause = std::min(s.pause * 2,
                     std::chrono::duration_cast<std::chrono::milliseconds>(kLongestReconnect));
  const std::string text = "forward " + settings_.name + ": broker " + Url() + " " +
                           (s.ever_connected ? "lost: " : "not reached: ") + said;
  Log(s.down_said ? LogLevel::kDebug : LogLevel::kWarning, text + "; trying again");
  s.down_said = true;
}

void Forwarder::Fill(Session& s) {
  if (s.holding && Clock::now() < s.hold_by) return;
  const size_t most = s.holding ? kUnheardInFlight : kMaxInFlight;
  for (size_t b = 0; b < s.boxes.size() && s.in_flight.size() < most; ++b) {
    Outbox& box = *s.boxes[b];
    for (int64_t id : box.Next(most - s.in_flight.size())) {
      auto message = BuildMessage(*s.db, box.Kind(), id, settings_.topic, store_);
      int mid = 0;
      if (!message) {
        box.Acked(id);  // removed from the journal meanwhile: nothing to send
      } else if (s.link->Publish(message->topic, message->payload, settings_.qos, mid)) {
        s.in_flight[mid] = {b, id};
        ++s.stats.sent;
      } else {
        Drop(s, "cannot publish");
        return;
      }
    }
  }
}

// Positions to the journal, and the counters.
void Forwarder::Account(Session& s) {
  for (size_t b = 0; b < s.boxes.size(); ++b) {
    const int64_t at = s.boxes[b]->Position();
    if (at == s.stored[b]) continue;
    journal_.SetPosition(settings_.name, KindName(s.boxes[b]->Kind()), at);
    s.stored[b] = at;
  }
  s.stats.in_flight = static_cast<int64_t>(s.in_flight.size());
  s.stats.connected = s.connected;
  s.stats.holding = s.holding;
  const auto now = Clock::now();
  if (now >= s.backlog_at && (settings_.send & kSendReceipts) != 0) {
    s.backlog_at = now + kBacklogEvery;
    const auto& receipts = **std::find_if(s.boxes.begin(), s.boxes.end(), [](const auto& b) {
      return b->Kind() == MessageKind::kReceipt;
    });
    Statement q(
        *s.db, "SELECT count(*), min(stop_ms) FROM receipts WHERE id > ?1 AND stop_ms IS NOT NULL");
    q.Bind(1, receipts.Position()).Step();
    s.stats.backlog_receipts = q.Int(0);
    s.stats.backlog_seconds = q.IsNull(1) ? 0 : std::max<int64_t>(0, (WallMs() - q.Int(1)) / 1000);
    q.Reset();
    s.stats.pruned_unsent = journal_.PrunedUnsent(settings_.name);
  }
  counters_.Set(s.stats);
}

}  // namespace poshark::tool
