#include "listener/RCDataQueue.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <system_error>
#include <utility>

#include "commands/Plugins.h"
#include "commands/RCCmdSet.h"
#include "platform/Clock.h"
#include "platform/Event.h"

STRUCT_PosData::~STRUCT_PosData() {
  delete[] pHeap;
  delete[] pExtra;
}

namespace {

// Bytes of spare records (buffers and headers) kept per queue: a few
// thousand lines, most of what the analyze queue of a channel fed as fast as
// it reads holds at once (every record the queue cannot keep is freed on the
// taker's thread and allocated again on the pusher's). A queue keeps only as
// many as it once held, so a paced channel keeps a handful.
constexpr int64_t kMaxSpareBytes = 512 * 1024;

// Slots of an emptied ring kept for reuse: the depth of a busy channel's queue.
constexpr size_t kMaxKeptSlots = 16384;

int64_t SpareCost(const STRUCT_PosData& record) {
  return static_cast<int64_t>(sizeof record) + record.nCap;
}

}  // namespace

bool CopyOut(const STRUCT_PosData& record, int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime,
             bool* pDST, int* pTag, int* pEvent) {
  if (pTag) {
    *pTag = record.nTag;
  }
  if (pEvent) {
    *pEvent = record.nEvent;
  }
  if (*pLen < record.nLen) {
    *pLen = record.nLen;
    return false;
  }
  if (pTime) {
    *pTime = record.stTime;
  }
  if (pDST) {
    *pDST = record.bDST;
  }
  if (record.nLen > 0) {
    std::memcpy(pBuf, record.pData, static_cast<size_t>(record.nLen));
  }
  *pLen = record.nLen;
  return true;
}

void RecordRing::Reserve(size_t nNeed) {
  if (nNeed <= nCap) {
    return;
  }
  size_t nNewCap = nCap == 0 ? 16 : nCap;
  while (nNewCap < nNeed) {
    nNewCap *= 2;
  }
  std::unique_ptr<STRUCT_PosData*[]> pNew(new STRUCT_PosData*[nNewCap]);
  for (size_t i = 0; i < nSize; ++i) {
    pNew[i] = (*this)[i];
  }
  pSlots = std::move(pNew);
  nCap = nNewCap;
  nHead = 0;
}

void RecordRing::erase(size_t i) {
  for (; i + 1 < nSize; ++i) {
    pSlots[(nHead + i) & (nCap - 1)] = (*this)[i + 1];
  }
  --nSize;
}

void RecordRing::prepend(RecordRing& other) {
  if (other.empty()) {
    return;
  }
  other.Reserve(other.nSize + nSize);
  for (size_t i = 0; i < nSize; ++i) {
    other.push_back((*this)[i]);
  }
  swap(other);
  other.clear(false);
}

void RecordRing::clear(bool bRelease) {
  nHead = 0;
  nSize = 0;
  if (bRelease) {
    pSlots.reset();
    nCap = 0;
  }
}

void RecordRing::swap(RecordRing& other) noexcept {
  std::swap(pSlots, other.pSlots);
  std::swap(nCap, other.nCap);
  std::swap(nHead, other.nHead);
  std::swap(nSize, other.nSize);
}

RCDataQueue::RCDataQueue(int nKindIn) : nKind(nKindIn) {}

RCDataQueue::~RCDataQueue() {
  Clear();
  for (STRUCT_PosData* pRecord : spare) {
    delete pRecord;
  }
}

bool RCDataQueue::Push(unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST, int nTag,
                       int nEvent) {
  if (nLen < 0 || (nLen > 0 && !pData)) {
    return false;
  }
  poshark::platform::MutexLock guard(lock);
  AppendLocked(MakeRecordLocked(pData, nLen, nTag, nEvent), pTime, bDST);
  return true;
}

bool RCDataQueue::PushBatch(const unsigned char* pData, const int* pLens, int nCount,
                            SYSTEMTIME* pTime, bool bDST) {
  if (nCount < 0 || (nCount > 0 && (!pLens || !pTime))) {
    return false;
  }
  for (int k = 0; k < nCount; ++k) {
    if (pLens[k] < 0 || (pLens[k] > 0 && !pData)) {
      return false;
    }
  }
  poshark::platform::MutexLock guard(lock);
  BatchCount count{*this};
  for (int k = 0; k < nCount; ++k) {
    PlaceLocked(MakeRecordLocked(pData, pLens[k], 0, -1), pTime, bDST);
    pData += pLens[k];
    ++count.nRecords;
    count.nBytes += pLens[k];
  }
  return true;
}

