// One analysis pass: removes commands, inserts replacement texts, takes
// barcodes out and emits text at transaction events.
//
// Analyze behaves as if it worked in place in one buffer (the head before the
// cursor, the rest after it; removing a command or emitting the head shifts
// the rest). Shifting a 100000-byte buffer for every command would make the
// cost per byte grow with the buffer, so the two parts live apart instead:
// the input is copied out to an input buffer twice the room and consumed from
// its front as the rest, the head is written into the caller's buffer from
// its start, and the matchers see a small window of the rest, so that their
// in-place removal moves only that window. The records are those the
// in-place steps give.
#include "commands/RCCmdSet.h"
#include "commands/StreamAnalyzerPass.h"
#include "platform/Clock.h"

#include <algorithm>
#include <cstring>

namespace poshark::commands {
namespace {

// A chunk within this time joins the same text.
constexpr uint32_t kMergeWaitMs = 3000;

}  // namespace

// The head is in place already; the rest follows it.
int StreamAnalyzer::Finish(Pass& pass) {
  int nRest = pass.Rem();
  CopyShort(pass.pBuf + pass.p, pIn_.get() + pass.r, nRest);
  *pass.pnLen = pass.p + nRest;
  return 0;
}

// Inlined: it runs once for every run of text.
[[gnu::always_inline]] inline void StreamAnalyzer::Advance(Pass& pass, int n) {
  CopyShort(pass.pBuf + pass.p, pIn_.get() + pass.r, n);
  pass.p += n;
  pass.r += n;
}

void StreamAnalyzer::Emit(Pass& pass, int nEvent) {
  PushText(pass.pSet, pass.pBuf, pass.p, nEvent, true);
  pass.p = 0;
}

void StreamAnalyzer::Close(Pass& pass) {
  PushText(pass.pSet, pass.pBuf, pass.p, TRAN_STOP, true);
  nStopPending_ = -1;
  pass.p = 0;
  pass.r = pass.e;
}

// Fast path: bytes that start nothing, far enough from the end that no
// single command is longer than the bytes left, are text.
void StreamAnalyzer::SkipText(Pass& pass) {
  const ByteClasses& classes = *pass.pClasses;
  if (classes.byClass[pIn_[pass.r]] != kText) {
    return;  // commands often follow each other
  }
  int nEnd = pass.e - std::max(classes.nMaxSingle, 1) + 1;
  int i = FindStart(classes.scan, classes.byClass, pIn_.get(), pass.r + 1, nEnd);
  if (i > pass.r) {
    Advance(pass, i - pass.r);
  }
}

// A byte that starts nothing, with fewer bytes left than the longest single
// command: the matchers answer "more data" there (that command is met before
// any match could be), and nothing else.
bool StreamAnalyzer::TextAtEnd(const Pass& pass) const {
  return pass.Rem() < pass.pClasses->nMaxSingle && pass.pClasses->byClass[pIn_[pass.r]] == kText;
}

// A replacement text at the cursor, cut to the room left. Inlined: it runs
// for most commands.
[[gnu::always_inline]] inline void StreamAnalyzer::AppendText(Pass& pass,
                                                              const unsigned char* pText,
                                                              int nText) {
  int n = std::min(nText, kAnalyzeRoom - (pass.p + pass.Rem()));
  if (n > 0) {
    CopyShort(pass.pBuf + pass.p, pText, n);
    pass.p += n;
  }
}

// After a marker or a removed command. Inlined: it runs for every command.
[[gnu::always_inline]] inline void StreamAnalyzer::EventStep(Pass& pass) {
  if (nStopPending_ == 1) {
    if (pass.Rem() == 0) {
      Close(pass);
    }
    return;
  }
  int t = pass.pSet->TakeTranEvent();
  if (t == TRAN_STOP) {
    if (pass.Rem() > 0) {
      nStopPending_ = 1;
    } else {
      Close(pass);
    }
  } else if (bStartPending_) {
    if (pass.p > 0 && pass.Rem() == 0) {
      Emit(pass, TRAN_START);
      bStartPending_ = false;
    }
  } else if (t == TRAN_START) {
    // The head before an opening command or marker is the record that
    // opens the transaction, with the chunk's own DST flag. An automatic
    // start at a command inside a line (a style switched on in the first
    // line) waits for the end of the line, so that the line stays whole.
    const bool bOpener = pass.pSet->pLastCmd && pass.pSet->pLastCmd->nTran == TRAN_START;
    if (pass.p == 0 || (!bOpener && pass.Rem() > 0)) {
      bStartPending_ = true;
    } else {
      Emit(pass, TRAN_START);
      bStartPending_ = false;
    }
  } else if (t != TRAN_NONE) {
    Emit(pass, t);
  }
}

// A plain command settled by its first two bytes is the one the matchers
// would take once the bytes left hold every command they try there: it is
// taken here, with the same effect on the set, the cursor and the records.
bool StreamAnalyzer::TakeSettled(Pass& pass) {
  const ByteClasses& classes = *pass.pClasses;
  const unsigned char* pAt = pIn_.get() + pass.r;
  unsigned nRow = classes.aSettledRow[pAt[0]];
  if (nRow == 0 || pass.Rem() < 2) {
    return false;
  }
  const SettledRow& row = classes.settledRows[nRow - 1];
  unsigned k = row.aCommand[pAt[1]];
  // A row needs at most a window: most commands are far from the end.
  if (k == 0 || (pass.Rem() < classes.nFirstWindow && pass.Rem() < row.nNeed)) {
    return false;
  }
  const SettledCommand& cmd = classes.settled[k - 1];
  if (cmd.nTake > pass.Rem()) {
    return false;  // the matcher waits for the rest
  }
  pass.pSet->pLastCmd = cmd.pCmd;
  if (cmd.bMarker) {
    Advance(pass, cmd.nTake);
  } else {
    if (cmd.nParams > 0) pass.pSet->CountSwallowedLeads(pAt + cmd.nTake - cmd.nParams, cmd.nParams);
    pass.r += cmd.nTake;
    AppendText(pass, cmd.pText, cmd.nText);
  }
  EventStep(pass);
  return true;
}

// Calls a matcher on a window of the rest. A window too short to answer
// (more data needed while more is there) grows up to the whole rest; the
// answer is then the one the whole rest gives. Where no plug-in measures, a
// matcher only ever takes bytes from the window's front: a command is
// matched where it lies and the bytes it took are passed, a barcode on a
// copy of a short window. Otherwise bytes the matcher removed from the
// window's front are closed up by moving what is left of the window up to
// the unread bytes behind it.
int StreamAnalyzer::Windowed(Pass& pass, bool bBarcode, bool bFullLength) {
  unsigned char* const pIn = pIn_.get();
  int nWindow = bFullLength ? pass.Rem() : std::min(pass.Rem(), pass.pClasses->nFirstWindow);
  for (;;) {
    unsigned char aCopy[kMaxFirstWindow];
    const bool bAtFront = !bFullLength && !bBarcode;
    const bool bCopy = !bFullLength && bBarcode && nWindow <= kMaxFirstWindow;
    unsigned char* pWindow = pIn + pass.r;
    if (bCopy) {
      std::memcpy(aCopy, pWindow, sizeof aCopy);  // pIn_ is padded for this
      pWindow = aCopy;
    }
    int n = nWindow;
    int nResult = bBarcode   ? pass.pSet->AnalyzeBarcode(pWindow, n)
                  : bAtFront ? pass.pSet->MatchCommandAtFront(pWindow, n)
                             : pass.pSet->MatchCommand(pWindow, n);
    if (nResult == CMD_MORE && nWindow < pass.Rem()) {
      nWindow = pass.Rem() / 4 < nWindow ? pass.Rem() : nWindow * 4;
      continue;
    }
    if (nResult == CMD_DISCARD) {
      pass.r = pass.e;
    } else if (n < nWindow && n >= 0) {
      int nRemoved = nWindow - n;
      if (!bCopy && !bAtFront) {
        std::memmove(pIn + pass.r + nRemoved, pIn + pass.r, static_cast<size_t>(n));
      }
      pass.r += nRemoved;
    }
    return nResult;
  }
}

int StreamAnalyzer::MatchCommand(Pass& pass) {
  const RCCmdSet& set = *pass.pSet;
  bool bFull = (pass.Rem() > 0 && pass.pClasses->byClass[pIn_[pass.r]] == kFullLength) ||
               (set.pCurCmd && set.pCurCmd->nType == 3);
  return Windowed(pass, false, bFull);
}

int StreamAnalyzer::CheckBarcode(Pass& pass) {
  const RCCmdSet& set = *pass.pSet;
  if (!set.pBarcode || (!set.pCurBarcode && set.pBarcode->pCmd[0] != pIn_[pass.r])) {
    return CMD_NONE;
  }
  return Windowed(pass, true, set.pBarcode->nType == 3);
}

// The next chunk appended to the rest, when it fits in the room.
[[gnu::always_inline]] inline bool StreamAnalyzer::TakeInto(Pass& pass, int nRoom) {
  if (pass.e + nRoom > kInputCap) {
    // The consumed front is at least one room long here, so each move is
    // paid for by as many bytes analysed.
    std::memmove(pIn_.get(), pIn_.get() + pass.r, static_cast<size_t>(pass.Rem()));
    pass.e -= pass.r;
    pass.r = 0;
  }
  int nGot = nRoom;
  if (!TakeChunk(pIn_.get() + pass.e, &nGot)) {
    return false;
  }
  pass.e += nGot;
  return true;
}

// Takes the next chunk into the room left, waiting for at most the merge
// time. False when the chunk does not fit, the time ran out, or the analyzer
// is stopping. Without anything to wait on only what is queued is taken.
// Chunks the owner has taken already come without a look at it: a stop is
// seen once they are analysed. Inlined: it runs once for every chunk.
[[gnu::always_inline]] inline bool StreamAnalyzer::WaitMore(Pass& pass) {
  const int nRoom = kAnalyzeRoom - (pass.p + pass.Rem());
  if (!shelf_.Empty()) {
    return TakeInto(pass, nRoom);
  }
  return WaitForMore(pass, nRoom);
}

bool StreamAnalyzer::WaitForMore(Pass& pass, int nRoom) {
  const bool bCanWait = links_.CanWait();
  // Noted at the first look at an empty queue: the look itself takes
  // microseconds, and an idle listener never needs the clock.
  uint32_t dwStart = 0;
  bool bTimed = false;
  for (;;) {
    if (bCanWait && !links_.Running()) {
      return false;
    }
    if (TakeInto(pass, nRoom)) {
      return true;
    }
    if (!shelf_.Empty() || !bCanWait) {
      return false;  // it does not fit, or nothing is queued and none may come
    }
    if (!bTimed) {
      dwStart = platform::GetTickCount();
      bTimed = true;
    }
    uint32_t dwWaited = platform::GetTickCount() - dwStart;
    if (dwWaited > kMergeWaitMs ||
        WaitForData(static_cast<int>(kMergeWaitMs + 1 - dwWaited)) == AnalyzerLinks::Wake::kStop) {
      return false;
    }
  }
}

// The replacement text of the command just removed, copied in at the
// cursor; a text that does not fit in the room left is cut to it.
void StreamAnalyzer::InsertText(Pass& pass) {
  const STRUCT_PrnCmd* pCmd = pass.pSet->pLastCmd;
  if (pCmd && pCmd->pText) {
    AppendText(pass, reinterpret_cast<const unsigned char*>(pCmd->pText.get()), pCmd->nTextLen);
  }
}

// A finished barcode goes out at once as a record of its own; one without
// text (a QR code sent as a barcode) gives none.
void StreamAnalyzer::PushBarcode(Pass& pass) {
  RCCmdSet& set = *pass.pSet;
  int nSize = 0;
  if (set.GetBarcodeText(nullptr, nSize) && nSize > 0 && nSize <= 4 * kAnalyzeRoom) {
    barcode_.resize(static_cast<size_t>(nSize) + 1);
    if (set.GetBarcodeText(barcode_.data(), nSize)) {
      PushText(pass.pSet, barcode_.data(), nSize, TRAN_NONE, false);
    }
  }
}

int StreamAnalyzer::Analyze(unsigned char* pBuf, int& nLen) {
  RCCmdSet* pSet = links_.CurrentSet();
  if (!pSet || !pBuf || nLen < 1) {
    return 0;
  }
  nLen = std::min(nLen, kAnalyzeRoom);
  std::memcpy(pIn_.get(), pBuf, static_cast<size_t>(nLen));
  AnalyzeIn(pSet, pBuf, nLen);
  tables_.Settle();  // the caller takes the bytes left as they are
  return 0;
}

bool StreamAnalyzer::NoteTable(Pass& pass) {
  RCCmdSet& set = *pass.pSet;
  if (!set.tables.Following()) {
    return false;
  }
  tables_.OnCommand(set.tables, set.pLastCmd->tableRole, set.nLastTableParam, pass.p);
  return true;
}

// The pass over the nLen bytes at the front of the rest's buffer.
int StreamAnalyzer::AnalyzeIn(RCCmdSet* pSet, unsigned char* pBuf, int& nLen) {
  Pass pass;
  pass.pSet = pSet;
  pass.pClasses = &ClassesFor(*pSet);
  pass.pBuf = pBuf;
  pass.pnLen = &nLen;
  pass.e = nLen;

  bool bAfterBarcodeWait = false;
  while (pass.Rem() >= 1) {
    if (!bAfterBarcodeWait && !pSet->pCurCmd && !pSet->pCurBarcode) {
      // The text passed, the checks go on at the byte it stopped at.
      SkipText(pass);
      if (pass.Rem() < 1 || TextAtEnd(pass)) {
        if (pass.Rem() < 1 || !WaitMore(pass)) {
          return Finish(pass);
        }
        continue;
      }
      if (TakeSettled(pass)) {
        continue;
      }
    }
    int nBarcode = CheckBarcode(pass);
    if (nBarcode == CMD_DONE) {
      // What follows is checked from the start: text, or a barcode right
      // after this one.
      PushBarcode(pass);
      bAfterBarcodeWait = false;
      continue;
    }
    if (nBarcode == CMD_MORE) {
      if (!WaitMore(pass)) {
        return Finish(pass);
      }
      bAfterBarcodeWait = true;
      continue;
    } else if (nBarcode == CMD_DISCARD) {
      pass.r = pass.e;
      return Finish(pass);
    } else if (bAfterBarcodeWait) {
      // One cycle without the command check; then the checks go on as usual.
      if (nBarcode == CMD_NONE) {
        Advance(pass, 1);
      }
      bAfterBarcodeWait = false;
      continue;
    }

    int nResult = MatchCommand(pass);
    while (nResult == CMD_MORE) {
      if (!WaitMore(pass)) {
        return Finish(pass);
      }
      nResult = MatchCommand(pass);
    }
    bAfterBarcodeWait = false;
    switch (nResult) {
      case CMD_MARKER: {
        // A table switch followed is no place for a transaction event.
        const bool bTable = pSet->pLastCmd->tableRole != TableRole::kNone && NoteTable(pass);
        Advance(pass, std::clamp(pSet->GetLastCmdLen(), 0, pass.Rem()));
        if (!bTable) {
          EventStep(pass);
        }
        break;
      }
      case CMD_DONE: {
        const bool bTable = pSet->pLastCmd->tableRole != TableRole::kNone && NoteTable(pass);
        InsertText(pass);
        if (!bTable) {
          EventStep(pass);
        }
        break;
      }
      case CMD_DISCARD:
        pass.r = pass.e;
        break;
      case CMD_NONE:
        // After a barcode that ended the data there is no byte to pass.
        if (pass.Rem() > 0) {
          Advance(pass, 1);
        }
        break;
      default:
        // A plug-in answer that makes no progress would repeat without end.
        return Finish(pass);
    }
  }
  return Finish(pass);
}

}  // namespace poshark::commands
