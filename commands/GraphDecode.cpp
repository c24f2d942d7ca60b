// Graph decoding of "bGraphMode" streams and the output code map.
//
// A graph-mode POS sends each 16-bit character w as a value
// v = ((w XOR (1 << k)) << 4) | k, written as a UTF-8-like sequence of one
// to four bytes. DecodeGraph collects the sequences (also across chunks),
// recovers w and converts it to the configured ANSI code page.
#include <poshark/RCPosHark.h>

#include "platform/CodePage.h"

#include <array>
#include <cstring>
#include <memory>
#include <string>

using poshark::platform::CodePage;

namespace {

// Room of pGraphBuf (allocated by ListenStart).
constexpr int kGraphBufSize = 50001;
// A finished sequence gives at most 4 bytes (two in double-byte pages such as
// windows-936, up to four in GB18030 or UTF-8) and takes
// at least one input byte, so the output of this many input bytes always fits.
constexpr int kGraphSliceLen = kGraphBufSize / 4;

// Value of a finished sequence; only the low 6 bits of continuation bytes
// count and nothing is validated.
uint32_t SequenceValue(const unsigned char* pSeq) {
  uint32_t lead = pSeq[0];
  if (lead < 0x80) return lead;
  if (lead < 0xE0) return ((lead & 0x1F) << 6) | (pSeq[1] & 0x3Fu);
  if (lead < 0xF0) return ((lead & 0x0F) << 12) | ((pSeq[1] & 0x3Fu) << 6) | (pSeq[2] & 0x3Fu);
  return ((lead & 0x07) << 18) | ((pSeq[1] & 0x3Fu) << 12) | ((pSeq[2] & 0x3Fu) << 6) |
         (pSeq[3] & 0x3Fu);
}

// Converts one character to the page; answers the byte count (0 when there
// is no character: w is 0 or the page cannot express it at all).
// Values above 0xFFFF (only from four-byte sequences no 16-bit character
// produces) are taken as the code point they name, so a page without it
// gives its substitution character instead of an unrelated character.
int ConvertChar(const CodePage* pPage, uint32_t w, unsigned char* pOut) {
  if (w == 0) return 0;
  if (w <= 0xFFFF) return pPage->FromUnicode(static_cast<char16_t>(w), pOut, 4);
  const uint32_t u = w - 0x10000;
  const char16_t pair[2] = {static_cast<char16_t>(0xD800 + (u >> 10)),
                            static_cast<char16_t>(0xDC00 + (u & 0x3FF))};
  std::string bytes = pPage->FromUnicode(std::u16string_view(pair, 2));
  if (bytes.empty() || bytes.size() > 4) return 0;
  std::memcpy(pOut, bytes.data(), bytes.size());
  return static_cast<int>(bytes.size());
}

// Per-thread memo of the conversions of 16-bit characters for one page, in
// rows of 256 characters allocated on first use: the ICU call (and its lock)
// is paid once per character and thread. An entry holds 0 when unknown,
// otherwise 0x80000000 | (count << 24) | the bytes, for counts up to 3.
class CharMemo {
 public:
  int Convert(const CodePage* pPage, uint32_t w, unsigned char* pOut) {
    if (w > 0xFFFF) return ConvertChar(pPage, w, pOut);
    if (pPage != pPage_) {
      for (auto& row : rows_) row.reset();
      pPage_ = pPage;
    }
    auto& row = rows_[w >> 8];
    if (!row) row = std::make_unique<uint32_t[]>(256);
    uint32_t& entry = row[w & 0xFF];
    if (entry == 0) {
      unsigned char bytes[4] = {};
      int n = ConvertChar(pPage, w, bytes);
      if (n > 3) {
        std::memcpy(pOut, bytes, static_cast<size_t>(n));
        return n;
      }
      entry = 0x80000000u | (static_cast<uint32_t>(n) << 24) | (uint32_t{bytes[0]} << 16) |
              (uint32_t{bytes[1]} << 8) | bytes[2];
    }
    const int n = static_cast<int>((entry >> 24) & 0x7F);
    pOut[0] = static_cast<unsigned char>(entry >> 16);
    pOut[1] = static_cast<unsigned char>(entry >> 8);
    pOut[2] = static_cast<unsigned char>(entry);
    return n;
  }

