#include "commands/HeldLines.h"

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
