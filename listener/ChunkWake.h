// When the byte intake wakes the analyzer.
//
// Contract: while the analyzer waits for every chunk (its idle wait, or a
// wait for the rest of a chunk), each chunk queued wakes it. While it works,
// and while it gathers the chunks of a steady stream, a chunk wakes it only
// once the analyze queue holds kGatherBytes: a POS that completes a line
// every few milliseconds is then taken in one wake-up per gather time (and
// its lines handed to the writer in one), not two wake-ups per line.
//
// Locking: the flag is an atomic. The intake reads it after its push, which
// takes the analyze queue's lock; the analyzer sets it before it looks at
// that queue under the same lock and only then waits. One of the two sees
// the other, so a chunk never waits for the next one to be taken.
#pragma once

#include <atomic>
#include <cstdint>

namespace poshark::listener {

// How long the analyzer gathers the chunks of a steady stream, and the
// queued bytes that end a gather at once (a fast feed is never held back).
// A stream: intake calls that come less than half the gather time apart, so
// that a gather takes at least two of them; it ends with the first gather
// that takes fewer.
inline constexpr uint32_t kGatherMs = 20;
inline constexpr int kGatherBytes = 4096;

class ChunkWake {
 public:
  // Analyzer: around a wait that every chunk must end.
  void WaitForEveryChunk(bool bOn) { bEvery_.store(bOn); }
  // Intake, after queuing: whether to set the analyze event.
  // Counts the call as one that queued chunks.
  bool WakeFor(int nQueuedBytes) {
    nCalls_.fetch_add(1, std::memory_order_relaxed);
    return bEvery_.load() || nQueuedBytes >= kGatherBytes;
  }
  // Analyzer: intake calls that queued chunks, ever (wraps).
  uint32_t Calls() const { return nCalls_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> bEvery_{false};
  std::atomic<uint32_t> nCalls_{0};
};

}  // namespace poshark::listener
