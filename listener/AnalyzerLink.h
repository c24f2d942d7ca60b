// The listener's side of the stream analyzer: connects it to the analyze
// queue (chunks in), the write queue (records out), the worker events and
// the host's raw-record callback.
//
// Contract: every operation is called on the analyzer thread (or by a test
// driving the analyzer directly), except CreateEvent and CloseEvent (the
// lifecycle operations). Owns the analyzer thread and its run flag
// (worker), the analyze event that wakes it and the raw-record callback; it
// is given the listener's queues, catalogue, stop event, writer, drain watch
// and chunk wake, which outlive it.
// Locking: none of its own; the queues lock themselves, the flags and
// callbacks are atomics, and the events are created before the analyzer
// thread starts and closed only after it has ended.
#pragma once

#include <poshark/KeyRecords.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "commands/StreamAnalyzer.h"
#include "listener/Worker.h"

class RCCmdSet;
class RCDataQueue;
class RCLineQueue;
struct STRUCT_PosData;

namespace poshark::platform {
class Event;
}
namespace poshark::commands {
class CmdSetCatalog;
}

namespace poshark::listener {

class ChunkWake;
class DrainWatch;
class LineWriter;

using TestListenFt = commands::RawChunkHook;

// What the link is given; every member refers to the listener's own.
struct AnalyzerLinkRefs {
  int nPOSNo;
  RCDataQueue& analyzeQueue;
  RCLineQueue& writeQueue;
  commands::CmdSetCatalog& catalog;
  std::unique_ptr<platform::Event>& hStopEvent;  // shared by the workers, manual-reset
  LineWriter& writer;                            // its run flag, event and progress
  DrainWatch& drain;                             // parking mark, end of input
  ChunkWake& chunkWake;                          // when the intake wakes the analyzer
};

class AnalyzerLink final : public commands::AnalyzerLinks {
 public:
  explicit AnalyzerLink(const AnalyzerLinkRefs& refs)
      : worker(refs.nPOSNo, "analyze"), refs_(refs) {}
  ~AnalyzerLink() override;
  AnalyzerLink(const AnalyzerLink&) = delete;
  AnalyzerLink& operator=(const AnalyzerLink&) = delete;

  // Drops the chunks taken from the queue and not yet handed to the
  // analyzer, as a new start clears the queue: called when a run ends.
  void DropTaken();

  RCCmdSet* CurrentSet() override;
  bool Running() override;
  bool CanWait() override;
  commands::ChunkShelf& Shelf() override { return shelf_; }
  bool FillShelf() override;
  Wake WaitForChunk(int nTimeoutMs) override;
  void PushRecord(const unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST,
                  int nEvent) override;
  void PushRecords(const unsigned char* pBase, const commands::HeldLines::Line* pLines,
                   int nCount) override;
  int QueuedBytes() override;
  bool DropQueued() override;
  uint64_t WriterProgress() override;
  bool WaitForRoom(int nLen, int nLimit, uint32_t dwMaxLagMs) override;
  void WakeWriter() override;
  void OnWake() override;

  // Makes the analyze event (auto-reset), or resets it; false when it
  // cannot be made. Close drops it.
  bool CreateEvent();
  void CloseEvent() { hAnalyzeEvent.reset(); }

  // Shown to derived hosts under these names (RCPosHark's protected members).
  Worker worker;
  std::unique_ptr<platform::Event> hAnalyzeEvent;  // auto-reset: chunks queued
  std::atomic<TestListenFt> pfnTestListen{nullptr};

 private:
  // Waits up to the gather time for the chunks of a stream: kData when
  // some are queued, kTimeout when none came.
  Wake Gather();
  // Waits for the next chunk; each one queued ends the wait.
  Wake WaitForEvery(int nTimeoutMs);
  // Intake calls since the last look.
  uint32_t NewCalls();

  // Whether chunks taken from the queue wait to be handed to the analyzer.
  bool HasTaken() const { return !shelf_.Empty(); }

  AnalyzerLinkRefs refs_;
  // Chunks move out of the analyze queue a shelf at a time, under one lock;
  // the records stay here until the next refill gives them back for reuse.
  STRUCT_PosData* apTaken_[commands::ChunkShelf::kCap] = {};
  int nTaken_ = 0;  // records in apTaken_
  commands::ChunkShelf shelf_;
  bool bStream_ = false;     // the idle waits gather
  uint32_t nCallsSeen_ = 0;  // the intake's call count at the last look
  uint32_t dwLastWake_ = 0;  // coarse ms of the last idle wait ended by data
};

}  // namespace poshark::listener
