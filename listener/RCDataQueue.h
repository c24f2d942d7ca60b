// RCDataQueue: the record queue between two of the listener's threads, and
// the base of the write queue (RCLineQueue).
//
// m_AnalyzeQueue (kind 1, RCDataQueue) carries raw line chunks from the byte
// intake to the analyzer; m_WriteQueue (kind 2, RCLineQueue) carries analysed
// lines and transaction events to the writer. Every record owns a copy of its
// bytes and keeps the time stamp and DST flag of its arrival, so a line
// delivered later still tells when its bytes came in.
//
// Threads: producers and the consumer may call from different threads.
// Every operation holds the queue's lock for its whole run, except two: the
// taker of the oldest record (the analyzer, the writer) moves all queued
// records to its own side at once and takes them from there under a lock of
// its own, so that it meets the pushers' lock once per batch instead of once
// per line; and the byte total is read without a lock. The analyzer and the
// writer take batches of records out from there (TakeBatch), one lock for
// each batch, and give them back for reuse. The queues never signal: the
// pusher sets the listener's analyze or write event, and a waiter for the
// level to fall is woken by the takes. Overflow policy: none here; the
// pushers bound what they push (1000..4000 byte chunks from the intake, at
// most 100000-byte records from the analyzer), and a host-feed intake
// waits for the analyzer (IntakeHold).
#pragma once

#include <poshark/KeyRecords.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "listener/PosData.h"
#include "listener/RecordRing.h"
#include "platform/ThreadAnnotations.h"

namespace poshark::platform {
class Event;
}

class RCDataQueue {
 public:
  explicit RCDataQueue(int nKind);
  virtual ~RCDataQueue();
  RCDataQueue(const RCDataQueue&) = delete;
  RCDataQueue& operator=(const RCDataQueue&) = delete;

  // Queues a copy of nLen bytes (pData may be null only when nLen is 0).
  // Without pTime the record is stamped with the local time now and the
  // DST query (false without one); with pTime, *pTime and bDST are
  // kept. False when nothing was queued (negative length, null data).
  // Virtual so that a write queue reached through a base reference still
  // runs its preprocess step.
  virtual bool Push(unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST, int nTag,
                    int nEvent) EXCLUDES(lock);

  // Queues nCount records at once, under one lock: record k holds the
  // pLens[k] bytes that follow record k-1's in pData. All get *pTime and
  // bDST. No preprocess step: for the analyze queue, whose producer cuts many
  // lines out of one block. False, with nothing queued, on a bad count.
  bool PushBatch(const unsigned char* pData, const int* pLens, int nCount, SYSTEMTIME* pTime,
                 bool bDST) EXCLUDES(lock);

  // Copies record nIndex into pBuf. *pLen is in: the room in pBuf, out: the
  // record's length. pTime, pDST, pTag and pEvent may each be null. False,
  // with the queue unchanged, when the index is out of range, pBuf is null or
  // the room is too small (then *pLen tells the room needed). With bRemove
  // the record is taken out of the queue.
  bool GetAt(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST, int* pTag, int* pEvent,
             int nIndex, bool bRemove) EXCLUDES(takeLock, lock);

  // Waits until fewer than nLevel bytes are queued: true then, false when
  // pStop is set or nTimeoutMs passed first. Woken by the takes, not by
  // every one: a take wakes a waiter only once the level is reached.
  bool WaitBelow(int64_t nLevel, poshark::platform::Event* pStop, int nTimeoutMs)
      EXCLUDES(takeLock, lock);

  // The takers' batch: up to nMax of the oldest records, together at most
  // nMaxBytes long (the first whatever its length), move out of the queue
  // into ppOut at once, under one lock and with one change of the counts;
  // answers how many. They are the caller's until it hands them back with
  // GiveBack, which keeps them for reuse (they must not be freed).
  int TakeBatch(STRUCT_PosData** ppOut, int nMax, int64_t nMaxBytes = INT64_MAX)
      EXCLUDES(takeLock, lock);
  void GiveBack(STRUCT_PosData* const* ppRecords, int nCount) EXCLUDES(takeLock, lock);

  // Drops every record.
  void Clear() EXCLUDES(takeLock, lock);
  // Drops every record; answers how many of them carried event code nEvent.
  int ClearCounting(int nEvent) EXCLUDES(takeLock, lock);
  // Sum of the lengths of the queued records (saturates at INT_MAX).
  int GetTotalBytes() EXCLUDES(takeLock, lock);
  // Number of queued records.
  int GetCount() EXCLUDES(takeLock, lock);
  // Whether no record is queued, seen without a lock: a record pushed
  // before the answer was read is seen with its bytes.
  bool IsEmpty() const { return nRecordCount.load(std::memory_order_acquire) == 0; }

  // The DST query for records pushed without a time stamp (false without
  // one). Set once, before any push.
  void SetDstQuery(std::function<bool()> query) { dstQuery = std::move(query); }

 protected:
  // Counts records placed one by one (PlaceLocked) in the byte and record
  // totals at once when it goes, also when an allocation fails on the way.
  struct BatchCount {
    RCDataQueue& queue;
    int nRecords = 0;
    int64_t nBytes = 0;
    ~BatchCount();
  };

