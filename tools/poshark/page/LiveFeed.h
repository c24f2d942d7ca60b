// The lines the live page streams: the output loop publishes each line once,
// as a Server-Sent Event whose data is the line's JSON row (docs/OUTPUT.md), into one bounded ring;
// every open stream reads the ring at its own place. The output loop never waits for a stream: a
// stream that falls further behind than the ring holds is ended (its page then reconnects). The
// last lines of every channel are kept apart, so that a page that opens late starts with them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "output/LineRecord.h"

namespace poshark::tool {

// Event streams open at once; a further one is refused.
inline constexpr size_t kLiveStreams = 8;
// Events the ring keeps for the streams, in number and in bytes.
inline constexpr size_t kLiveRingEvents = 4096;
inline constexpr size_t kLiveRingBytes = 8 * 1024 * 1024;
// The last lines of each channel that a new stream starts with.
inline constexpr size_t kLiveBacklogLines = 40;
inline constexpr size_t kLiveBacklogBytes = 256 * 1024;
// A stream woken by a line waits this long for the lines that follow it
// before it writes them all at once.
inline constexpr auto kLiveGather = std::chrono::milliseconds(50);
// Channels whose backlog is kept (the service's channels, and a few that
// were removed by a reload).
inline constexpr size_t kLiveBacklogChannels = 128;

class LiveFeed {
 public:
  using Event = std::shared_ptr<const std::string>;  // "data: {...}\n\n"

  // A stream's place in the feed; ends its slot when destroyed.
  class Reader {
   public:
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

   private:
    friend class LiveFeed;
    explicit Reader(LiveFeed& feed) : feed_(feed) {}
    LiveFeed& feed_;
    uint64_t next_ = 0;           // sequence number of the next event
    std::vector<Event> backlog_;  // handed out first
  };

  // Called by the output loop; waits for nothing but the feed's lock.
  void Publish(const LineRecord& line);
  // An event of any JSON object (collect's alarms), its backlog kept under
  // `key` as a line's is under its channel.
  void Publish(const std::string& key, const std::string& json);
  // A new stream, starting with every channel's backlog, or after the
  // event last seen while the ring still holds what followed it; nullptr
  // while kLiveStreams are open or once the feed is closed.
  std::unique_ptr<Reader> Open(std::optional<uint64_t> last_seen = std::nullopt);
  // Waits at most `wait` for events after the reader's place and appends
  // them. False when the feed is closed or the reader fell behind the ring.
  bool Next(Reader& reader, std::vector<Event>& out, std::chrono::milliseconds wait);
  // Ends every stream's wait at once; Next answers false from now on.
  void Close();
  // Streams open now; any thread.
  size_t Streams();

 private:
  struct Backlog {
    std::deque<std::pair<uint64_t, Event>> events;
    size_t bytes = 0;
  };
  void Trim();  // the ring to its limits, with mutex_ held

  // Guards everything below. The tool keeps to the library's exported
  // interface, so std::mutex rather than the library's annotated one.
  std::mutex mutex_;
  std::condition_variable more_;
  std::deque<Event> ring_;
  size_t ring_bytes_ = 0;
  uint64_t first_ = 0;  // sequence number of ring_.front()
  std::map<std::string, Backlog> backlog_;
  size_t readers_ = 0;
  size_t waiting_ = 0;  // streams waiting for a first line: Publish wakes them
  bool closed_ = false;
};

}  // namespace poshark::tool
