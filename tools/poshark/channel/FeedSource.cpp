// feed: a raw byte stream or a trace file, replayed once at the pace of a
// serial line (or as fast as the listener takes it).
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "channel/Channel.h"

#include "channel/Source.h"
#include "channel/TraceFile.h"

namespace poshark::tool {

namespace {

using Clock = std::chrono::steady_clock;

// Blocks of the size the serial reader hands to the listener, at a line's
// pace; unpaced, larger blocks, so that a fast replay does not pay a call,
// a wake-up and a progress report for every 512 bytes.
constexpr size_t kFeedBlock = 512;
constexpr size_t kUnpacedFeedBlock = 64 * 1024;

class FeedSource : public Source {
 public:
  explicit FeedSource(Channel& channel) : channel_(channel), setting_(channel.Settings().source) {}
  ~FeedSource() override { Stop(); }

  bool Start(std::string& error) override {
    if (setting_.feed_path == "-") {
      stream_ = stdin;
      name_ = "standard input";
    } else {
      stream_ = std::fopen(setting_.feed_path.c_str(), "rb");
      if (stream_ == nullptr) {
        error = "feed " + setting_.feed_path + ": " + std::strerror(errno);
        return false;
      }
      name_ = setting_.feed_path;
    }
    trace_ = setting_.force_trace || (stream_ != stdin && LooksLikeTrace(stream_));
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  void Stop() override {
    stop_.Request();
    if (thread_.joinable()) thread_.join();
    if (stream_ != nullptr && stream_ != stdin) std::fclose(stream_);
    stream_ = nullptr;
  }

  std::string Where() const override { return name_; }
  bool Done() const override { return done_; }
  std::string Error() const override {
    std::lock_guard lock(error_mutex_);
    return error_;
  }

 private:
  // Waits as long as the bytes take on the line; false when stopped.
  bool Pace(size_t size) {
    if (setting_.pace_baud == 0) return true;
    // Ten bits per byte on the line: start, eight data bits, stop.
    next_ += std::chrono::microseconds(size * 10'000'000ull / setting_.pace_baud);
    return !stop_.WaitUntil(next_);
  }

  void Give(unsigned char* data, size_t size) {
    if (Pace(size)) channel_.Give(data, size);
  }

  void Run() {
    next_ = Clock::now();
    std::string error;
    if (trace_) {
      TraceReader reader(stream_, name_);
      std::vector<unsigned char> record;
      while (!Stopped() && reader.Next(record, error)) Give(record.data(), record.size());
    } else {
      std::vector<unsigned char> block(setting_.pace_baud == 0 ? kUnpacedFeedBlock : kFeedBlock);
      while (!Stopped()) {
        size_t n = std::fread(block.data(), 1, block.size(), stream_);
        if (n > 0) Give(block.data(), n);
        if (n < block.size()) {
          if (std::ferror(stream_)) error = name_ + ": " + std::strerror(errno);
          break;
        }
      }
    }
    {
      std::lock_guard lock(error_mutex_);
      error_ = error;
    }
    // The last lines are delivered now, not after the listener's wait for
    // the rest of a chunk that will never come.
    if (!Stopped()) channel_.EndInput();
    channel_.Counters().source_up = false;
    done_ = true;
  }

  bool Stopped() { return stop_.Requested(); }

  Channel& channel_;
  const SourceSetting setting_;
  FILE* stream_ = nullptr;
  std::string name_;
  bool trace_ = false;
  Clock::time_point next_;
  StopSignal stop_;
  mutable std::mutex error_mutex_;
  std::string error_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Source> MakeFeedSource(Channel& channel) {
  return std::make_unique<FeedSource>(channel);
}

}  // namespace poshark::tool
