// Block scans for bytes that may start something; see TextScan.h.
#include "commands/TextScan.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace poshark::commands {
namespace {

// Bytes of a word, one bit each.
constexpr uint64_t kOnes = ~uint64_t{0} / 255;
constexpr uint64_t kHighBits = kOnes * 0x80;

// The byte-by-byte walk: the tail of a buffer, and sets without a block test.
int WalkTable(const uint8_t* byStarts, const unsigned char* pData, int i, int nEnd) {
  while (i < nEnd && byStarts[pData[i]] == 0) {
    ++i;
  }
  return i < nEnd ? i : nEnd;
}

// Marks the bytes of x equal to one of the listed bytes with their high bit.
// The lowest mark is always a listed byte (a borrow only runs towards later
// bytes, so only marks above a true one can be false).
uint64_t ListedMarks(const ScanPlan& plan, uint64_t x) {
  uint64_t nMarks = 0;
  for (const uint8_t* pRow : plan.aListed) {  // unused rows repeat a listed byte
    uint64_t nRow;
    std::memcpy(&nRow, pRow, sizeof nRow);
    uint64_t y = x ^ nRow;
    nMarks |= (y - kOnes) & ~y & kHighBits;
  }
  return nMarks;
}

#if defined(__SSE2__)
// One bit per byte of the 16 at p that may be a starting byte.
template <bool kListed>
unsigned Candidates(const ScanPlan& plan, const unsigned char* p) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i vHit;
  if constexpr (kListed) {
    // Every row is compared: unused rows repeat a listed byte.
    const auto* aRows = reinterpret_cast<const __m128i*>(plan.aListed);
    static_assert(kMaxListedStarts == 6);
    __m128i v01 = _mm_or_si128(_mm_cmpeq_epi8(v, aRows[0]), _mm_cmpeq_epi8(v, aRows[1]));
    __m128i v23 = _mm_or_si128(_mm_cmpeq_epi8(v, aRows[2]), _mm_cmpeq_epi8(v, aRows[3]));
    __m128i v45 = _mm_or_si128(_mm_cmpeq_epi8(v, aRows[4]), _mm_cmpeq_epi8(v, aRows[5]));
    vHit = _mm_or_si128(_mm_or_si128(v01, v23), v45);
  } else {
    // In the range when (v - low), wrapping, is at most high - low.
    __m128i vOff = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(plan.byLow)));
    __m128i vSpan = _mm_set1_epi8(static_cast<char>(plan.byHigh - plan.byLow));
    vHit = _mm_cmpeq_epi8(_mm_subs_epu8(vOff, vSpan), _mm_setzero_si128());
  }
  return static_cast<unsigned>(_mm_movemask_epi8(vHit));
}

template <bool kListed>
int ScanBlocks(const ScanPlan& plan, const uint8_t* byStarts, const unsigned char* pData, int nFrom,
               int nEnd) {
  constexpr int kBlock = 16;
  int i = nFrom;
  for (;;) {
    // The last block ends at nEnd and may overlap the one before it, whose
    // bytes start nothing.
    int nAt = i <= nEnd - kBlock ? i : nEnd - kBlock;
    unsigned nMask = Candidates<kListed>(plan, pData + nAt);
    if constexpr (kListed) {
      // The listed bytes are exactly the starting ones.
      if (nMask != 0) {
        return nAt + std::countr_zero(nMask);
      }
    }
    while (nMask != 0) {
      int j = nAt + std::countr_zero(nMask);
      if (byStarts[pData[j]] != 0) {
        return j;
      }
      nMask &= nMask - 1;
    }
    i = nAt + kBlock;
    if (i >= nEnd) {
      return nEnd;
    }
  }
}
#endif

}  // namespace

ScanPlan MakeScanPlan(const uint8_t* byStarts) {
  ScanPlan plan;
  for (int b = 0; b < 256; ++b) {
    if (byStarts[b] == 0) {
      continue;
    }
    if (plan.nStarts == 0) {
      plan.byLow = static_cast<uint8_t>(b);
    }
    plan.byHigh = static_cast<uint8_t>(b);
    if (plan.nStarts < kMaxListedStarts) {
      std::memset(plan.aListed[plan.nStarts], b, sizeof plan.aListed[0]);
    }
    ++plan.nStarts;
  }
  for (int k = plan.nStarts; k < kMaxListedStarts && plan.nStarts > 0; ++k) {
    std::memcpy(plan.aListed[k], plan.aListed[0], sizeof plan.aListed[0]);
  }
  return plan;
}

int FindStartPortable(const ScanPlan& plan, const uint8_t* byStarts, const unsigned char* pData,
                      int nFrom, int nEnd) {
  if (nFrom >= nEnd || plan.nStarts == 0) {
    return nEnd;
  }
  int i = nFrom;
  if (plan.nStarts <= kMaxListedStarts) {
    while (i + 8 <= nEnd) {
      uint64_t x;
      std::memcpy(&x, pData + i, sizeof x);
      if constexpr (std::endian::native == std::endian::big) {
        x = __builtin_bswap64(x);  // the first byte must be the lowest
      }
      uint64_t nMarks = ListedMarks(plan, x);
      if (nMarks == 0) {
        i += 8;
        continue;
      }
      // The listed bytes are exactly the starting ones.
      return i + std::countr_zero(nMarks) / 8;
    }
  }
  return WalkTable(byStarts, pData, i, nEnd);
}

#if defined(__SSE2__)
int FindStartSse2(const ScanPlan& plan, const uint8_t* byStarts, const unsigned char* pData,
                  int nFrom, int nEnd) {
  if (nFrom >= nEnd || plan.nStarts == 0) {
    return nEnd;
  }
  if (nEnd - nFrom < 16) {
    return WalkTable(byStarts, pData, nFrom, nEnd);
  }
  return plan.nStarts <= kMaxListedStarts ? ScanBlocks<true>(plan, byStarts, pData, nFrom, nEnd)
                                          : ScanBlocks<false>(plan, byStarts, pData, nFrom, nEnd);
}
#endif

int FindStart(const ScanPlan& plan, const uint8_t* byStarts, const unsigned char* pData, int nFrom,
              int nEnd) {
#if defined(__SSE2__)
  return FindStartSse2(plan, byStarts, pData, nFrom, nEnd);
#else
  return FindStartPortable(plan, byStarts, pData, nFrom, nEnd);
#endif
}

}  // namespace poshark::commands
