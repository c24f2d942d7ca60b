// Tests on eight bytes at once, for scans over text that is mostly plain
// ASCII. Each answer is non-zero exactly when some byte of the word passes
// the test (the marks above a true one may be false, so only the answer's
// being zero or not is used).
#pragma once

#include <cstdint>
#include <cstring>

namespace poshark::tool {

inline constexpr uint64_t kByteOnes = ~uint64_t{0} / 255;
inline constexpr uint64_t kByteHighs = kByteOnes * 0x80;

inline uint64_t LoadWord(const char* p) {
  uint64_t x = 0;
  std::memcpy(&x, p, sizeof x);
  return x;
}

// A byte of 0x80 or more.
inline uint64_t AnyHigh(uint64_t x) { return x & kByteHighs; }
// A byte below n, for n up to 0x80.
inline uint64_t AnyBelow(uint64_t x, uint8_t n) { return (x - kByteOnes * n) & ~x & kByteHighs; }
// A byte equal to c.
inline uint64_t AnyEqual(uint64_t x, uint8_t c) { return AnyBelow(x ^ (kByteOnes * c), 1); }

}  // namespace poshark::tool
