// The stream analyzer: turns the line chunks of the analyze queue into text
// records and transaction events for the write queue.
//
// Analyze behaves as if it worked in place in one buffer (the head before the
// cursor, the rest after it; removing a command or emitting the head shifts
// the rest). Shifting a 100000-byte buffer for every command would make the
// cost per byte grow with the buffer, so the two parts live apart instead:
// the head is appended to its own buffer, the rest is consumed from the front
// of an input buffer twice the room, and the matchers see a small window of
// the rest, so that their in-place removal moves only that window. The records
// are those the in-place steps give.
#include <poshark/RCPosHark.h>

#include "commands/Analyzer.h"
#include "commands/RCCmdSet.h"
#include "listener/DebugFlag.h"
#include "listener/RCDataQueue.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Event.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

using poshark::platform::Event;

namespace {

constexpr int kAnalyzeRoom = 100000;       // valid bytes at most in the analysis buffer
constexpr int kWriteQueueLimit = 15000;    // the write queue is dropped at this many bytes
constexpr uint32_t kMergeWaitMs = 3000;    // a chunk within this time joins the same text
constexpr int kMaxFirstWindow = 64;        // bytes a matcher sees first, at most
constexpr int kInputCap = 2 * kAnalyzeRoom;  // the rest's buffer; see Compact
// Queued bytes at which the writer is woken at once instead of when the
// analyzer next waits: far enough below the overflow limit that the writer,
// woken here, drains the queue before the limit is reached.
constexpr int kWakeNowBytes = 4096;
// How long the oldest line may wait in the write queue before the analyzer
// stops waiting for room and the overflow rule drops the queue: a writer that
// is merely descheduled catches up well within this, a host that does not
// keep up still gets the overflow note.
constexpr uint32_t kMaxWriteLagMs = 250;

// What may start at a byte, for the byte-by-byte fast path.
enum : uint8_t {
  kText = 0,       // no command, group or barcode starts with this byte
  kWindowed = 1,   // something may start here; a window of the rest is enough
  kFullLength = 2  // a plug-in may measure here: it must see all the bytes left
};

// What the analyzer derives from a command set before it walks a buffer.
struct ByteClasses {
  uint8_t byClass[256] = {};
  int nMaxSingle = 0;      // longest single command
  int nFirstWindow = 1;    // bytes that settle every fixed-length command
  bool bControlOnly = true;  // every byte that may start something is below 0x20
};

// Working storage of one analyzer thread, kept between passes.
struct AnalyzeWork {
  std::unique_ptr<unsigned char[]> pIn{new unsigned char[kInputCap + 1]};
  std::unique_ptr<unsigned char[]> pHead{new unsigned char[kAnalyzeRoom + 1]};
  std::vector<unsigned char> barcode;
  std::vector<unsigned char> text;
  ByteClasses classes;
  const RCCmdSet* pClassesFor = nullptr;  // set whose classes are kept (in a session)
  int nSessions = 0;
  Event* pWakeDue = nullptr;  // a write event still to be set (in a session)
};

AnalyzeWork& Work() {
  thread_local AnalyzeWork work;
  return work;
}

void BuildClasses(const RCCmdSet& set, ByteClasses* pOut) {
  ByteClasses classes;
  int nNeed = 1;
  auto mark = [&](unsigned char by, const STRUCT_PrnCmd& cmd) {
    uint8_t cls = cmd.nType == 3 ? kFullLength : kWindowed;
    classes.byClass[by] = std::max(classes.byClass[by], cls);
    nNeed = std::max({nNeed, cmd.nCmdLen, cmd.nType == 1 ? cmd.nParam : 0});
  };
  for (const auto& pCmd : set.arSingle) {
    if (pCmd && pCmd->nCmdLen >= 1) {
      mark(pCmd->pCmd[0], *pCmd);
      classes.nMaxSingle = std::max(classes.nMaxSingle, pCmd->nCmdLen);
    }
  }
  for (const auto& pGroup : set.arMulti) {
    if (!pGroup) {
      continue;
    }
    classes.byClass[pGroup->byLead] = std::max<uint8_t>(classes.byClass[pGroup->byLead], kWindowed);
    for (const auto& pCmd : pGroup->arCmds) {
      if (pCmd) {
        mark(pGroup->byLead, *pCmd);
      }
    }
  }
  if (set.pBarcode && set.pBarcode->nCmdLen >= 1) {
    mark(set.pBarcode->pCmd[0], *set.pBarcode);
    classes.byClass[set.pBarcode->pCmd[0]] =
        std::max<uint8_t>(classes.byClass[set.pBarcode->pCmd[0]], kWindowed);
  }
  for (int by = 0x20; by < 256; ++by) {
    if (classes.byClass[by] != kText) {
      classes.bControlOnly = false;
    }
  }
  classes.nFirstWindow = std::min(nNeed + 1, kMaxFirstWindow);
  *pOut = classes;
}

// The classes for this set: kept for the whole of a session (an analyzer
// thread's run, during which the set is not reloaded), built anew otherwise.
const ByteClasses& ClassesFor(AnalyzeWork& work, const RCCmdSet& set) {
  if (work.nSessions == 0 || work.pClassesFor != &set) {
    BuildClasses(set, &work.classes);
    work.pClassesFor = work.nSessions > 0 ? &set : nullptr;
  }
  return work.classes;
}

// Offset of the first of the 8 bytes at p that is below 0x20, or 8. (The
// borrow of the subtraction only runs towards later bytes, so the lowest
// marked byte is exact.)
inline int FirstControlByte(const unsigned char* p) {
  uint64_t x;
  std::memcpy(&x, p, sizeof x);
  if constexpr (std::endian::native == std::endian::big) {
    x = __builtin_bswap64(x);  // the first byte must be the lowest
  }
  constexpr uint64_t kOnes = ~uint64_t{0} / 255;
  uint64_t nMarks = (x - kOnes * 0x20) & ~x & (kOnes * 0x80);
  return nMarks == 0 ? 8 : std::countr_zero(nMarks) / 8;
}

// Sets the write event whose wake-up was put off, if any.
void FlushWake(AnalyzeWork& work) {
  if (Event* pEvent = std::exchange(work.pWakeDue, nullptr)) {
    pEvent->Set();
  }
}

// Waits for the stop or the analyze event, as WaitForAny, after waking the
// writer for the lines pushed since it was last woken.
int WaitForData(AnalyzeWork& work, Event* pStop, Event* pAnalyze, int nTimeoutMs) {
  FlushWake(work);
  return poshark::platform::WaitForAny({pStop, pAnalyze}, nTimeoutMs);
}

// Push of the analyzer: into the write queue, then the overflow rule, then
// the writer is woken. Within a session the wake-up is put off until the
// analyzer waits for data or ends its session, unless the queue holds
// kWakeNowBytes or more: a busy analyzer pushes hundreds of thousands of
// records a second, and waking the writer for each costs more than the
// records themselves, while lines wait only for the rest of the chunk.
//
// With pStopEvent (the writer runs), a push that would take the queue to the
// limit first waits for the writer to make room, bounded by kMaxWriteLagMs.
void PushLine(RCLineQueue& queue, Event* pWriteEvent, Event* pStopEvent,
              const unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST, int nEvent) {
  if (pStopEvent && pWriteEvent &&
      queue.GetTotalBytes() + static_cast<int64_t>(nLen) >= kWriteQueueLimit) {
    FlushWake(Work());  // the writer must be running to make room
    queue.WaitForRoom(nLen, kWriteQueueLimit, pStopEvent, kMaxWriteLagMs);
  }
  queue.Push(const_cast<unsigned char*>(pData), nLen, pTime, bDST, 0, nEvent);
  int nTotal = queue.GetTotalBytes();
  bool bWakeNow = true;
  if (nTotal >= kWriteQueueLimit) {
    queue.Clear();
    char szNote[48];
    int nNote = std::snprintf(szNote, sizeof szNote, "... %d bytes", nTotal);
    queue.Push(reinterpret_cast<unsigned char*>(szNote), nNote, pTime, bDST, 0,
               POSHARK_EVENT_OVERFLOW);
  } else if (nTotal < kWakeNowBytes) {
    bWakeNow = false;
  }
  if (!pWriteEvent) {
    return;
  }
  AnalyzeWork& work = Work();
  if (work.pWakeDue && work.pWakeDue != pWriteEvent) {
    FlushWake(work);
  }
  if (bWakeNow || work.nSessions == 0) {
    work.pWakeDue = nullptr;
    pWriteEvent->Set();
  } else {
    work.pWakeDue = pWriteEvent;
  }
}

}  // namespace