RCDataQueue::BatchCount::~BatchCount() {
  queue.nTotalBytes += nBytes;
  queue.nRecordCount.fetch_add(nRecords, std::memory_order_release);
}

STRUCT_PosData* RCDataQueue::MakeRecordLocked(const unsigned char* pData, int nLen, int nTag,
                                              int nEvent) {
  STRUCT_PosData* pRecord = nullptr;
  if (!spare.empty()) {
    pRecord = spare.back();
    spare.pop_back();
    nSpareBytes -= SpareCost(*pRecord);
  } else {
    pRecord = new STRUCT_PosData;
  }
  if (nLen <= STRUCT_PosData::kInline) {
    pRecord->pData = pRecord->abyInline;
  } else {
    if (pRecord->nCap < nLen) {
      delete[] pRecord->pHeap;
      pRecord->pHeap = nullptr;  // stays consistent if the allocation throws
      pRecord->nCap = 0;
      pRecord->pHeap = new unsigned char[static_cast<size_t>(nLen)];
      pRecord->nCap = nLen;
    }
    pRecord->pData = pRecord->pHeap;
  }
  if (nLen > 0) {
    std::memcpy(pRecord->pData, pData, static_cast<size_t>(nLen));
  }
  pRecord->nLen = nLen;
  pRecord->nTag = nTag;
  pRecord->nEvent = nEvent;
  return pRecord;
}

void RCDataQueue::RecycleLocked(STRUCT_PosData* pRecord) {
  delete[] pRecord->pExtra;
  pRecord->pExtra = nullptr;
  pRecord->nExtraLen = 0;
  if (nSpareBytes + SpareCost(*pRecord) <= kMaxSpareBytes) {
    nSpareBytes += SpareCost(*pRecord);
    spare.push_back(pRecord);
  } else {
    delete pRecord;
  }
}

void RCDataQueue::AppendLocked(STRUCT_PosData* pRecord, SYSTEMTIME* pTime, bool bDST) {
  PlaceLocked(pRecord, pTime, bDST);
  nTotalBytes += pRecord->nLen;
  nRecordCount.fetch_add(1, std::memory_order_release);
}

void RCDataQueue::PlaceLocked(STRUCT_PosData* pRecord, SYSTEMTIME* pTime, bool bDST) {
  if (pTime) {
    pRecord->stTime = *pTime;
    pRecord->bDST = bDST;
  } else {
    poshark::platform::GetLocalTime(&pRecord->stTime);
    pRecord->bDST = dstQuery ? dstQuery() : false;
  }
  if (nKind == 2) {
    pRecord->dwQueuedTick = poshark::platform::GetCoarseTickCount();
  }
  records.push_back(pRecord);
}

STRUCT_PosData* RCDataQueue::CopyOutLocked(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime,
                                           bool* pDST, int* pTag, int* pEvent, int nIndex) {
  if (nIndex < 0 || static_cast<size_t>(nIndex) >= records.size() || !pLen) {
    return nullptr;
  }
  STRUCT_PosData* pRecord = records[static_cast<size_t>(nIndex)];
  if (!pBuf) {
    *pLen = pRecord->nLen;
    return nullptr;
  }
  return CopyOut(*pRecord, pLen, pBuf, pTime, pDST, pTag, pEvent) ? pRecord : nullptr;
}

void RCDataQueue::RemoveLocked(int nIndex) {
  STRUCT_PosData* pRecord = records[static_cast<size_t>(nIndex)];
  nTotalBytes -= pRecord->nLen;
  nRecordCount.fetch_sub(1, std::memory_order_relaxed);
  if (nIndex == 0) {
    records.pop_front();
    // The taker usually comes back for the next record soon: have it read
    // into the cache meanwhile (it was written on the pushing thread's core).
    if (!records.empty()) {
      __builtin_prefetch(records.front());
      __builtin_prefetch(reinterpret_cast<const char*>(records.front()) + 64);
    }
  } else {
    records.erase(static_cast<size_t>(nIndex));
  }
  RecycleLocked(pRecord);
  if (nRoomWaiters > 0) {
    pRoomEvent->Set();
  }
}

int64_t RCDataQueue::PrepareUsed() {
  int64_t nCost = 0;
  for (STRUCT_PosData* pRecord : used) {
    if (pRecord->pExtra) {  // only a write queue's records may carry one
      delete[] pRecord->pExtra;
      pRecord->pExtra = nullptr;
      pRecord->nExtraLen = 0;
    }
    nCost += SpareCost(*pRecord);
  }
  return nCost;
}

