// Line delivery: the writer thread.
#include "listener/LineWriter.h"

#include "commands/CmdSetCatalog.h"
#include "commands/Plugins.h"
#include "commands/RCCmdSet.h"
#include "commands/StreamAnalyzer.h"
#include "listener/DebugFlag.h"
#include "listener/DrainWatch.h"
#include "listener/RCLineQueue.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Event.h"

#include <algorithm>
#include <cstring>

namespace poshark::listener {
namespace {

// Bytes of a record the writer takes: what the analyzer may push at most.
constexpr int kWriteRoom = commands::kAnalyzeRoom;
// Bytes of the extra block delivered.
constexpr int kExtraRoom = commands::kMaxExtraLen;

}  // namespace

// The record being delivered.
struct LineWriter::Record {
  int nLen = 0;
  int nEvent = -1;
  SYSTEMTIME stTime{};
  bool bDST = false;
  // One byte more than the block, so that it always reads as a string.
  // Zero past the block taken.
  unsigned char byExtra[kExtraRoom + 1] = {};
  int nExtraLen = 0;  // bytes of byExtra the last take wrote
};

LineWriter::LineWriter(int nPOSNo, RCLineQueue& writeQueue, commands::CmdSetCatalog& catalog,
                       std::unique_ptr<platform::Event>& hStopEvent, DrainWatch& drain)
    : worker(nPOSNo, "write"),
      nPOSNo_(nPOSNo),
      writeQueue_(writeQueue),
      catalog_(catalog),
      hStopEvent_(hStopEvent),
      drain_(drain) {
  // A map switched on before any table was given changes nothing.
  platform::MutexLock guard(codeMapLock_);
  for (int i = 0; i < 256; ++i) byCodeMap_[i] = static_cast<unsigned char>(i);
}

LineWriter::~LineWriter() { GiveBackBatch(); }

bool LineWriter::CreateEvent() { return MakeOrResetEvent(hWriteEvent, /*bAutoReset=*/true); }

void LineWriter::Run() {
  // Not cleared: each record's text is ended by a NUL before it is read,
  // and a listener whose lines are short keeps just the first pages
  // resident.
  if (!pBuf_) {
    pBuf_ = platform::PageBuffer(kWriteRoom + 1);
  }
  Record rec;
  while (worker.bRun) {
    // Parked: every record taken so far has been delivered.
    drain_.Park(DrainWatch::kWriter);
    int nIndex = platform::WaitForAny({hStopEvent_.get(), hWriteEvent.get()}, platform::kInfinite);
    drain_.Unpark(DrainWatch::kWriter);
    if (nIndex != 1) {
      break;
    }
    if (g_bDump) {
      platform::DebugPrintf("POS%d:WaitWrite\r\n", nPOSNo_);
    }
    while (TakeRecord(rec)) {
      DeliverPieces(rec, FilterRecord(rec));
      // The writer alone counts: a plain store, not a locked addition per record.
      nDone_.store(nDone_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
  }
  GiveBackBatch();
}

// The oldest record into the buffer; false when the queue is empty.
bool LineWriter::TakeRecord(Record& rec) {
  for (;;) {
    if (nNext_ == nBatch_) {
      GiveBackBatch();
      nBatch_ = writeQueue_.TakeBatch(apBatch_, kTakeBatch, kTakeBatchBytes);
      if (nBatch_ == 0) {
        return false;
      }
    }
    const STRUCT_PosData& record = *apBatch_[nNext_++];
    if (record.nLen > kWriteRoom) {
      // Only a preprocess plug-in makes records this long.
      platform::DebugPrintf("POS%d:WriteThread drops a record of %d bytes\r\n", nPOSNo_,
                            record.nLen);
      continue;
    }
    std::memcpy(pBuf_.get(), record.pData, static_cast<size_t>(record.nLen));
    rec.nLen = record.nLen;
    rec.nEvent = record.nEvent;
    rec.stTime = record.stTime;
    rec.bDST = record.bDST;
    // Only the last block is cleared: most records have none.
    if (rec.nExtraLen > 0) {
      std::memset(rec.byExtra, 0, static_cast<size_t>(rec.nExtraLen));
    }
    rec.nExtraLen = std::min(record.nExtraLen, kExtraRoom);
    if (rec.nExtraLen > 0) {
      std::memcpy(rec.byExtra, record.pExtra, static_cast<size_t>(rec.nExtraLen));
    }
    return true;
  }
}

void LineWriter::GiveBackBatch() {
  writeQueue_.GiveBack(apBatch_, nBatch_);
  nBatch_ = 0;
  nNext_ = 0;
}

// Code map and output filter; answers where the record's text ends.
int LineWriter::FilterRecord(Record& rec) {
  unsigned char* const pBuf = pBuf_.get();
  pBuf[rec.nLen] = 0;
  RCCmdSet* pSet = catalog_.Current();
  // A byte map has no meaning for UTF-8 text.
  if (!pSet || !pSet->tables.Following()) {
    ApplyCodeMap(pBuf, rec.nLen);
  }
  int nEnd = rec.nLen;
  if (pSet && pSet->bUseFilterDll && pSet->pfnFilter) {
    pBuf[kWriteRoom] = 0;
    pSet->pfnFilter(reinterpret_cast<char*>(pBuf), kWriteRoom);
    // A filter that lengthened the text wrote over the NUL after it: the
    // record then ends at the next NUL.
    if (pBuf[rec.nLen] != 0) {
      nEnd = rec.nLen + static_cast<int>(::strnlen(reinterpret_cast<char*>(pBuf + rec.nLen),
                                                   static_cast<size_t>(kWriteRoom - rec.nLen)));
    }
  }
  return nEnd;
}

// The gate: closed until the gate time has passed since the port opened.
bool LineWriter::PassesGate() {
  if (bGateOpen) {
    return true;
  }
  if (platform::GetTickCount() - dwOpenTick.load() > dwGateOpenTime.load()) {
    bGateOpen = true;
    return true;
  }
  return false;
}

// Pieces between NUL bytes, up to the end of the record.
void LineWriter::DeliverPieces(Record& rec, int nEnd) {
  unsigned char* const pBuf = pBuf_.get();
  int nPending = rec.nEvent;
  int nStart = 0;
  for (;;) {
    auto* pNul = static_cast<unsigned char*>(
        std::memchr(pBuf + nStart, 0, static_cast<size_t>(nEnd - nStart)));
    int nStop = pNul ? static_cast<int>(pNul - pBuf) : nEnd;
    pBuf[nStop] = 0;
    char* pszPiece = reinterpret_cast<char*>(pBuf + nStart);
    int nPiece = nStop - nStart;
    bool bDeliver = true;
    bool bBlank = nPiece == 0;
    if (!bBlank) {
      int nTrimmed = TrimSpaces(pszPiece, static_cast<size_t>(nPiece));
      bBlank = nTrimmed == 0;
      nPiece = bBlank ? nPiece : nTrimmed;
    }
    if (bBlank) {
      bDeliver = nPending != -1;
    } else if (nPiece == 1) {
      unsigned char by = static_cast<unsigned char>(pszPiece[0]);
      bDeliver = by >= 0x20 && by <= 0x80;
    }
    if (bDeliver && PassesGate()) {
      WriteOut(pszPiece, &rec.stTime, rec.bDST, nPending, reinterpret_cast<char*>(rec.byExtra));
      nPending = -1;
    }
    if (nStop >= nEnd) {
      break;
    }
    nStart = nStop + 1;
  }
}

void LineWriter::WriteOut(char* pszText, SYSTEMTIME* pTime, bool bDST, int nEvent, char* pExtra) {
  LineOutFt pfn = pfnLineOut.load();
  if (!pfn) {
    return;
  }
  if (g_bDump) {
    platform::DebugPrintf("POS%d:WriteOut Event=%d \"%s\"\r\n", nPOSNo_, nEvent, pszText);
  }
  std::lock_guard<std::recursive_mutex> guard(csCallback_);
  try {
    pfn(pszText, pTime, bDST, nPOSNo_, nEvent, pExtra);
  } catch (...) {
    // A host callback that throws must not end the writer.
  }
}

int LineWriter::SpaceFilter(char* pszText) {
  return pszText ? TrimSpaces(pszText, std::strlen(pszText)) : 0;
}

int LineWriter::TrimSpaces(char* pszText, size_t nLen) {
  size_t nFirst = 0;
  while (nFirst < nLen && pszText[nFirst] == ' ') {
    ++nFirst;
  }
  if (nFirst == nLen) {
    return 0;
  }
  while (pszText[nLen - 1] == ' ') {
    --nLen;
  }
  nLen -= nFirst;
  if (nFirst > 0) {
    std::memmove(pszText, pszText + nFirst, nLen);
  }
  pszText[nLen] = 0;
  return static_cast<int>(nLen);
}

void LineWriter::EnableCodeMap(bool bOn, const unsigned char* pTable) {
  if (pTable) {
    platform::MutexLock guard(codeMapLock_);
    std::memcpy(byCodeMap_, pTable, sizeof byCodeMap_);
  }
  bCodeMapOn_ = bOn;
}

void LineWriter::ApplyCodeMap(unsigned char* pData, int nLen) {
  if (!bCodeMapOn_ || !pData) return;
  platform::MutexLock guard(codeMapLock_);
  for (int i = 0; i < nLen; ++i) pData[i] = byCodeMap_[pData[i]];
}

}  // namespace poshark::listener