namespace poshark::commands {

AnalyzeSession::AnalyzeSession() { ++Work().nSessions; }

AnalyzeSession::~AnalyzeSession() {
  AnalyzeWork& work = Work();
  FlushWake(work);
  if (--work.nSessions == 0) {
    work.pClassesFor = nullptr;
  }
}

}  // namespace poshark::commands

poshark::platform::Event* RCPosHark::WriterStopEvent() {
  return bWriteRun ? hStopEvent.get() : nullptr;
}

void RCPosHark::AnalyzeThread() {
  poshark::commands::AnalyzeSession session;
  if (!pAnalyzeBuf) {
    pAnalyzeBuf.reset(new unsigned char[kAnalyzeRoom + 1]);
  }
  std::memset(pAnalyzeBuf.get(), 0, kAnalyzeRoom + 1);
  unsigned char* pBuf = pAnalyzeBuf.get();

  while (bAnalyzeRun) {
    if (WaitForData(Work(), hStopEvent.get(), hAnalyzeEvent.get(), poshark::platform::kInfinite) !=
        1) {
      break;
    }
    if (g_bDump) {
      poshark::platform::DebugPrintf("Pos%d:WaitAnalyze\r\n", nPOSNo);
    }
    for (;;) {
      pBuf[0] = 0;
      int nLen = kAnalyzeRoom;
      if (!m_AnalyzeQueue->GetAt(&nLen, pBuf, &stCurTime, &bCurDST, nullptr, nullptr, 0, true)) {
        break;
      }
      if (TestListenFt pfn = pfnTestListen.load()) {
        pfn(nLen, pBuf, &stCurTime);
      }
      if (nLen >= 1) {
        Analyze(pBuf, nLen);
      }
      RCCmdSet* pSet = pCurCmdSet.get();
      if (nStopPending == 1) {
        PushLine(*m_WriteQueue, hWriteEvent.get(), WriterStopEvent(), pBuf, nLen, &stCurTime,
                 bCurDST, POSHARK_EVENT_STOP);
        nStopPending = -1;
      } else if (nLen > 0 && !(nLen == 1 && pBuf[0] == 0)) {
        int nEvent = pSet && pSet->TakeAutoStart() ? POSHARK_EVENT_START : POSHARK_EVENT_NONE;
        PushLine(*m_WriteQueue, hWriteEvent.get(), WriterStopEvent(), pBuf, nLen, &stCurTime,
                 bCurDST, nEvent);
      }
    }
  }
}

