#include "page/LiveFeed.h"

#include <algorithm>

#include "output/JsonRow.h"

namespace poshark::tool {

LiveFeed::Reader::~Reader() {
  std::lock_guard lock(feed_.mutex_);
  --feed_.readers_;
}

void LiveFeed::Publish(const LineRecord& line) {
  // Formatted before the lock is taken: the streams never wait for it.
  std::string row;
  AppendJsonRow(row, line, true);
  Publish(line.channel, row);
}

void LiveFeed::Publish(const std::string& key, const std::string& json) {
  const std::string data = "data: " + json + "\n\n";
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    const uint64_t seq = first_ + ring_.size();
    // The id comes back as Last-Event-ID when a page reconnects.
    auto event = std::make_shared<const std::string>("id: " + std::to_string(seq) + "\n" + data);
    ring_.push_back(event);
    ring_bytes_ += event->size();
    auto found = backlog_.find(key);
    if (found == backlog_.end() && backlog_.size() < kLiveBacklogChannels)
      found = backlog_.emplace(key, Backlog{}).first;
    Trim();
    if (found != backlog_.end()) {
      Backlog& b = found->second;
      b.events.emplace_back(seq, event);
      b.bytes += event->size();
      while (b.events.size() > kLiveBacklogLines ||
             (b.events.size() > 1 && b.bytes > kLiveBacklogBytes)) {
        b.bytes -= b.events.front().second->size();
        b.events.pop_front();
      }
    }
    if (waiting_ == 0) return;  // streams still gathering look again when they wake
  }
  more_.notify_all();
}

void LiveFeed::Trim() {
  while (ring_.size() > kLiveRingEvents || (ring_.size() > 1 && ring_bytes_ > kLiveRingBytes)) {
    ring_bytes_ -= ring_.front()->size();
    ring_.pop_front();
    ++first_;
  }
}

std::unique_ptr<LiveFeed::Reader> LiveFeed::Open(std::optional<uint64_t> last_seen) {
  std::lock_guard lock(mutex_);
  if (closed_ || readers_ >= kLiveStreams) return nullptr;
  ++readers_;
  std::unique_ptr<Reader> reader(new Reader(*this));
  reader->next_ = first_ + ring_.size();
  if (last_seen && *last_seen >= first_ && *last_seen < reader->next_) {
    reader->next_ = *last_seen + 1;  // a page that reconnects misses nothing
    return reader;
  }
  // The page starts afresh (it may hold lines of a stream that fell behind,
  // or of a service since restarted), with every channel's last lines in
  // the order they came.
  static const Event reset = std::make_shared<const std::string>("event: reset\ndata:\n\n");
  reader->backlog_.push_back(reset);
  std::vector<std::pair<uint64_t, Event>> lines;
  for (const auto& [name, b] : backlog_)
    lines.insert(lines.end(), b.events.begin(), b.events.end());
  std::sort(lines.begin(), lines.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [seq, event] : lines) reader->backlog_.push_back(std::move(event));
  return reader;
}

bool LiveFeed::Next(Reader& reader, std::vector<Event>& out, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  if (!reader.backlog_.empty()) {
    out.insert(out.end(), reader.backlog_.begin(), reader.backlog_.end());
    reader.backlog_.clear();
    return !closed_;
  }
  auto ready = [&] { return closed_ || reader.next_ < first_ + ring_.size(); };
  if (!ready()) {
    ++waiting_;
    more_.wait_for(lock, wait, ready);
    --waiting_;
    // Lines come in bursts (a receipt at a time): gather what follows for
    // a moment, so that a stream costs a write per burst, not per line.
    if (ready() && !closed_) more_.wait_for(lock, kLiveGather, [&] { return closed_; });
  }
  if (closed_ || reader.next_ < first_) return false;
  for (uint64_t seq = reader.next_; seq < first_ + ring_.size(); ++seq)
    out.push_back(ring_[static_cast<size_t>(seq - first_)]);
  reader.next_ = first_ + ring_.size();
  return true;
}

void LiveFeed::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  more_.notify_all();
}

size_t LiveFeed::Streams() {
  std::lock_guard lock(mutex_);
  return readers_;
}

}  // namespace poshark::tool
