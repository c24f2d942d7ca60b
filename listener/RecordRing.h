// RecordRing: the records of a queue in order, oldest first.
//
// Not locked: the queue that holds a ring guards it with its own lock.
#pragma once

#include <cstddef>
#include <memory>

struct STRUCT_PosData;

// The queued records in order, oldest first: a ring of pointers that keeps
// its slots, so that a queue fed and emptied millions of times a second by
// two threads makes no allocation (a deque allocates a block on the pushing
// thread and frees it on the taking one for every few dozen records).
class RecordRing {
 public:
  size_t size() const { return nSize; }
  bool empty() const { return nSize == 0; }
  size_t capacity() const { return nCap; }
  STRUCT_PosData* operator[](size_t i) const { return pSlots[(nHead + i) & (nCap - 1)]; }
  STRUCT_PosData* front() const { return (*this)[0]; }
  void push_back(STRUCT_PosData* pRecord) {
    if (nSize == nCap) {
      Reserve(nSize + 1);
    }
    pSlots[(nHead + nSize) & (nCap - 1)] = pRecord;
    ++nSize;
  }
  void pop_front() { pop_front(1); }
  // Takes the n oldest records out (n at most size()).
  void pop_front(size_t n) {
    nHead = (nHead + n) & (nCap - 1);
    nSize -= n;
  }
  // Takes record i out, closing the gap.
  void erase(size_t i);
  // Puts all of other's records before this ring's; other is left empty.
  void prepend(RecordRing& other);
  // Forgets every record; with bRelease the slots are freed too.
  void clear(bool bRelease);
  void swap(RecordRing& other) noexcept;

 private:
  void Reserve(size_t nNeed);

  std::unique_ptr<STRUCT_PosData*[]> pSlots;
  size_t nCap = 0;  // 0 or a power of two
  size_t nHead = 0;
  size_t nSize = 0;
};
