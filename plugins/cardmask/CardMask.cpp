#include "CardMask.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace poshark::cardmask {

namespace {

constexpr size_t kMinDigits = 14;
constexpr size_t kMaxDigits = 19;
constexpr size_t kKeptDigits = 4;
// Groups looked at in one window: nineteen digits in groups of at least one.
constexpr size_t kMaxGroups = 64;

// An issuer prefix range (compared on the first `digits` digits) and the
// lengths the scheme issues, as a bit set (bit n: n digits).
struct Issuer {
  unsigned low;
  unsigned high;
  int digits;
  unsigned lengths;
};

constexpr unsigned Lengths(unsigned from, unsigned to) {
  unsigned bits = 0;
  for (unsigned n = from; n <= to; ++n) bits |= 1u << n;
  return bits;
}

constexpr Issuer kIssuers[] = {
    {4, 4, 1, (1u << 16) | (1u << 19)},  // Visa
    {51, 55, 2, 1u << 16},               // Mastercard
    {2221, 2720, 4, 1u << 16},           // Mastercard 2-series
    {34, 34, 2, 1u << 15},               // American Express
    {37, 37, 2, 1u << 15},               // American Express
    {300, 305, 3, Lengths(14, 19)},      // Diners Club
    {36, 36, 2, Lengths(14, 19)},        // Diners Club
    {38, 39, 2, Lengths(14, 19)},        // Diners Club
    {3095, 3095, 4, Lengths(14, 19)},    // Diners Club
    {3528, 3589, 4, Lengths(16, 19)},    // JCB
    {6011, 6011, 4, Lengths(16, 19)},    // Discover
    {644, 649, 3, Lengths(16, 19)},      // Discover
    {65, 65, 2, Lengths(16, 19)},        // Discover
    {62, 62, 2, Lengths(16, 19)},        // UnionPay
    {2200, 2204, 4, Lengths(16, 19)},    // Mir
    {5018, 5018, 4, Lengths(14, 19)},    // Maestro
    {5020, 5020, 4, Lengths(14, 19)},    // Maestro
    {5038, 5038, 4, Lengths(14, 19)},    // Maestro
    {5893, 5893, 4, Lengths(14, 19)},    // Maestro
    {6304, 6304, 4, Lengths(14, 19)},    // Maestro
    {6759, 6759, 4, Lengths(14, 19)},    // Maestro
    {6761, 6763, 4, Lengths(14, 19)},    // Maestro
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsSeparator(char c) { return c == ' ' || c == '-'; }

bool IssuedLength(const char* digits, size_t count) {
  for (const Issuer& issuer : kIssuers) {
    unsigned prefix = 0;
    for (int i = 0; i < issuer.digits; ++i)
      prefix = prefix * 10 + static_cast<unsigned>(digits[i] - '0');
    if (prefix >= issuer.low && prefix <= issuer.high && (issuer.lengths & (1u << count)) != 0) {
      return true;
    }
  }
  return false;
}

bool PassesLuhn(const char* digits, size_t count) {
  unsigned sum = 0;
  for (size_t i = 0; i < count; ++i) {
    unsigned d = static_cast<unsigned>(digits[count - 1 - i] - '0');
    if (i % 2 == 1) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
  }
  return sum % 10 == 0;
}

struct Group {
  size_t begin;
  size_t end;
};

// Groups of four but the last (one to four digits), or 4-6-5 / 4-6-4, all
// split by the same separator.
bool CardShape(const char* text, const Group* g, size_t n) {
  if (n == 1) return true;
  char sep = text[g[0].end];
  for (size_t i = 0; i + 1 < n; ++i) {
    if (text[g[i].end] != sep) return false;
  }
  auto len = [&](size_t i) { return g[i].end - g[i].begin; };
  if (n == 3 && len(0) == 4 && len(1) == 6 && (len(2) == 5 || len(2) == 4)) return true;
  for (size_t i = 0; i + 1 < n; ++i) {
    if (len(i) != 4) return false;
  }
  return len(n - 1) >= 1 && len(n - 1) <= 4;
}

// Tests the groups g[0..n) as one number; masks it when it is a card's.
bool MaskIfCard(char* text, const Group* g, size_t n) {
  char digits[kMaxDigits];
  size_t count = 0;
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = g[i].begin; k < g[i].end; ++k) {
      if (count == kMaxDigits) return false;
      digits[count++] = text[k];
    }
  }
  if (count < kMinDigits || !CardShape(text, g, n) || !IssuedLength(digits, count) ||
      !PassesLuhn(digits, count)) {
    return false;
  }
  size_t masked = 0;
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = g[i].begin; k < g[i].end && masked < count - kKeptDigits; ++k, ++masked) {
      text[k] = '*';
    }
  }
  return true;
}

// Looks for card numbers among groups split by single separators: every run
// of whole groups is a candidate, the longest first at each start.
int MaskGroups(char* text, const Group* g, size_t n) {
  int found = 0;
  size_t start = 0;
  while (start < n) {
    size_t digits = 0, end = start;
    while (end < n && digits + (g[end].end - g[end].begin) <= kMaxDigits) {
      digits += g[end].end - g[end].begin;
      ++end;
    }
    bool hit = false;
    for (size_t stop = end; stop > start && !hit; --stop) {
      hit = MaskIfCard(text, g + start, stop - start);
      if (hit) {
        ++found;
        start = stop;
      }
    }
    if (!hit) ++start;
  }
  return found;
}

