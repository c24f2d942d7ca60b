#include "listener/RCDataQueue.h"

#include <poshark/RCPosHark.h>

#include <climits>
#include <cstring>

#include "commands/Plugins.h"
#include "commands/RCCmdSet.h"
#include "platform/Clock.h"

STRUCT_PosData::~STRUCT_PosData() {
  delete[] pData;
  delete[] pExtra;
}

namespace {

// An owned copy of the pushed bytes; the caller has checked the count.
STRUCT_PosData* NewRecord(const unsigned char* pData, int nLen, int nTag, int nEvent) {
  auto* pRecord = new STRUCT_PosData;
  pRecord->pData = new unsigned char[nLen > 0 ? nLen : 1];
  if (nLen > 0) {
    std::memcpy(pRecord->pData, pData, static_cast<size_t>(nLen));
  }
  pRecord->nLen = nLen;
  pRecord->nTag = nTag;
  pRecord->nEvent = nEvent;
  return pRecord;
}

}  // namespace

RCDataQueue::RCDataQueue(int nKindIn) : nKind(nKindIn) {}

RCDataQueue::~RCDataQueue() { Clear(); }

bool RCDataQueue::Push(unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST, int nTag,
                       int nEvent) {
  if (nLen < 0 || (nLen > 0 && !pData)) {
    return false;
  }
  auto* pRecord = NewRecord(pData, nLen, nTag, nEvent);
  std::lock_guard<std::recursive_mutex> guard(lock);
  AppendLocked(pRecord, pTime, bDST);
  return true;
}

void RCDataQueue::AppendLocked(STRUCT_PosData* pRecord, SYSTEMTIME* pTime, bool bDST) {
  if (pTime) {
    pRecord->stTime = *pTime;
    pRecord->bDST = bDST;
  } else {
    poshark::platform::GetLocalTime(&pRecord->stTime);
    RCPosHark::DstFt pfnDst = pOwner ? pOwner->pfnDstFt.load() : nullptr;
    pRecord->bDST = pfnDst ? pfnDst(nullptr) : false;
  }
  nTotalBytes += pRecord->nLen;
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
  if (pTag) {
    *pTag = pRecord->nTag;
  }
  if (pEvent) {
    *pEvent = pRecord->nEvent;
  }
  if (*pLen < pRecord->nLen) {
    *pLen = pRecord->nLen;
    return nullptr;
  }
  if (pTime) {
    *pTime = pRecord->stTime;
  }
  if (pDST) {
    *pDST = pRecord->bDST;
  }
  if (pRecord->nLen > 0) {
    std::memcpy(pBuf, pRecord->pData, static_cast<size_t>(pRecord->nLen));
  }
  *pLen = pRecord->nLen;
  return pRecord;
}

void RCDataQueue::RemoveLocked(int nIndex) {
  STRUCT_PosData* pRecord = records[static_cast<size_t>(nIndex)];
  nTotalBytes -= pRecord->nLen;
  records.erase(records.begin() + nIndex);
  delete pRecord;
}

bool RCDataQueue::GetAt(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST, int* pTag,
                        int* pEvent, int nIndex, bool bRemove) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (!CopyOutLocked(pLen, pBuf, pTime, pDST, pTag, pEvent, nIndex)) {
    return false;
  }
  if (bRemove) {
    RemoveLocked(nIndex);
  }
  return true;
}

void RCDataQueue::ClearLocked() {
  for (STRUCT_PosData* pRecord : records) {
    delete pRecord;
  }
  records.clear();
  records.shrink_to_fit();
  nTotalBytes = 0;
}

void RCDataQueue::Clear() {
  std::lock_guard<std::recursive_mutex> guard(lock);
  ClearLocked();
}

int RCDataQueue::GetTotalBytes() {
  std::lock_guard<std::recursive_mutex> guard(lock);
  return nTotalBytes > INT_MAX ? INT_MAX : static_cast<int>(nTotalBytes);
}

int RCDataQueue::GetCount() {
  std::lock_guard<std::recursive_mutex> guard(lock);
  return static_cast<int>(records.size());
}

RCLineQueue::RCLineQueue(int nKindIn) : RCDataQueue(nKindIn) {}

RCLineQueue::~RCLineQueue() = default;

bool RCLineQueue::Push(unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST, int nTag,
                       int nEvent) {
  if (nLen < 0 || (nLen > 0 && !pData)) {
    return false;  // never hand the plug-in a count its data does not back
  }
  std::lock_guard<std::recursive_mutex> guard(lock);
  unsigned char* pExtraIn = nullptr;
  int nExtraIn = 0;
  if (pCmdSet && pCmdSet->bDllPreprocess && pCmdSet->pfnPreprocess) {
    unsigned char* pOut = nullptr;
    int nOut = 0;
    pCmdSet->pfnPreprocess(pData, nLen, &pOut, &nOut, &pExtraIn, &nExtraIn, &nEvent);
    // A count beyond what the writer can deliver cannot be trusted to match
    // the plug-in's memory either: the record is dropped, not copied.
    if (!pOut || nOut > poshark::commands::kMaxPreprocessedLen) {
      return false;
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
    return false;
  }
  auto* pRecord = NewRecord(pData, nLen, nTag, nEvent);
  if (pExtraIn) {
    pRecord->pExtra = new unsigned char[nExtraIn];
    std::memcpy(pRecord->pExtra, pExtraIn, static_cast<size_t>(nExtraIn));
    pRecord->nExtraLen = nExtraIn;
  }
  AppendLocked(pRecord, pTime, bDST);
  return true;
}

bool RCLineQueue::GetAt(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST, int* pTag,
                        int* pEvent, int nIndex, bool bRemove, unsigned char* pExtraBuf,
                        int* pExtraLen) {
  std::lock_guard<std::recursive_mutex> guard(lock);
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
  int nRoom = pExtraLen && *pExtraLen > 0 ? *pExtraLen : 0;
  int nCopy = pRecord->nExtraLen < nRoom ? pRecord->nExtraLen : nRoom;
  if (nCopy > 0) {
    std::memcpy(pExtraBuf, pRecord->pExtra, static_cast<size_t>(nCopy));
  }
  if (pExtraLen) {
    *pExtraLen = nCopy;
  }
  if (bRemove) {
    RemoveLocked(nIndex);
  }
  return true;
}
