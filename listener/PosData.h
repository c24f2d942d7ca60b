// One record of the listener's record queues (RCDataQueue, RCLineQueue):
// a copy of its bytes with the time stamp and DST flag of their arrival.
//
// Ownership: a record belongs to the queue that holds it, or to the taker
// that took it out in a batch until it gives it back. Not locked itself.
#pragma once

#include <poshark/KeyRecords.h>

#include <cstdint>

// One queued record, owned by the queue that holds it.
struct STRUCT_PosData {
  STRUCT_PosData() = default;
  ~STRUCT_PosData();
  STRUCT_PosData(const STRUCT_PosData&) = delete;
  STRUCT_PosData& operator=(const STRUCT_PosData&) = delete;

  unsigned char* pData = nullptr;  // nLen bytes, not NUL-terminated: abyInline or pHeap
  int nLen = 0;
  SYSTEMTIME stTime = {};  // the pusher's, or the local time at the push
  bool bDST = false;
  int nTag = 0;                     // stored and returned unchanged
  int nEvent = -1;                  // transaction event code; always -1 in the analyze queue
  unsigned char* pExtra = nullptr;  // write queue: the preprocess plug-in's block, owned, or null
  int nExtraLen = 0;                // 0 exactly when pExtra is null
  uint32_t dwQueuedTick = 0;        // write queue: coarse monotonic ms of the push
  // Storage of the bytes. Most lines fit in the record itself, so that the
  // taking thread finds them in the cache lines it reads anyway; longer ones
  // get a buffer of their own, kept when the record is reused.
  static constexpr int kInline = 64;
  unsigned char abyInline[kInline];
  unsigned char* pHeap = nullptr;  // owned
  int nCap = 0;                    // bytes allocated at pHeap
};

// Copies a record out as GetAt describes, into pBuf (not null); pTime,
// pDST, pTag and pEvent may each be null. False when the room *pLen is too
// small: then *pLen tells the room needed.
bool CopyOut(const STRUCT_PosData& record, int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime,
             bool* pDST, int* pTag, int* pEvent);
