// Graph decoding of "bGraphMode" streams.
#include "commands/GraphDecoder.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace poshark::commands {
namespace {

using platform::CodePage;

// A finished sequence gives at most 4 bytes (two in double-byte pages such as
// windows-936, up to four in GB18030 or UTF-8) and takes at least one input
// byte, so the output of this many input bytes always fits.
constexpr int kGraphSliceLen = kGraphOutRoom / 4;

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
  std::copy(bytes.begin(), bytes.end(), pOut);
  return static_cast<int>(bytes.size());
}

}  // namespace

int GraphDecoder::CharMemo::Convert(const CodePage* pPage, uint32_t w, unsigned char* pOut) {
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

GraphDecoder::GraphDecoder() = default;

GraphDecoder::~GraphDecoder() = default;

void GraphDecoder::Reset() {
  if (!pOut_) {
    pOut_ = std::make_unique<unsigned char[]>(kGraphOutRoom);
  }
  std::memset(pOut_.get(), 0, kGraphOutRoom);
  nOutLen_ = 0;
  std::memset(bySeq_, 0, sizeof bySeq_);
  nSeqLen_ = 0;
  nSeqLeft_ = 0;
}

int GraphDecoder::DecodeChar(unsigned char* pSeq) {
  const uint32_t v = SequenceValue(pSeq);
  const uint32_t w = (1u << (v & 15)) ^ (v >> 4);
  unsigned char out[4];
  const int n = memo_.Convert(CodePage::Ansi(), w, out);
  if (n <= 0) {
    pSeq[0] = 0;
    return 1;
  }
  std::memcpy(pSeq, out, static_cast<size_t>(n));
  return n;
}

void GraphDecoder::FinishSequence(const CodePage* pPage) {
  const uint32_t v = SequenceValue(bySeq_);
  const uint32_t w = (1u << (v & 15)) ^ (v >> 4);
  unsigned char out[4];
  int n = memo_.Convert(pPage, w, out);
  if (n <= 0) {
    out[0] = 0;
    n = 1;
  }
  // DecodeInSlices hands at most kGraphSliceLen bytes, which always fit;
  // the bound only guards the buffer.
  if (nOutLen_ + n <= kGraphOutRoom) {
    std::memcpy(pOut_.get() + nOutLen_, out, static_cast<size_t>(n));
    nOutLen_ += n;
  }
  nSeqLen_ = 0;
  nSeqLeft_ = 0;
}

void GraphDecoder::Decode(int nLen, const unsigned char* pData) {
  nOutLen_ = 0;
  if (!pOut_ || !pData || nLen <= 0) return;
  const CodePage* pPage = CodePage::Ansi();
  int i = 0;
  while (i < nLen) {
    const unsigned char b = pData[i];
    if (nSeqLeft_ == 0) {
      std::memset(bySeq_, 0, sizeof bySeq_);
      bySeq_[0] = b;
      nSeqLen_ = 1;
      ++i;
      if (b < 0x80)
        FinishSequence(pPage);
      else
        nSeqLeft_ = b < 0xE0 ? 1 : (b < 0xF0 ? 2 : 3);
      continue;
    }
    if (b < 0x80 || b > 0xBF) {
      // Not a continuation byte: the sequence is dropped and this byte is
      // read again as a lead byte.
      nSeqLen_ = 0;
      nSeqLeft_ = 0;
      continue;
    }
    bySeq_[nSeqLen_++] = b;
    ++i;
    if (--nSeqLeft_ == 0) FinishSequence(pPage);
  }
}

void GraphDecoder::DecodeInSlices(int nLen, const unsigned char* pData,
                                  const std::function<void(const unsigned char*, int)>& cut) {
  while (nLen > 0 && pData) {
    const int nSlice = nLen < kGraphSliceLen ? nLen : kGraphSliceLen;
    Decode(nSlice, pData);
    if (nOutLen_ > 0) cut(pOut_.get(), nOutLen_);
    nOutLen_ = 0;
    pData += nSlice;
    nLen -= nSlice;
  }
}

}  // namespace poshark::commands