 private:
  const CodePage* pPage_ = nullptr;
  std::array<std::unique_ptr<uint32_t[]>, 256> rows_;
};

// Converts the finished sequence in place; answers the bytes now in it.
int DecodeSequence(const CodePage* pPage, unsigned char* pSeq) {
  thread_local CharMemo memo;
  const uint32_t v = SequenceValue(pSeq);
  const uint32_t w = (1u << (v & 15)) ^ (v >> 4);
  unsigned char out[4];
  const int n = memo.Convert(pPage, w, out);
  if (n <= 0) {
    pSeq[0] = 0;
    return 1;
  }
  std::memcpy(pSeq, out, static_cast<size_t>(n));
  return n;
}

}  // namespace

int RCPosHark::DecodeWChar(unsigned char* pSeq) { return DecodeSequence(CodePage::Ansi(), pSeq); }

void RCPosHark::DecodeGraph(int nLen, unsigned char* pData) {
  nGraphLen = 0;
  if (!pGraphBuf || !pData || nLen <= 0) return;
  const CodePage* pPage = CodePage::Ansi();
  unsigned char* pOut = pGraphBuf.get();
  auto finish = [&] {
    const int n = DecodeSequence(pPage, bySeq);
    // DecodeGraphAndCut hands at most kGraphSliceLen bytes, which always
    // fit; the bound only guards the buffer.
    if (nGraphLen + n <= kGraphBufSize) {
      std::memcpy(pOut + nGraphLen, bySeq, static_cast<size_t>(n));
      nGraphLen += n;
    }
    nSeqLen = 0;
    nSeqLeft = 0;
  };
  int i = 0;
  while (i < nLen) {
    const unsigned char b = pData[i];
    if (nSeqLeft == 0) {
      std::memset(bySeq, 0, sizeof bySeq);
      bySeq[0] = b;
      nSeqLen = 1;
      ++i;
      if (b < 0x80)
        finish();
      else
        nSeqLeft = b < 0xE0 ? 1 : (b < 0xF0 ? 2 : 3);
      continue;
    }
    if (b < 0x80 || b > 0xBF) {
      // Not a continuation byte: the sequence is dropped and this byte is
      // read again as a lead byte.
      nSeqLen = 0;
      nSeqLeft = 0;
      continue;
    }
    bySeq[nSeqLen++] = b;
    ++i;
    if (--nSeqLeft == 0) finish();
  }
}

bool RCPosHark::EnableCodeMap(bool bOn, unsigned char* pTable) {
  if (pTable) {
    std::lock_guard<std::mutex> guard(csCodeMap);
    std::memcpy(byCodeMap, pTable, sizeof byCodeMap);
  }
  bCodeMapOn = bOn;
  return true;
}

void RCPosHark::DecodeGraphAndCut(int nLen, unsigned char* pData) {
  while (nLen > 0 && pData) {
    const int nSlice = nLen < kGraphSliceLen ? nLen : kGraphSliceLen;
    DecodeGraph(nSlice, pData);
    if (nGraphLen > 0) CutLines(nGraphLen, pGraphBuf.get());
    nGraphLen = 0;
    pData += nSlice;
    nLen -= nSlice;
  }
}

void RCPosHark::ApplyCodeMap(unsigned char* pData, int nLen) {
  if (!bCodeMapOn || !pData) return;
  std::lock_guard<std::mutex> guard(csCodeMap);
  for (int i = 0; i < nLen; ++i) pData[i] = byCodeMap[pData[i]];
}
