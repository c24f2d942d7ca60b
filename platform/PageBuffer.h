// Large working buffers taken as whole pages straight from the system.
//
// A listener keeps a few buffers as long as its longest record (100 KB
// each) but mostly fills only their first pages. Pages of such a buffer that
// are never written stay out of resident memory, and freeing it gives every
// page back, which a heap does not promise for blocks between others. Under
// AddressSanitizer the buffer comes from the heap, so that reads and writes
// beyond it are still caught.
#pragma once

#include <cstddef>

namespace poshark::platform {

class PageBuffer {
 public:
  PageBuffer() = default;
  // Throws std::bad_alloc when the system has no room.
  explicit PageBuffer(size_t nBytes);
  ~PageBuffer();
  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  unsigned char* get() const { return p_; }
  unsigned char& operator[](size_t i) const { return p_[i]; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  void Release() noexcept;

  unsigned char* p_ = nullptr;
  size_t n_ = 0;
};

}  // namespace poshark::platform