  // Appends a record already filled with bytes and extra block, stamping the
  // time as Push describes. Caller holds lock.
  void AppendLocked(STRUCT_PosData* pRecord, SYSTEMTIME* pTime, bool bDST) REQUIRES(lock);
  // The same without counting the record in the byte and record totals:
  // a batch is counted once, with one change of each.
  void PlaceLocked(STRUCT_PosData* pRecord, SYSTEMTIME* pTime, bool bDST) REQUIRES(lock);
  // Steps common to both GetAt forms, up to the copy of the bytes. Caller
  // holds lock. Answers the record, or null with the false answer's outputs set.
  STRUCT_PosData* CopyOutLocked(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST,
                                int* pTag, int* pEvent, int nIndex) REQUIRES(lock);
  void RemoveLocked(int nIndex) REQUIRES(lock);
  void ClearLocked() REQUIRES(lock);
  // A record holding a copy of the bytes: a spare one when there is one,
  // else a new one. Caller holds lock and has checked the count.
  STRUCT_PosData* MakeRecordLocked(const unsigned char* pData, int nLen, int nTag, int nEvent)
      REQUIRES(lock);
  // Keeps a taken record for reuse, or frees it. Caller holds lock.
  void RecycleLocked(STRUCT_PosData* pRecord) REQUIRES(lock);

  // The taker's side: GetAt of record 0 with removal takes from `taken`,
  // which holds records older than all of `records`. Every other operation
  // first puts them back (MergeTakenLocked). Lock order: takeLock, then lock.
  bool TakeFront(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST, int* pTag,
                 int* pEvent) EXCLUDES(takeLock, lock);
  // The oldest record, on the taker's side; when that side is empty it first
  // takes over every queued record. Null when there is none.
  STRUCT_PosData* TakerFrontLocked() REQUIRES(takeLock) EXCLUDES(lock);
  // Takes the taker's oldest record out (to be recycled at the next
  // take-over) and wakes a pusher waiting for room.
  void PopTakenLocked() REQUIRES(takeLock) EXCLUDES(lock);
  // Wakes a pusher waiting for the bytes queued to fall below its level,
  // once they have. Caller holds takeLock.
  void WakeRoomWaiter() REQUIRES(takeLock) EXCLUDES(lock);
  // Puts the taker's records back in front of `records`. Caller holds both locks.
  void MergeTakenLocked() REQUIRES(takeLock, lock);
  // Hands the records the taker is done with to the spare list, in two
  // steps so that the pushers' lock is held only for the second: frees their
  // extra blocks and answers their cost as spares (caller holds takeLock),
  // then keeps them (caller holds both locks).
  int64_t PrepareUsed() REQUIRES(takeLock);
  void KeepUsedLocked(int64_t nCost) REQUIRES(takeLock, lock);
  // Counts a waiter for the bytes queued to fall below nLevel; answers the
  // event that a take (or a clear) then sets, or null (and no waiter
  // counted) when there is none to wait on. Each join is followed by one
  // LeaveRoomWaiters after the wait.
  poshark::platform::Event* JoinRoomWaitersLocked(int64_t nLevel) REQUIRES(lock);
  void LeaveRoomWaiters() EXCLUDES(lock);

  // Neither lock is held while anything outside the queue runs, except the
  // preprocess plug-in and the DST query, which do not reach the queue:
  // nothing re-enters them.
  poshark::platform::Mutex takeLock;
  RecordRing taken GUARDED_BY(takeLock);                   // oldest first
  std::vector<STRUCT_PosData*> used GUARDED_BY(takeLock);  // taken out, to recycle
  poshark::platform::Mutex lock;
  RecordRing records GUARDED_BY(lock);  // oldest first
  std::function<bool()> dstQuery;       // stamps records pushed without a time
  // Bytes of the records on both sides. Added to under lock, taken from by
  // the taker under takeLock; read without a lock by GetTotalBytes, which
  // the analyzer asks before and after every push.
  std::atomic<int64_t> nTotalBytes{0};
  // Records on both sides, kept as the bytes are: an empty queue is seen
  // without a lock (the analyzer looks at it at the end of every line).
  std::atomic<int64_t> nRecordCount{0};
  // Records taken out, kept with their buffers: a busy channel queues and
  // takes millions of records a second, and reusing them saves two
  // allocations and two frees per record (made on different threads).
  std::vector<STRUCT_PosData*> spare GUARDED_BY(lock);  // bounded, see RecycleLocked
  int64_t nSpareBytes GUARDED_BY(lock) = 0;             // buffers and headers in spare
  // Set by a take or a clear while someone waits for room (WaitBelow,
  // RCLineQueue::WaitForRoom); made on the first wait.
  std::unique_ptr<poshark::platform::Event> pRoomEvent GUARDED_BY(lock);
  // Changed under lock; read by the taker without it, which then takes the
  // lock to set the event.
  std::atomic<int> nRoomWaiters{0};
  // While someone waits: a take wakes it only once the bytes queued are
  // below this (the largest level a waiter needs), not for every record.
  std::atomic<int64_t> nRoomLevel{0};
  int nKind;  // 1 analyze queue, 2 write queue
};
