// RCLineQueue: the write queue, from the analyzer and the idle stop to the
// writer. An RCDataQueue whose records may carry an extra block and pass the
// preprocess plug-in first (see RCDataQueue.h for threads and locking).
#pragma once

#include <functional>

#include "commands/HeldLines.h"
#include "commands/PrnCmd.h"
#include "listener/RCDataQueue.h"

class RCLineQueue : public RCDataQueue {
 public:
  // Answers the preprocess plug-in's entry in force (null when the current
  // command set has none switched on and loaded). Asked once per push, under
  // the queue's lock; it must not reach the queue.
  using PreprocessSource = std::function<PFN_Preprocess()>;

  // Without a source no record is preprocessed.
  explicit RCLineQueue(int nKind, PreprocessSource preprocess = {});
  ~RCLineQueue() override;

  // Lets the preprocess plug-in in force see the record first: it may
  // replace the bytes, attach an extra block, change the event or drop the
  // record (false). Runs under the queue's lock.
  bool Push(unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST, int nTag,
            int nEvent) override EXCLUDES(lock);

  // Queues nCount lines at once, under one lock and with one change of the
  // counts, each as Push with tag 0 would (the plug-in sees each): line k
  // holds the pLines[k].nLen bytes at pBase + pLines[k].nOffset, with its
  // own time, DST flag and event. Answers how many were queued; a line with
  // a bad count is not, nor one the plug-in drops, nor any without pBase.
  int PushLines(const unsigned char* pBase, const poshark::commands::HeldLines::Line* pLines,
                int nCount) EXCLUDES(lock);

  // As RCDataQueue::GetAt, then the extra block: *pExtraLen is in: the room
  // in pExtraBuf, out: the bytes copied there (at most that room; a longer
  // block is cut to the room). Without pExtraBuf, *pExtraLen receives the
  // block's full length and the answer is false with the record left queued.
  bool GetAt(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST, int* pTag, int* pEvent,
             int nIndex, bool bRemove, unsigned char* pExtraBuf, int* pExtraLen)
      EXCLUDES(takeLock, lock);

  // Waits until nLen more bytes keep the queue below nLimit, so that a push
  // does not trigger the overflow rule merely because the writer was not
  // scheduled for a moment. Gives up (false) when the oldest queued record
  // has waited dwMaxLagMs, i.e. the host really does not keep up, or when
  // pStop is set; true at once when the queue is empty.
  bool WaitForRoom(int nLen, int nLimit, poshark::platform::Event* pStop, uint32_t dwMaxLagMs)
      EXCLUDES(takeLock, lock);

 private:
  // Push's steps after the lock: the plug-in pfn (when not null), then a
  // record holding the bytes (with its extra block), not yet placed; null
  // when the record is dropped.
  STRUCT_PosData* PrepareLocked(PFN_Preprocess pfn, const unsigned char* pData, int nLen, int nTag,
                                int nEvent) REQUIRES(lock);
  // The entry in force; caller holds lock.
  PFN_Preprocess PreprocessLocked() const REQUIRES(lock) {
    return preprocess_ ? preprocess_() : nullptr;
  }

  const PreprocessSource preprocess_;
};
