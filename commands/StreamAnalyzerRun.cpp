// The analyzer's run: taking chunks, handing the rest of each pass on, the
// overflow rule and the batching of writer wake-ups.
#include "commands/RCCmdSet.h"
#include "commands/StreamAnalyzerPass.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace poshark::commands {
namespace {

// Queued bytes at which the writer is woken at once instead of when the
// analyzer next waits. A writer that keeps up goes back to sleep after each
// batch, so this sets how often a fast stream wakes it (a system call on the
// analyzer's side, a switch on the writer's); lines that find the queue
// full meanwhile wait among the held lines, not the analyzer.
constexpr int kWakeNowBytes = 8192;
// Held bytes, or lines, that go into the write queue together: as much as
// wakes the writer, so that a batch is queued by the time it is woken.
constexpr int kMoveHeldBytes = kWakeNowBytes;
constexpr int kMoveHeldLines = 256;

// Ends a session however the scope is left.
class SessionScope {
 public:
  explicit SessionScope(StreamAnalyzer& analyzer) : analyzer_(analyzer) {
    analyzer_.BeginSession();
  }
  ~SessionScope() { analyzer_.EndSession(); }
  SessionScope(const SessionScope&) = delete;
  SessionScope& operator=(const SessionScope&) = delete;

 private:
  StreamAnalyzer& analyzer_;
};

}  // namespace

StreamAnalyzer::StreamAnalyzer(AnalyzerLinks& links)
    : links_(links),
      shelf_(links.Shelf()),
      pIn_(kInputCap + kMaxFirstWindow + 1),
      pClasses_(std::make_unique<ByteClasses>()) {}

StreamAnalyzer::~StreamAnalyzer() = default;

void StreamAnalyzer::BeginSession() { ++nSessions_; }

void StreamAnalyzer::EndSession() {
  FlushHeld();
  FlushWake();
  if (nSessions_ > 0 && --nSessions_ == 0) {
    pClassesFor_ = nullptr;
  }
}

void StreamAnalyzer::Run() {
  SessionScope session(*this);
  // Not cleared: only the bytes of each chunk taken are read, and a
  // listener whose lines are short keeps just the first pages resident.
  if (!pBuf_) {
    pBuf_ = platform::PageBuffer(kAnalyzeRoom + 1);
  }
  unsigned char* const pBuf = pBuf_.get();
  while (links_.Running()) {
    if (WaitForData(-1) != AnalyzerLinks::Wake::kData) {
      break;
    }
    links_.OnWake();
    for (;;) {
      // Taken straight into the rest's buffer, where a pass reads it.
      int nLen = kAnalyzeRoom;
      if (!TakeChunk(pIn_.get(), &nLen)) {
        break;
      }
      AnalyzeChunk(pBuf, nLen);
    }
  }
}

// One chunk taken by the run into the rest's buffer: analysed into pBuf,
// then what is left of it pushed.
void StreamAnalyzer::AnalyzeChunk(unsigned char* pBuf, int nLen) {
  RCCmdSet* pSet = links_.CurrentSet();
  if (nLen >= 1 && pSet) {
    AnalyzeIn(pSet, pBuf, nLen);
  } else {
    CopyShort(pBuf, pIn_.get(), nLen);  // left as it came
  }
  if (nStopPending_ == 1) {
    PushText(pSet, pBuf, nLen, TRAN_STOP, true);
    nStopPending_ = -1;
  } else if (nLen > 0 && !(nLen == 1 && pBuf[0] == 0)) {
    pSet = links_.CurrentSet();
    // A start put off to the end of the line opens with what is left.
    const bool bStart = std::exchange(bStartPending_, false) || (pSet && pSet->TakeAutoStart());
    PushText(pSet, pBuf, nLen, bStart ? TRAN_START : TRAN_NONE, true);
  } else if (pSet && pSet->tables.Following()) {
    tables_.Settle();  // an empty head: its switches lead to the table now in force
  }
}

void StreamAnalyzer::ResetTables() {
  if (RCCmdSet* pSet = links_.CurrentSet()) {
    tables_.Reset(pSet->tables);
  }
}

void StreamAnalyzer::PushText(const RCCmdSet* pSet, const unsigned char* pData, int nLen,
                              int nEvent, bool bHead) {
  if (pSet && pSet->tables.Following()) {
    int nText = 0;
    const char* pText = tables_.Decode(pSet->tables, pData, nLen, bHead, &nText);
    PushDecoded(reinterpret_cast<const unsigned char*>(pText), nText, nEvent);
  } else {
    PushLine(pData, nLen, nEvent);
  }
}

// A decoded record longer than the room leaves in pieces cut between
// characters: an opening event goes with the first, a stop with the last.
void StreamAnalyzer::PushDecoded(const unsigned char* pText, int nLeft, int nEvent) {
  bool bFirst = true;
  while (nLeft > kAnalyzeRoom) {
    // Not inside a character; the text is UTF-8, so at most three bytes back.
    int n = kAnalyzeRoom;
    while (n > kAnalyzeRoom - 4 && (pText[n] & 0xC0) == 0x80) --n;
    PushLine(pText, n, bFirst && nEvent != TRAN_STOP ? nEvent : TRAN_NONE);
    bFirst = false;
    pText += n;
    nLeft -= n;
  }
  PushLine(pText, nLeft, bFirst || nEvent == TRAN_STOP ? nEvent : TRAN_NONE);
}