void RCDataQueue::KeepUsedLocked(int64_t nCost) {
  if (nSpareBytes + nCost <= kMaxSpareBytes) {
    spare.insert(spare.end(), used.begin(), used.end());
    nSpareBytes += nCost;
  } else {
    for (STRUCT_PosData* pRecord : used) {
      RecycleLocked(pRecord);
    }
  }
  used.clear();
  if (used.capacity() > kMaxKeptSlots) {
    used.shrink_to_fit();
  }
}

void RCDataQueue::MergeTakenLocked() {
  KeepUsedLocked(PrepareUsed());
  if (!taken.empty()) {
    records.prepend(taken);
  }
}

STRUCT_PosData* RCDataQueue::TakerFrontLocked() {
  if (taken.empty()) {
    const int64_t nCost = PrepareUsed();
    poshark::platform::MutexLock guard(lock);
    KeepUsedLocked(nCost);
    // The emptied ring becomes the pushers' one; one grown by a deep
    // backlog is not kept.
    if (taken.capacity() > kMaxKeptSlots) {
      taken.clear(true);
    }
    taken.swap(records);
  }
  return taken.empty() ? nullptr : taken.front();
}

void RCDataQueue::PopTakenLocked() {
  STRUCT_PosData* pRecord = taken.front();
  nTotalBytes -= pRecord->nLen;
  nRecordCount.fetch_sub(1, std::memory_order_relaxed);
  taken.pop_front();
  used.push_back(pRecord);
  if (!taken.empty()) {
    __builtin_prefetch(taken.front());
    __builtin_prefetch(reinterpret_cast<const char*>(taken.front()) + 64);
  }
  WakeRoomWaiter();
}

void RCDataQueue::WakeRoomWaiter() {
  if (nRoomWaiters > 0 && nTotalBytes.load(std::memory_order_relaxed) < nRoomLevel) {
    poshark::platform::MutexLock guard(lock);
    if (pRoomEvent) {
      pRoomEvent->Set();
    }
  }
}

int RCDataQueue::TakeBatch(STRUCT_PosData** ppOut, int nMax, int64_t nMaxBytes) {
  if (nMax < 1 || nRecordCount.load(std::memory_order_acquire) == 0) {
    return 0;
  }
  poshark::platform::MutexLock takeGuard(takeLock);
  int n = 0;
  int64_t nBytes = 0;
  // The records go out of the taker's side in runs: each run is read off
  // the ring and then popped at once.
  while (n < nMax && TakerFrontLocked()) {
    const int nRun = static_cast<int>(std::min(taken.size(), static_cast<size_t>(nMax - n)));
    int k = 0;
    for (; k < nRun; ++k) {
      STRUCT_PosData* pRecord = taken[static_cast<size_t>(k)];
      if (n + k > 0 && nBytes + pRecord->nLen > nMaxBytes) {
        break;
      }
      nBytes += pRecord->nLen;
      ppOut[n + k] = pRecord;
    }
    taken.pop_front(static_cast<size_t>(k));
    n += k;
    if (k < nRun) {
      break;  // the byte bound is reached
    }
  }
  nTotalBytes -= nBytes;
  nRecordCount.fetch_sub(n, std::memory_order_relaxed);
  WakeRoomWaiter();
  return n;
}

void RCDataQueue::GiveBack(STRUCT_PosData* const* ppRecords, int nCount) {
  if (nCount < 1) {
    return;
  }
  poshark::platform::MutexLock takeGuard(takeLock);
  used.insert(used.end(), ppRecords, ppRecords + nCount);
}

bool RCDataQueue::TakeFront(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST,
                            int* pTag, int* pEvent) {
  // A record pushed meanwhile is taken at the next look: its pusher wakes
  // the taker after pushing.
  if (nRecordCount.load(std::memory_order_acquire) == 0) {
    return false;
  }
  poshark::platform::MutexLock takeGuard(takeLock);
  STRUCT_PosData* pRecord = TakerFrontLocked();
  if (!pRecord || !CopyOut(*pRecord, pLen, pBuf, pTime, pDST, pTag, pEvent)) {
    return false;
  }
  PopTakenLocked();
  return true;
}

bool RCDataQueue::GetAt(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST, int* pTag,
                        int* pEvent, int nIndex, bool bRemove) {
  if (nKind == 1 && nIndex == 0 && bRemove && pBuf && pLen) {
    return TakeFront(pLen, pBuf, pTime, pDST, pTag, pEvent);
  }
  poshark::platform::MutexLock takeGuard(takeLock);
  poshark::platform::MutexLock guard(lock);
  MergeTakenLocked();
  if (!CopyOutLocked(pLen, pBuf, pTime, pDST, pTag, pEvent, nIndex)) {
    return false;
  }
  if (bRemove) {
    RemoveLocked(nIndex);
  }
  return true;
}

