#include "commands/HeldLines.h"

#include <algorithm>
#include <cstring>

namespace poshark::commands {

bool HeldLines::Fits(int nLen) {
  auto room = [&] { return nLen <= kHeldBytes - nUsed_ && nCount_ < kHeldLines; };
  if (nLen < 0) {
    return false;
  }
  if (!room() && nFirst_ > 0) {
    Compact();  // gives back what the lines gone took
  }
  return room();
}

void HeldLines::Add(const unsigned char* pData, int nLen, int nEvent, const SYSTEMTIME& stTime,
                    bool bDST) {
  if (nUsed_ + nLen > nByteRoom_ || nCount_ == nLineRoom_) {
    Grow(nLen);
  }
  if (nLen > 0) {
    std::memcpy(pBytes_.get() + nUsed_, pData, static_cast<size_t>(nLen));
  }
  pLines_[nCount_++] = Line{nUsed_, nLen, nEvent, bDST, stTime};
  nUsed_ += nLen;
}

void HeldLines::Grow(int nLen) {
  auto grown = [](int nRoom, int nFirst, int nNeed, int nBound) {
    int nNew = nRoom == 0 ? nFirst : nRoom;
    while (nNew < nNeed) nNew *= 2;
    return std::min(nNew, nBound);
  };
  // Taken at the first line even when it is empty: Base() is never null
  // while lines are held.
  if (nUsed_ + nLen > nByteRoom_ || nByteRoom_ == 0) {
    const int nRoom = grown(nByteRoom_, kFirstBytes, nUsed_ + nLen, kHeldBytes);
    auto pNew = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(nRoom));
    if (nUsed_ > 0) std::memcpy(pNew.get(), pBytes_.get(), static_cast<size_t>(nUsed_));
    pBytes_ = std::move(pNew);
    nByteRoom_ = nRoom;
  }
  if (nCount_ == nLineRoom_) {
    const int nRoom = grown(nLineRoom_, kFirstLines, nCount_ + 1, kHeldLines);
    auto pNew = std::make_unique_for_overwrite<Line[]>(static_cast<size_t>(nRoom));
    std::copy(pLines_.get(), pLines_.get() + nCount_, pNew.get());
    pLines_ = std::move(pNew);
    nLineRoom_ = nRoom;
  }
}

void HeldLines::PopFront(int n) {
  nFirst_ += n;
  if (nFirst_ >= nCount_) {
    nFirst_ = nCount_ = nUsed_ = 0;
  }
}

void HeldLines::Compact() {
  const int nFrom = pLines_[nFirst_].nOffset;
  std::memmove(pBytes_.get(), pBytes_.get() + nFrom, static_cast<size_t>(nUsed_ - nFrom));
  for (int i = nFirst_; i < nCount_; ++i) {
    Line line = pLines_[i];
    line.nOffset -= nFrom;
    pLines_[i - nFirst_] = line;
  }
  nCount_ -= nFirst_;
  nUsed_ -= nFrom;
  nFirst_ = 0;
}

}  // namespace poshark::commands
