// The write queue: the preprocess step, lines queued in batches, the extra
// block, and the wait for room.
#include "listener/RCLineQueue.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "commands/Plugins.h"
#include "platform/Clock.h"
#include "platform/Event.h"

RCLineQueue::RCLineQueue(int nKindIn, PreprocessSource preprocess)
    : RCDataQueue(nKindIn), preprocess_(std::move(preprocess)) {}

RCLineQueue::~RCLineQueue() = default;

bool RCLineQueue::Push(unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST, int nTag,
                       int nEvent) {
  if (nLen < 0 || (nLen > 0 && !pData)) {
    return false;  // never hand the plug-in a count its data does not back
  }
  poshark::platform::MutexLock guard(lock);
  STRUCT_PosData* pRecord = PrepareLocked(PreprocessLocked(), pData, nLen, nTag, nEvent);
  if (!pRecord) {
    return false;
  }
  AppendLocked(pRecord, pTime, bDST);
  return true;
}

int RCLineQueue::PushLines(const unsigned char* pBase,
                           const poshark::commands::HeldLines::Line* pLines, int nCount) {
  if (nCount < 1 || !pLines || !pBase) {
    return 0;
  }
  poshark::platform::MutexLock guard(lock);
  const uint32_t dwTick = poshark::platform::GetCoarseTickCount();
  const PFN_Preprocess pfn = PreprocessLocked();
  BatchCount count{*this};
  for (int k = 0; k < nCount; ++k) {
    const poshark::commands::HeldLines::Line& line = pLines[k];
    if (line.nLen < 0) {
      continue;  // never hand the plug-in a count its data does not back
    }
    STRUCT_PosData* pRecord = PrepareLocked(pfn, pBase + line.nOffset, line.nLen, 0, line.nEvent);
    if (!pRecord) {
      continue;
    }
    pRecord->stTime = line.stTime;
    pRecord->bDST = line.bDST;
    pRecord->dwQueuedTick = dwTick;
    records.push_back(pRecord);
    ++count.nRecords;
    count.nBytes += pRecord->nLen;
  }
  return count.nRecords;
}

STRUCT_PosData* RCLineQueue::PrepareLocked(PFN_Preprocess pfn, const unsigned char* pData, int nLen,
                                           int nTag, int nEvent) {
  unsigned char* pExtraIn = nullptr;
  int nExtraIn = 0;
  if (pfn) {
    unsigned char* pOut = nullptr;
    int nOut = 0;
    pfn(const_cast<unsigned char*>(pData), nLen, &pOut, &nOut, &pExtraIn, &nExtraIn, &nEvent);
    // A count beyond what the writer can deliver cannot be trusted to match
    // the plug-in's memory either: the record is dropped, not copied.
    if (!pOut || nOut > poshark::commands::kMaxPreprocessedLen) {
      return nullptr;
    }
    pData = pOut;
    nLen = nOut;
    // A block pointer without a count, or a count without a block, carries nothing.
    if (!pExtraIn || nExtraIn <= 0) {
      pExtraIn = nullptr;
      nExtraIn = 0;
    }
    // The writer hands at most this much of the block to the host.
    if (nExtraIn > poshark::commands::kMaxExtraLen) {
      nExtraIn = poshark::commands::kMaxExtraLen;
    }
  }
  if (nLen < 0 || (nLen > 0 && !pData)) {
    return nullptr;
  }
  STRUCT_PosData* pRecord = MakeRecordLocked(pData, nLen, nTag, nEvent);
  if (pExtraIn) {
    try {
      pRecord->pExtra = new unsigned char[nExtraIn];
    } catch (...) {
      RecycleLocked(pRecord);
      throw;
    }
    std::memcpy(pRecord->pExtra, pExtraIn, static_cast<size_t>(nExtraIn));
    pRecord->nExtraLen = nExtraIn;
  }
  return pRecord;
}

namespace {

// The extra block of a record into pExtraBuf (not null), cut to the room.
void CopyExtra(const STRUCT_PosData& record, unsigned char* pExtraBuf, int* pExtraLen) {
  int nRoom = pExtraLen && *pExtraLen > 0 ? *pExtraLen : 0;
  int nCopy = record.nExtraLen < nRoom ? record.nExtraLen : nRoom;
  if (nCopy > 0) {
    std::memcpy(pExtraBuf, record.pExtra, static_cast<size_t>(nCopy));
  }
  if (pExtraLen) {
    *pExtraLen = nCopy;
  }
}

}  // namespace

bool RCLineQueue::GetAt(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST, int* pTag,
                        int* pEvent, int nIndex, bool bRemove, unsigned char* pExtraBuf,
                        int* pExtraLen) {
  poshark::platform::MutexLock takeGuard(takeLock);
  if (nIndex == 0 && bRemove && pBuf && pLen && pExtraBuf) {
    // A take of the oldest: from the taker's side.
    STRUCT_PosData* pRecord = TakerFrontLocked();
    if (!pRecord || !CopyOut(*pRecord, pLen, pBuf, pTime, pDST, pTag, pEvent)) {
      return false;
    }
    CopyExtra(*pRecord, pExtraBuf, pExtraLen);
    PopTakenLocked();
    return true;
  }
  poshark::platform::MutexLock guard(lock);
  MergeTakenLocked();
  STRUCT_PosData* pRecord = CopyOutLocked(pLen, pBuf, pTime, pDST, pTag, pEvent, nIndex);
  if (!pRecord) {
    return false;
  }
  if (!pExtraBuf) {
    if (pExtraLen) {
      *pExtraLen = pRecord->nExtraLen;
    }
    return false;
  }
  CopyExtra(*pRecord, pExtraBuf, pExtraLen);
  if (bRemove) {
    RemoveLocked(nIndex);
  }
  return true;
}

bool RCLineQueue::WaitForRoom(int nLen, int nLimit, poshark::platform::Event* pStop,
                              uint32_t dwMaxLagMs) {
  for (;;) {
    int nTimeoutMs = 0;
    poshark::platform::Event* pRoom = nullptr;
    {
      // The taker's records stay on its side: they are older than all of
      // `records`, and the byte total counts both.
      poshark::platform::MutexLock takeGuard(takeLock);
      poshark::platform::MutexLock guard(lock);
      const STRUCT_PosData* pOldest =
          !taken.empty() ? taken.front() : (!records.empty() ? records.front() : nullptr);
      if (pOldest == nullptr || nTotalBytes + nLen < nLimit) {
        return true;
      }
      uint32_t dwAge = poshark::platform::GetCoarseTickCount() - pOldest->dwQueuedTick;
      if (dwAge >= dwMaxLagMs) {
        return false;
      }
      // A record as long as the limit waits for an empty queue (level 1).
      pRoom = JoinRoomWaitersLocked(std::max<int64_t>(nLimit - static_cast<int64_t>(nLen), 1));
      if (!pRoom) {
        return false;  // no descriptor to wait on: the plain rule applies
      }
      nTimeoutMs = static_cast<int>(dwMaxLagMs - dwAge);
    }
    int nIndex = poshark::platform::WaitForAny({pStop, pRoom}, nTimeoutMs);
    LeaveRoomWaiters();
    if (nIndex == 0) {
      return false;
    }
  }
}
