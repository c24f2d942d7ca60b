// The ring of a queue's record pointers.
#include "listener/RecordRing.h"

#include <utility>

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