void RCDataQueue::ClearLocked() {
  for (size_t i = 0; i < records.size(); ++i) {
    RecycleLocked(records[i]);
  }
  records.clear(true);
  if (nRoomWaiters > 0) {
    pRoomEvent->Set();
  }
  nTotalBytes = 0;
  nRecordCount = 0;
}

void RCDataQueue::Clear() { ClearCounting(0); }

int RCDataQueue::ClearCounting(int nEvent) {
  poshark::platform::MutexLock takeGuard(takeLock);
  poshark::platform::MutexLock guard(lock);
  MergeTakenLocked();
  int nFound = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    nFound += records[i]->nEvent == nEvent ? 1 : 0;
  }
  ClearLocked();
  return nFound;
}

int RCDataQueue::GetTotalBytes() {
  int64_t nBytes = nTotalBytes.load(std::memory_order_relaxed);
  return nBytes > INT_MAX ? INT_MAX : static_cast<int>(nBytes);
}

int RCDataQueue::GetCount() {
  poshark::platform::MutexLock takeGuard(takeLock);
  poshark::platform::MutexLock guard(lock);
  return static_cast<int>(records.size() + taken.size());
}

RCLineQueue::RCLineQueue(int nKindIn) : RCDataQueue(nKindIn) {}

RCLineQueue::~RCLineQueue() = default;

bool RCLineQueue::Push(unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST, int nTag,
                       int nEvent) {
  if (nLen < 0 || (nLen > 0 && !pData)) {
    return false;  // never hand the plug-in a count its data does not back
  }
  poshark::platform::MutexLock guard(lock);
  STRUCT_PosData* pRecord = PrepareLocked(pData, nLen, nTag, nEvent);
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
  BatchCount count{*this};
  for (int k = 0; k < nCount; ++k) {
    const poshark::commands::HeldLines::Line& line = pLines[k];
    if (line.nLen < 0) {
      continue;  // never hand the plug-in a count its data does not back
    }
    STRUCT_PosData* pRecord = PrepareLocked(pBase + line.nOffset, line.nLen, 0, line.nEvent);
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

STRUCT_PosData* RCLineQueue::PrepareLocked(const unsigned char* pData, int nLen, int nTag,
                                           int nEvent) {
  unsigned char* pExtraIn = nullptr;
  int nExtraIn = 0;
  if (pCmdSet && pCmdSet->bDllPreprocess && pCmdSet->pfnPreprocess) {
    unsigned char* pOut = nullptr;
    int nOut = 0;
    pCmdSet->pfnPreprocess(const_cast<unsigned char*>(pData), nLen, &pOut, &nOut, &pExtraIn,
                           &nExtraIn, &nEvent);
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

poshark::platform::Event* RCDataQueue::JoinRoomWaitersLocked(int64_t nLevel) {
  if (!pRoomEvent) {
    try {
      pRoomEvent = std::make_unique<poshark::platform::Event>(poshark::platform::Event::kAutoReset);
    } catch (const std::system_error&) {
      return nullptr;
    }
  }
  // A take between here and the wait sets the event, so it is not missed.
  if (nRoomWaiters++ == 0 || nRoomLevel < nLevel) {
    nRoomLevel = nLevel;
  }
  return pRoomEvent.get();
}

void RCDataQueue::LeaveRoomWaiters() {
  poshark::platform::MutexLock guard(lock);
  --nRoomWaiters;
}

bool RCDataQueue::WaitBelow(int64_t nLevel, poshark::platform::Event* pStop, int nTimeoutMs) {
  const uint32_t dwStart = poshark::platform::GetCoarseTickCount();
  for (;;) {
    poshark::platform::Event* pRoom = nullptr;
    {
      // The taker's lock too: a take checks for waiters under it alone, so
      // one in between this look and the join would wake nobody.
      poshark::platform::MutexLock takeGuard(takeLock);
      poshark::platform::MutexLock guard(lock);
      if (nTotalBytes < nLevel) {
        return true;
      }
      pRoom = JoinRoomWaitersLocked(nLevel);
    }
    const uint32_t dwWaited = poshark::platform::GetCoarseTickCount() - dwStart;
    int nIndex = poshark::platform::kWaitTimeout;
    if (pRoom && dwWaited < static_cast<uint32_t>(nTimeoutMs)) {
      nIndex =
          poshark::platform::WaitForAny({pStop, pRoom}, nTimeoutMs - static_cast<int>(dwWaited));
    }
    if (pRoom) {
      LeaveRoomWaiters();
    }
    if (nIndex != 1) {
      return false;
    }
  }
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