int RCPosHark::Analyze(unsigned char* pBuf, int& nLen) {
  RCCmdSet* pSet = pCurCmdSet.get();
  if (!pSet || !pBuf || nLen < 1) {
    return 0;
  }
  nLen = std::min(nLen, kAnalyzeRoom);

  AnalyzeWork& work = Work();
  unsigned char* const pIn = work.pIn.get();
  unsigned char* const pHead = work.pHead.get();
  const ByteClasses& classes = ClassesFor(work, *pSet);
  const uint8_t* const byClass = classes.byClass;
  const int nMaxSingle = classes.nMaxSingle;

  // Head: pHead[0, p). Rest: pIn[r, e). The buffer of the in-place steps
  // would hold head then rest, len = p + rem bytes.
  std::memcpy(pIn, pBuf, static_cast<size_t>(nLen));
  int p = 0;
  int r = 0;
  int e = nLen;
  auto rem = [&] { return e - r; };

  auto finish = [&] {
    int nRest = e - r;
    std::memcpy(pBuf, pHead, static_cast<size_t>(p));
    std::memcpy(pBuf + p, pIn + r, static_cast<size_t>(nRest));
    nLen = p + nRest;
    return 0;
  };

  auto advance = [&](int n) {
    std::memcpy(pHead + p, pIn + r, static_cast<size_t>(n));
    p += n;
    r += n;
  };

  auto push = [&](const unsigned char* pData, int n, int nEvent) {
    PushLine(*m_WriteQueue, hWriteEvent.get(), WriterStopEvent(), pData, n, &stCurTime, bCurDST,
             nEvent);
  };
  auto emit = [&](int nEvent) {
    push(pHead, p, nEvent);
    p = 0;
  };
  auto close = [&] {
    push(pHead, p, POSHARK_EVENT_STOP);
    nStopPending = -1;
    p = 0;
    r = e;
  };

  // Calls a matcher on a window of the rest. A window too short to answer
  // (more data needed while more is there) grows up to the whole rest; the
  // answer is then the one the whole rest gives. Bytes the matcher removed
  // from the window's front are closed up by moving what is left of the
  // window up to the unread bytes behind it.
  auto windowed = [&](auto&& matcher, bool bFullLength) {
    int nWindow = bFullLength ? rem() : std::min(rem(), classes.nFirstWindow);
    for (;;) {
      int n = nWindow;
      int nResult = matcher(pIn + r, n);
      if (nResult == CMD_MORE && nWindow < rem()) {
        nWindow = rem() / 4 < nWindow ? rem() : nWindow * 4;
        continue;
      }
      if (nResult == CMD_DISCARD) {
        r = e;
      } else if (n < nWindow && n >= 0) {
        int nRemoved = nWindow - n;
        std::memmove(pIn + r + nRemoved, pIn + r, static_cast<size_t>(n));
        r += nRemoved;
      }
      return nResult;
    }
  };
  auto matchCommand = [&] {
    bool bFull = (rem() > 0 && byClass[pIn[r]] == kFullLength) ||
                 (pSet->pCurCmd && pSet->pCurCmd->nType == 3);
    return windowed([pSet](unsigned char* pData, int& n) { return pSet->MatchCommand(pData, n); },
                    bFull);
  };
  auto analyzeBarcode = [&] {
    bool bFull = pSet->pBarcode->nType == 3;
    return windowed(
        [pSet](unsigned char* pData, int& n) { return pSet->AnalyzeBarcode(pData, n); }, bFull);
  };

  // Takes the next chunk of the analyze queue into the room left, waiting on
  // the analyze event for at most the merge time. False when the chunk does
  // not fit, the time ran out, or the analyzer is stopping. A listener that
  // was never started has no events: then only what is queued already is
  // taken, without waiting.
  auto waitMore = [&] {
    Event* pAnalyzeEvent = hAnalyzeEvent.get();
    const int nRoom = kAnalyzeRoom - (p + rem());
    // Noted at the first look at an empty queue: the look itself takes
    // microseconds, and an idle listener never needs the clock.
    uint32_t dwStart = 0;
    bool bTimed = false;
    for (;;) {
      if (!bAnalyzeRun && pAnalyzeEvent) {
        return false;
      }
      if (e + nRoom > kInputCap) {
        // The consumed front is at least one room long here, so each move
        // is paid for by as many bytes analysed.
        std::memmove(pIn, pIn + r, static_cast<size_t>(rem()));
        e -= r;
        r = 0;
      }
      int nGot = nRoom;
      if (m_AnalyzeQueue->GetAt(&nGot, pIn + e, &stCurTime, &bCurDST, nullptr, nullptr, 0, true)) {
        if (TestListenFt pfn = pfnTestListen.load()) {
          pfn(nGot, pIn + e, &stCurTime);
        }
        e += nGot;
        return true;
      }
      if (nGot > nRoom || !pAnalyzeEvent) {
        return false;
      }
      if (!bTimed) {
        dwStart = poshark::platform::GetTickCount();
        bTimed = true;
      }
      uint32_t dwWaited = poshark::platform::GetTickCount() - dwStart;
      if (dwWaited > kMergeWaitMs) {
        return false;
      }
      int nIndex = WaitForData(work, hStopEvent.get(), pAnalyzeEvent,
                               static_cast<int>(kMergeWaitMs + 1 - dwWaited));
      if (nIndex == 0) {
        return false;
      }
    }
  };

  // After a marker or a removed command.
  auto eventStep = [&] {
    if (nStopPending == 1) {
      if (rem() == 0) {
        close();
      }
      return;
    }
    int t = pSet->TakeTranEvent();
    if (t == POSHARK_EVENT_STOP) {
      if (rem() > 0) {
        nStopPending = 1;
      } else {
        close();
      }
    } else if (bStartPending) {
      if (p > 0) {
        emit(POSHARK_EVENT_START);
        bStartPending = false;
      }
    } else if (t == POSHARK_EVENT_START) {
      // The head before an opening command or marker is the record that
      // opens the transaction, with the chunk's own DST flag.
      if (p == 0) {
        bStartPending = true;
      } else {
        emit(POSHARK_EVENT_START);
        bStartPending = false;
      }
    } else if (t != POSHARK_EVENT_NONE) {
      emit(t);
    }
  };

  bool bAfterBarcodeWait = false;
  while (rem() >= 1) {
    // Fast path: bytes that start nothing, far enough from the end that no
    // single command is longer than the bytes left, are text.
    if (!bAfterBarcodeWait && !pSet->pCurCmd && !pSet->pCurBarcode) {
      int nLast = e - std::max(nMaxSingle, 1);
      int i = r;
      if (classes.bControlOnly) {
        // Eight bytes at a time; only control bytes can start anything.
        while (i + 8 <= nLast + 1) {
          int k = FirstControlByte(pIn + i);
          i += k;
          if (k < 8) {
            if (byClass[pIn[i]] != kText) {
              break;
            }
            ++i;
          }
        }
      }
      while (i <= nLast && byClass[pIn[i]] == kText) {
        ++i;
      }
      if (i > r) {
        advance(i - r);
        continue;
      }
    }

    // Barcode check.
    int nBarcode = CMD_NONE;
    if (pSet->pBarcode && (pSet->pCurBarcode || pSet->pBarcode->pCmd[0] == pIn[r])) {
      nBarcode = analyzeBarcode();
    }
    if (nBarcode == CMD_DONE) {
      int nSize = 0;
      if (pSet->GetBarcodeText(nullptr, nSize) && nSize >= 0 && nSize <= 4 * kAnalyzeRoom) {
        work.barcode.resize(static_cast<size_t>(nSize) + 1);
        if (pSet->GetBarcodeText(work.barcode.data(), nSize)) {
          push(work.barcode.data(), nSize, POSHARK_EVENT_NONE);
        }
      }
    } else if (nBarcode == CMD_MORE) {
      if (!waitMore()) {
        return finish();
      }
      bAfterBarcodeWait = true;
      continue;
    } else if (nBarcode == CMD_DISCARD) {
      r = e;
      return finish();
    } else if (bAfterBarcodeWait) {
      // One cycle without the command check; then the checks go on as usual.
      if (nBarcode == CMD_NONE) {
        advance(1);
      }
      bAfterBarcodeWait = false;
      continue;
    }

    // Command check.
    int nResult = matchCommand();
    while (nResult == CMD_MORE) {
      if (!waitMore()) {
        return finish();
      }
      nResult = matchCommand();
    }
    bAfterBarcodeWait = false;
    switch (nResult) {
      case CMD_MARKER:
        advance(std::clamp(pSet->GetLastCmdLen(), 0, rem()));
        eventStep();
        break;
      case CMD_DONE: {
        int nText = pSet->GetLastCmdText(nullptr);
        int nRoom = kAnalyzeRoom - (p + rem());
        if (nText > 0 && nRoom > 0) {
          // A replacement that does not fit in the room left is cut to it.
          if (nText <= nRoom) {
            pSet->GetLastCmdText(pHead + p);
            p += nText;
          } else {
            work.text.resize(static_cast<size_t>(nText));
            pSet->GetLastCmdText(work.text.data());
            std::memcpy(pHead + p, work.text.data(), static_cast<size_t>(nRoom));
            p += nRoom;
          }
        }
        eventStep();
        break;
      }
      case CMD_DISCARD:
        r = e;
        break;
      case CMD_NONE:
        // After a barcode that ended the data there is no byte to pass.
        if (rem() > 0) {
          advance(1);
        }
        break;
      default:
        // A plug-in answer that makes no progress would repeat without end.
        return finish();
    }
  }
  return finish();
}
