// Test-side encoder for graph-mode streams, written from the sender's rule:
// a 16-bit character w is sent as the value
//   v = ((w XOR (1 << k)) << 4) | k     for any k in 0..15,
// and v travels in the multi-byte form the decoder reads (one byte below
// 0x80, then two, three or four bytes with six payload bits per
// continuation byte).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace poshark_test {

// The value v that carries the character w with low part k.
inline uint32_t GraphValue(uint16_t w, unsigned k) {
  return ((static_cast<uint32_t>(w) ^ (1u << (k & 15))) << 4) | (k & 15);
}

// Appends v in its sequence form; v must be below 0x200000.
inline void AppendGraphSequence(std::vector<unsigned char>& out, uint32_t v) {
  if (v < 0x80) {
    out.push_back(static_cast<unsigned char>(v));
  } else if (v < 0x800) {
    out.push_back(static_cast<unsigned char>(0xC0 | (v >> 6)));
    out.push_back(static_cast<unsigned char>(0x80 | (v & 0x3F)));
  } else if (v < 0x10000) {
    out.push_back(static_cast<unsigned char>(0xE0 | (v >> 12)));
    out.push_back(static_cast<unsigned char>(0x80 | ((v >> 6) & 0x3F)));
    out.push_back(static_cast<unsigned char>(0x80 | (v & 0x3F)));
  } else {
    out.push_back(static_cast<unsigned char>(0xF0 | (v >> 18)));
    out.push_back(static_cast<unsigned char>(0x80 | ((v >> 12) & 0x3F)));
    out.push_back(static_cast<unsigned char>(0x80 | ((v >> 6) & 0x3F)));
    out.push_back(static_cast<unsigned char>(0x80 | (v & 0x3F)));
  }
}

// Encodes UTF-16 text, cycling the low part k through 0..15 so that every
// sequence length shows up in one stream.
inline std::vector<unsigned char> GraphEncode(const std::u16string& text, unsigned kFirst = 0) {
  std::vector<unsigned char> out;
  unsigned k = kFirst;
  for (char16_t c : text) {
    AppendGraphSequence(out, GraphValue(static_cast<uint16_t>(c), k));
    k = (k + 5) & 15;
  }
  return out;
}

}  // namespace poshark_test
