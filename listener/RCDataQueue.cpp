// The record queue: pushes, batch takes, looks and clears, and the waits
// for the level to fall.
#include "listener/RCDataQueue.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/Clock.h"
#include "platform/Event.h"

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
