// Lines the analyzer has cut and not yet queued for the writer: kept in
// order, each with its own time stamp, DST flag and event. They go into the
// write queue a few kilobytes at a time, under one lock, and wait here while
// the queue has no room for them: a busy channel fills the write queue's few
// thousand bytes faster than a sleeping writer wakes up, and held here its
// lines let the analyzer go on instead of sleeping until the writer runs.
//
// Bounded by kHeldBytes of text and kHeldLines lines. The room starts at
// kFirstBytes and kFirstLines at the first line held and doubles as lines
// need it: a paced POS holds a few lines at a time, and a thousand such
// listeners would otherwise each keep pages they never fill.
//
// Locking: none; the analyzer thread's alone.
#pragma once

#include <poshark/KeyRecords.h>

#include <memory>

namespace poshark::commands {

class HeldLines {
 public:
  static constexpr int kHeldBytes = 48 * 1024;
  static constexpr int kHeldLines = 2048;
  static constexpr int kFirstBytes = 1024;
  static constexpr int kFirstLines = 32;

  struct Line {
    int nOffset;  // of its bytes in the held text
    int nLen;
    int nEvent;
    bool bDST;
    SYSTEMTIME stTime;
  };

  bool Empty() const { return nFirst_ == nCount_; }
  int Count() const { return nCount_ - nFirst_; }
  // Bytes of the lines held.
  int HeldBytes() const { return Empty() ? 0 : nUsed_ - pLines_[nFirst_].nOffset; }
  // Whether a line of nLen bytes can be held now.
  bool Fits(int nLen);
  // Holds a line; Fits(nLen) must have answered true.
  void Add(const unsigned char* pData, int nLen, int nEvent, const SYSTEMTIME& stTime, bool bDST);
  // The oldest line held and its bytes; not Empty().
  const Line& Front() const { return pLines_[nFirst_]; }
  const unsigned char* Bytes(const Line& line) const { return pBytes_.get() + line.nOffset; }
  // Every line held, oldest first, Count() of them; their offsets are into Base().
  const Line* Lines() const { return pLines_.get() + nFirst_; }
  const unsigned char* Base() const { return pBytes_.get(); }
  // Lets go of the n oldest lines (at most Count()).
  void PopFront(int n = 1);

 private:
  // Moves the lines still held to the front of both arrays.
  void Compact();
  // Room for nLen more bytes and one more line, within the bounds.
  void Grow(int nLen);

  std::unique_ptr<unsigned char[]> pBytes_;
  std::unique_ptr<Line[]> pLines_;
  int nFirst_ = 0;     // lines before it have gone
  int nCount_ = 0;     // lines added since the arrays were last emptied
  int nUsed_ = 0;      // bytes added since then
  int nByteRoom_ = 0;  // allocated at pBytes_
  int nLineRoom_ = 0;  // allocated at pLines_
};

}  // namespace poshark::commands