// Push of the analyzer: into the write queue, then the overflow rule, then
// the writer is woken. Within a session lines are held and go into the queue
// kMoveHeldBytes (or kMoveHeldLines) at a time, under one lock, and the
// wake-up is put off until the analyzer waits for data or ends its session,
// unless the queue holds kWakeNowBytes or more: a busy analyzer pushes
// hundreds of thousands of records a second, and a lock and a wake-up for
// each cost more than the records themselves, while lines wait only for the
// rest of the chunk.
void StreamAnalyzer::PushLine(const unsigned char* pData, int nLen, int nEvent) {
  if (nSessions_ > 0) {
    if (held_.Fits(nLen)) {
      held_.Add(pData, nLen, nEvent, stCurTime_, bCurDST_);
      if (held_.HeldBytes() >= kMoveHeldBytes || held_.Count() >= kMoveHeldLines) {
        MoveHeld();
      }
      return;
    }
    FlushHeld();  // no room beside the queue either: wait for the writer
  }
  PushNow(pData, nLen, nEvent, stCurTime_, bCurDST_);
}

void StreamAnalyzer::MoveHeld() {
  // Each line moved must leave the queue below the limit, as a line pushed
  // alone must: then none of them starts the overflow rule.
  const int64_t nRoom = kWriteQueueLimit - static_cast<int64_t>(links_.QueuedBytes());
  const HeldLines::Line* pLines = held_.Lines();
  const int nHeld = held_.Count();
  int nMove = 0;
  int64_t nBytes = 0;
  while (nMove < nHeld && nBytes + pLines[nMove].nLen < nRoom) {
    nBytes += pLines[nMove++].nLen;
  }
  if (nMove > 0) {
    links_.PushRecords(held_.Base(), pLines, nMove);
    held_.PopFront(nMove);
    WakeWriterFor(links_.QueuedBytes());
  }
  if (!held_.Empty()) {
    FlushWake();  // the writer must be running to make room
  }
}

void StreamAnalyzer::FlushHeld() {
  MoveHeld();
  while (!held_.Empty()) {
    const HeldLines::Line& line = held_.Front();
    PushNow(held_.Bytes(line), line.nLen, line.nEvent, line.stTime, line.bDST);
    held_.PopFront();
  }
}

void StreamAnalyzer::PushNow(const unsigned char* pData, int nLen, int nEvent, SYSTEMTIME stTime,
                             bool bDST) {
  int nBefore = links_.QueuedBytes();
  if (nBefore + static_cast<int64_t>(nLen) >= kWriteQueueLimit) {
    WaitForRoomIfProgressing(nLen);
    nBefore = links_.QueuedBytes();
  }
  const bool bAlone = nBefore == 0;
  links_.PushRecord(pData, nLen, &stTime, bDST, nEvent);
  const int nTotal = links_.QueuedBytes();
  // A record that fills an otherwise empty queue by itself says nothing
  // about the host: it is delivered (the room bounds it).
  if (nTotal < kWriteQueueLimit || bAlone) {
    WakeWriterFor(nTotal);
    return;
  }
  // A note still queued goes with the rest; the new note counts its bytes
  // too, so that the host learns the whole loss.
  int64_t nLost = nTotal;
  if (links_.DropQueued()) nLost += nNoteCount_ - nNoteLen_;
  char szNote[48];
  int nNote = std::snprintf(szNote, sizeof szNote, "... %lld bytes", static_cast<long long>(nLost));
  nNoteCount_ = nLost;
  nNoteLen_ = nNote;
  links_.PushRecord(reinterpret_cast<unsigned char*>(szNote), nNote, &stTime, bDST, kEventOverflow);
  bDropped_ = true;
  nProgressAtDrop_ = links_.WriterProgress();
  bWakeDue_ = false;
  links_.WakeWriter();
}

void StreamAnalyzer::WakeWriterFor(int nQueued) {
  if (nQueued >= kWakeNowBytes || nSessions_ == 0) {
    bWakeDue_ = false;
    links_.WakeWriter();
  } else {
    bWakeDue_ = true;
  }
}

// Gives the writer time to make room, unless it has not finished a single
// record since the last drop: a stalled host then costs lines (the overflow
// note tells how many bytes), never the analyzer's pace or memory.
void StreamAnalyzer::WaitForRoomIfProgressing(int nLen) {
  if (bDropped_) {
    if (links_.WriterProgress() == nProgressAtDrop_) {
      return;
    }
    bDropped_ = false;
  }
  FlushWake();  // the writer must be running to make room
  links_.WaitForRoom(nLen, kWriteQueueLimit, kMaxWriteLagMs);
}

void StreamAnalyzer::FlushWake() {
  if (bWakeDue_) {
    bWakeDue_ = false;
    links_.WakeWriter();
  }
}

// Waits for a chunk after waking the writer for the lines pushed since it
// was last woken.
AnalyzerLinks::Wake StreamAnalyzer::WaitForData(int nTimeoutMs) {
  FlushHeld();
  FlushWake();
  return links_.WaitForChunk(nTimeoutMs);
}

}  // namespace poshark::commands