#if defined(__SSE2__)
// Digits in a text of sixteen bytes or more, sixteen at a time: each block
// subtracts its compare mask (-1 for a digit) from sixteen byte counters,
// which are summed before any could pass 255.
size_t CountDigitsInBlocks(const char* text, size_t size) {
  constexpr size_t kBlock = 16;
  constexpr size_t kBlocksPerSum = 255 - 1;  // the last bytes add one more
  // Loaded at offset n: 16 - n bytes kept out, then n bytes let through.
  static constexpr unsigned char kTail[2 * kBlock] = {
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const __m128i below = _mm_set1_epi8('0' - 1);
  const __m128i above = _mm_set1_epi8('9' + 1);
  // Bytes above 0x7F are negative here, so below '0'.
  auto digit_bytes = [&](const char* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return _mm_and_si128(_mm_cmpgt_epi8(v, below), _mm_cmplt_epi8(v, above));
  };
  auto sum = [](__m128i counts) {
    const __m128i halves = _mm_sad_epu8(counts, _mm_setzero_si128());
    return static_cast<size_t>(_mm_cvtsi128_si32(halves)) +
           static_cast<size_t>(_mm_extract_epi16(halves, 4));
  };
  size_t digits = 0;
  __m128i counts = _mm_setzero_si128();
  size_t blocks = 0;
  size_t i = 0;
  for (; i + kBlock <= size; i += kBlock) {
    counts = _mm_sub_epi8(counts, digit_bytes(text + i));
    if (++blocks == kBlocksPerSum) {
      digits += sum(counts);
      counts = _mm_setzero_si128();
      blocks = 0;
    }
  }
  if (i < size) {
    // The last bytes: the text's last sixteen, without those counted already.
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTail + (size - i)));
    counts = _mm_sub_epi8(counts, _mm_and_si128(digit_bytes(text + size - kBlock), tail));
  }
  return digits + sum(counts);
}
#endif

// Digits in the text, eight bytes at a time. A byte is a digit when, XORed
// with '0', it is below ten. Each word adds one to each byte lane of `lanes`
// that held a digit; the lanes are summed before their total could pass 255.
size_t CountDigits(const char* text, size_t size) {
#if defined(__SSE2__)
  if (size >= 16) return CountDigitsInBlocks(text, size);
#endif
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  constexpr size_t kWordsPerSum = 255 / 8;
  auto digit_lanes = [](uint64_t x) {
    const uint64_t t = x ^ (kOnes * '0');
    // High bit of each byte: its low seven bits are ten or more (no carry
    // crosses a byte: 0x7F + 0x76 < 0x100).
    const uint64_t ten_or_more = (t & ~kHighs) + kOnes * (0x80 - 10);
    return (~(ten_or_more | t) & kHighs) >> 7;
  };
  auto sum_lanes = [](uint64_t lanes) { return static_cast<size_t>((lanes * kOnes) >> 56); };
  size_t digits = 0;
  uint64_t lanes = 0;
  size_t words = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t x;
    std::memcpy(&x, text + i, sizeof x);
    lanes += digit_lanes(x);
    if (++words == kWordsPerSum) {
      digits += sum_lanes(lanes);
      lanes = 0;
      words = 0;
    }
  }
  // The last bytes: the text's last word, without the bytes counted already
  // (the later bytes are the higher ones). The lanes take one word more.
  const size_t rest = size - i;
  if (rest > 0 && size >= 8) {
    uint64_t x;
    std::memcpy(&x, text + size - 8, sizeof x);
    lanes += digit_lanes(x) & (~uint64_t{0} << (8 * (8 - rest)));
  } else {
    for (; i < size; ++i) digits += static_cast<unsigned char>(text[i] - '0') < 10;
  }
  return digits + sum_lanes(lanes);
}

}  // namespace

int MaskCardNumbers(char* text, size_t size) {
  // Most lines hold fewer digits than the shortest card number: those are
  // left at once.
  if (CountDigits(text, size) < kMinDigits) return 0;
  int found = 0;
  size_t i = 0;
  Group groups[kMaxGroups];
  while (i < size) {
    if (!IsDigit(text[i]) || (i > 0 && IsAlnum(text[i - 1]))) {
      ++i;
      continue;
    }
    // A chain of digit groups split by single separators.
    size_t n = 0;
    size_t k = i;
    for (;;) {
      size_t begin = k;
      while (k < size && IsDigit(text[k])) ++k;
      if (n < kMaxGroups) groups[n++] = {begin, k};
      if (k + 1 < size && IsSeparator(text[k]) && IsDigit(text[k + 1])) {
        ++k;
        continue;
      }
      break;
    }
    // A letter right after the chain makes it part of a code.
    if (!(k < size && IsAlnum(text[k])) && n < kMaxGroups) found += MaskGroups(text, groups, n);
    i = k;
  }
  return found;
}

}  // namespace poshark::cardmask
