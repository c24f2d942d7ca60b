// The progress of `listen --feed FILE` on a terminal: one line on standard
// error, rewritten in place, with the bytes given of the file's size, the
// lines delivered and the rate. Nothing when standard error is not a
// terminal, for standard input, or with --quiet. Used by the listen loop's
// thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "channel/ChannelCounters.h"

namespace poshark::tool {

// How often the line is rewritten.
inline constexpr auto kProgressEvery = std::chrono::milliseconds(500);

class FeedProgress {
 public:
  // path: the feed's file ("-" for standard input: no progress).
  FeedProgress(const std::string& path, bool quiet, const ChannelCounters& counters);
  // Rewrites the line when kProgressEvery has passed since the last time.
  void Tick();
  // The last figures, and the end of the line.
  void Finish();

 private:
  void Show();

  bool on_ = false;
  std::string name_;
  uint64_t size_ = 0;
  const ChannelCounters& counters_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point next_;
  bool shown_ = false;
};

}  // namespace poshark::tool
