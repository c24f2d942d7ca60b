// The graph-mode sender, for tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace poshark_test {

using Bytes = std::vector<unsigned char>;

// The sender's rule: a 16-bit character w travels as the value
// v = ((w XOR (1 << k)) << 4) | k for any k in 0..15, sent as one byte below
// 0x80, else as a lead byte and one to three continuation bytes of six bits.
inline uint32_t GraphValue(uint16_t w, unsigned k) { return ((uint32_t{w} ^ (1u << k)) << 4) | k; }
inline void AppendGraphSequence(Bytes& out, uint32_t v) {
  const int nMore = v < 0x80 ? 0 : v < 0x800 ? 1 : v < 0x10000 ? 2 : 3;
  const unsigned kLead[] = {0, 0xC0, 0xE0, 0xF0};
  out.push_back(static_cast<unsigned char>(kLead[nMore] | (v >> (6 * nMore))));
  for (int i = nMore - 1; i >= 0; --i)
    out.push_back(static_cast<unsigned char>(0x80 | ((v >> (6 * i)) & 0x3F)));
}
// Cycles k through 0..15, so that every sequence length shows up.
inline Bytes GraphEncode(const std::u16string& text, unsigned k = 0) {
  Bytes out;
  for (char16_t c : text) {
    AppendGraphSequence(out, GraphValue(c, k));
    k = (k + 5) & 15;
  }
  return out;
}

}  // namespace poshark_test
