// What a channel counts while it runs, for /healthz and /metrics. Written
// by the channel's threads (listener callbacks, source threads), read by
// any thread; every member is atomic and counts only up, except the gauges
// source_up and last_line_ms. A service keeps one per configured channel
// across restarts of the channel, so the counts are the channel's totals.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace poshark::tool {

// Written on the listener's writer thread (the first group) and on the
// source's threads (the second): each group on a cache line of its own.
inline constexpr size_t kCounterGroupAlign = 64;

struct ChannelCounters {
  alignas(kCounterGroupAlign) std::atomic<uint64_t> lines{0};  // lines delivered
  std::atomic<uint64_t> receipts{0};                           // receipts ended (STOP events)
  std::atomic<uint64_t> overflow_notes{0};  // OVERFLOW lines: the listener lost lines
  std::atomic<uint64_t> overflow_bytes{0};  // bytes those notes say were lost
  std::atomic<int64_t> last_line_ms{0};  // wall time of the last line, ms since the epoch; 0 none
  alignas(kCounterGroupAlign) std::atomic<uint64_t> bytes{0};  // bytes given to the listener
  std::atomic<uint64_t> intake_lost{0};   // tap bytes the intake had no room for
  std::atomic<uint64_t> connections{0};   // tcp or tap connections taken; serial port openings
  std::atomic<uint64_t> to_printer{0};    // tap: bytes passed from the POS to the printer
  std::atomic<uint64_t> from_printer{0};  // tap: bytes passed from the printer to the POS
  std::atomic<bool> source_up{false};     // listening, port present, or feed replaying
};

}  // namespace poshark::tool
