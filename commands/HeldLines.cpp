#include "commands/HeldLines.h"

#include <cstring>

namespace poshark::commands {

bool HeldLines::Fits(int nLen) {
  if (nLen < 0 || nLen > kHeldBytes) {
    return false;
  }
  if (nUsed_ + nLen <= kHeldBytes && nCount_ < kHeldLines) {
    return true;
  }
  if (nFirst_ == 0) {
    return false;  // nothing has gone that compacting would give back
  }
  Compact();
  return nUsed_ + nLen <= kHeldBytes && nCount_ < kHeldLines;
}

void HeldLines::Add(const unsigned char* pData, int nLen, int nEvent, const SYSTEMTIME& stTime,
                    bool bDST) {
  if (!pBytes_) {
    pBytes_ = std::make_unique_for_overwrite<unsigned char[]>(kHeldBytes);
    pLines_ = std::make_unique_for_overwrite<Line[]>(kHeldLines);
  }
  if (nLen > 0) {
    std::memcpy(pBytes_.get() + nUsed_, pData, static_cast<size_t>(nLen));
  }
  pLines_[nCount_++] = Line{nUsed_, nLen, nEvent, bDST, stTime};
  nUsed_ += nLen;
}

void HeldLines::PopFront() {
  if (++nFirst_ == nCount_) {
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
