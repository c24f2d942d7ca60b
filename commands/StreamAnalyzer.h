// The stream analyzer: turns line chunks into text records and transaction
// events. It removes the printer commands of a command set, inserts their
// replacement texts, takes barcodes out as records of their own and marks
// the text with transaction events (POSHARK_EVENT_*).
//
// Contract: the analyzer knows nothing of queues, threads or listeners. It
// takes chunks and hands records on through AnalyzerLinks, which its owner
// implements. Records are at most kAnalyzeRoom bytes long. The overflow rule
// lives here: when a push leaves kWriteQueueLimit or more bytes queued for
// the writer, the queued records are dropped and the note "... %d bytes"
// (event POSHARK_EVENT_OVERFLOW) takes their place; a record that alone
// fills an otherwise empty queue is delivered instead, since no host is slow
// then. Before such a drop the analyzer gives the writer up to
// kMaxWriteLagMs to make room, but only while the writer makes progress: after
// a drop it waits again only once the writer has finished a record since.
// In a session every line is first held (commands/HeldLines.h); held lines
// are pushed in order, a few kilobytes at a time, as long as the queue has
// room for them, and all of them before the analyzer waits for input or ends
// its session. A line that finds no room waits among them while the analyzer
// goes on.
//
// Locking: none. One thread uses an analyzer at a time (the listener's
// analyzer thread, or a test calling Analyze directly); every member is
// touched by that thread alone. The command set must not be reloaded while
// Run is under way.
#pragma once

#include <poshark/KeyRecords.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "commands/HeldLines.h"
#include "commands/TableTracker.h"
#include "platform/PageBuffer.h"

class RCCmdSet;

namespace poshark::commands {

// Valid bytes at most in the analysis buffer, and so in any record the
// analyzer pushes; the writer's room is the same.
inline constexpr int kAnalyzeRoom = 100000;
// The overflow rule's limit on the bytes queued for the writer.
inline constexpr int kWriteQueueLimit = 15000;
// How long the oldest queued line may wait for the writer before the
// overflow rule applies.
inline constexpr uint32_t kMaxWriteLagMs = 250;
// Event code of the overflow note (the other codes are the TRAN_* values).
inline constexpr int kEventOverflow = -2;

// The host's raw-record callback: a chunk's length, its bytes in the
// analysis buffer and its time stamp, as the analyzer takes it.
using RawChunkHook = unsigned short (*)(int nLen, unsigned char* pData, SYSTEMTIME* pTime);

// Chunks the owner has taken from its queue together, handed to the
// analyzer one by one from here: a busy channel's analyzer takes a million
// chunks a second, and reads each without a call to its owner. The bytes
// stay valid until the owner refills the shelf or drops what it holds.
struct ChunkShelf {
  static constexpr int kCap = 64;
  struct Chunk {
    const unsigned char* pData = nullptr;
    int nLen = 0;
    bool bDST = false;
    SYSTEMTIME stTime = {};
  };
  std::array<Chunk, kCap> aChunks{};
  int nCount = 0;  // chunks on the shelf
  int nNext = 0;   // the next one to hand on
  // Called for each chunk taken; read at each refill.
  RawChunkHook pfnHook = nullptr;
  bool Empty() const { return nNext >= nCount; }
};

// What the analyzer needs from its owner. Every call comes from the thread
// that runs the analyzer.
class AnalyzerLinks {
 public:
  enum class Wake { kData, kStop, kTimeout };

  virtual ~AnalyzerLinks() = default;

  // The command set to analyse with; null when none is selected.
  virtual RCCmdSet* CurrentSet() = 0;
  // False once the analyzer is asked to stop.
  virtual bool Running() = 0;
  // False when the owner has nothing to wait on (no thread set-up): the
  // analyzer then takes only what is queued already and never waits.
  virtual bool CanWait() = 0;
  // The chunks taken from the queue and not yet handed on; the same shelf
  // for the owner's whole life.
  virtual ChunkShelf& Shelf() = 0;
  // Refills the empty shelf with the oldest queued chunks, and its hook with
  // the host's raw-record callback. False when none is queued.
  virtual bool FillShelf() = 0;
  // Waits up to nTimeoutMs (negative: without limit) for a new chunk.
  virtual Wake WaitForChunk(int nTimeoutMs) = 0;

  // Queues a record for the writer.
  virtual void PushRecord(const unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST,
                          int nEvent) = 0;
  // Queues nCount lines at once, each as PushRecord would: line k holds the
  // pLines[k].nLen bytes at pBase + pLines[k].nOffset.
  virtual void PushRecords(const unsigned char* pBase, const HeldLines::Line* pLines,
                           int nCount) = 0;
  // Bytes queued for the writer.
  virtual int QueuedBytes() = 0;
  // Drops every record queued for the writer; answers whether an overflow
  // note (event kEventOverflow) was among them.
  virtual bool DropQueued() = 0;
  // Records the writer has finished so far (grows by one per record).
  virtual uint64_t WriterProgress() = 0;
  // Waits until nLen more bytes keep the queue below nLimit. False when no
  // writer runs, the oldest record has waited dwMaxLagMs, or a stop came.
  virtual bool WaitForRoom(int nLen, int nLimit, uint32_t dwMaxLagMs) = 0;
  // Wakes the writer.
  virtual void WakeWriter() = 0;
  // Called by Run each time it wakes for new chunks (the owner's debug trace).
  virtual void OnWake() {}
};

class StreamAnalyzer {
 public:
  explicit StreamAnalyzer(AnalyzerLinks& links);
  ~StreamAnalyzer();
  StreamAnalyzer(const StreamAnalyzer&) = delete;
  StreamAnalyzer& operator=(const StreamAnalyzer&) = delete;

