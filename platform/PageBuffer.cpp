#include "platform/PageBuffer.h"

#include <sys/mman.h>

#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define POSHARK_PAGE_BUFFER_ON_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POSHARK_PAGE_BUFFER_ON_HEAP 1
#endif
#endif

namespace poshark::platform {

PageBuffer::PageBuffer(size_t nBytes) : n_(nBytes) {
#if defined(POSHARK_PAGE_BUFFER_ON_HEAP)
  p_ = new unsigned char[nBytes];
#else
  void* p = ::mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    throw std::bad_alloc();
  }
  p_ = static_cast<unsigned char*>(p);
#endif
}

PageBuffer::~PageBuffer() { Release(); }

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : p_(std::exchange(other.p_, nullptr)), n_(std::exchange(other.n_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    p_ = std::exchange(other.p_, nullptr);
    n_ = std::exchange(other.n_, 0);
  }
  return *this;
}

void PageBuffer::Release() noexcept {
  if (p_ == nullptr) {
    return;
  }
#if defined(POSHARK_PAGE_BUFFER_ON_HEAP)
  delete[] p_;
#else
  ::munmap(p_, n_);
#endif
  p_ = nullptr;
  n_ = 0;
}

}  // namespace poshark::platform
