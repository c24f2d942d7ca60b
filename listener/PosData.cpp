// A queued record's storage, and its copy into a taker's buffer.
#include "listener/PosData.h"

#include <cstring>

STRUCT_PosData::~STRUCT_PosData() {
  delete[] pHeap;
  delete[] pExtra;
}

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