  // What the analyzer derives from a command set (commands/StreamAnalyzerPass.h).
  struct ByteClasses;

  // Body of the analyzer thread: waits for chunks and analyses them until
  // Running() turns false or a stop wakes it.
  void Run();

  // Analyses pBuf[0, nLen) with the current set; on return nLen bytes are
  // left in pBuf, not emitted. May take further chunks through the links.
  // pBuf holds kAnalyzeRoom bytes: replacement texts and chunks taken grow
  // the text up to that. Answers 0.
  int Analyze(unsigned char* pBuf, int& nLen);

  // While a session is open, what Analyze derives from a command set is kept
  // between calls and the writer is woken once per batch of records; Run
  // opens one for its whole run. The set must not be reloaded meanwhile.
  void BeginSession();
  void EndSession();

  // Back to the current set's start table (ListenStart). Only while the
  // analyzer does not run.
  void ResetTables();

 private:
  struct Pass;

  // The run's steps.
  void AnalyzeChunk(unsigned char* pBuf, int nLen);
  // Takes the next chunk into pTo when it fits in *pnLen bytes. False when
  // none is queued, or when it does not fit (then *pnLen is its length and
  // it stays first in line).
  bool TakeChunk(unsigned char* pTo, int* pnLen);
  // Push with the overflow rule; in a session a line is held first and
  // queued with the lines held before it.
  void PushLine(const unsigned char* pData, int nLen, int nEvent);
  // PushLine of a record's text: when the set's code tables are followed,
  // as UTF-8 (bHead: the bytes are the head, see TableTracker).
  void PushText(const RCCmdSet* pSet, const unsigned char* pData, int nLen, int nEvent, bool bHead);
  void PushDecoded(const unsigned char* pText, int nLeft, int nEvent);
  // A command with a table role was taken at the cursor: noted when the
  // tables are followed (then true).
  bool NoteTable(Pass& pass);
  void PushNow(const unsigned char* pData, int nLen, int nEvent, SYSTEMTIME stTime, bool bDST);
  // Pushes the held lines that have room now, in one push; all of them,
  // waiting for room.
  void MoveHeld();
  void FlushHeld();
  void WaitForRoomIfProgressing(int nLen);
  // After a push that left nQueued bytes queued: the writer is woken now, or
  // when the analyzer next waits.
  void WakeWriterFor(int nQueued);
  void FlushWake();
  AnalyzerLinks::Wake WaitForData(int nTimeoutMs);
  const ByteClasses& ClassesFor(const RCCmdSet& set);

  // Analyze on bytes already at the front of the rest's buffer.
  int AnalyzeIn(RCCmdSet* pSet, unsigned char* pBuf, int& nLen);
  // Analyze's steps, on the pass under way.
  int Finish(Pass& pass);
  void Advance(Pass& pass, int n);
  void Emit(Pass& pass, int nEvent);
  void Close(Pass& pass);
  void SkipText(Pass& pass);
  bool TextAtEnd(const Pass& pass) const;
  bool TakeSettled(Pass& pass);
  int Windowed(Pass& pass, bool bBarcode, bool bFullLength);
  int MatchCommand(Pass& pass);
  int CheckBarcode(Pass& pass);
  bool WaitMore(Pass& pass);
  bool WaitForMore(Pass& pass, int nRoom);
  bool TakeInto(Pass& pass, int nRoom);
  void EventStep(Pass& pass);
  void InsertText(Pass& pass);
  void AppendText(Pass& pass, const unsigned char* pText, int nText);
  void PushBarcode(Pass& pass);

  AnalyzerLinks& links_;
  ChunkShelf& shelf_;          // the owner's
  platform::PageBuffer pBuf_;  // the thread's chunk buffer
  platform::PageBuffer pIn_;   // the rest, see StreamAnalyzer.cpp
  std::vector<unsigned char> barcode_;
  std::unique_ptr<ByteClasses> pClasses_;
  const RCCmdSet* pClassesFor_ = nullptr;  // set whose classes are kept (in a session)
  int nSessions_ = 0;
  bool bWakeDue_ = false;  // a writer wake-up put off (in a session)
  HeldLines held_;         // lines not yet queued (in a session)
  TableTracker tables_;    // the code table in force along the text

  // Transaction state, kept from chunk to chunk and run to run.
  int nStopPending_ = -1;  // 1 while a stop waits for the end of the data
  bool bStartPending_ = false;
  SYSTEMTIME stCurTime_ = {};  // of the chunk taken last
  bool bCurDST_ = false;

  // Writer progress at the last overflow drop; no wait for room until it moves.
  bool bDropped_ = false;
  uint64_t nProgressAtDrop_ = 0;
  // The bytes the last overflow note counts and the length of its own text:
  // a drop that takes the note with it carries its count into the next one.
  int64_t nNoteCount_ = 0;
  int nNoteLen_ = 0;
};

}  // namespace poshark::commands
