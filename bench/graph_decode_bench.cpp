// Throughput of graph decoding: bytes of a graph-encoded stream decoded per
// second, in a single-byte and a double-byte code page, in serial-read sized
// blocks (512 bytes). The yardstick converts every character with its own
// code-page call, as the plain algorithm does; DecodeGraph remembers each
// character's conversion per thread.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "tests/commands/GraphEncoder.h"
#include "tests/listener/TestAccess.h"

namespace {

std::vector<unsigned char> Stream(const std::u16string& line, size_t nBytes) {
  std::vector<unsigned char> out;
  unsigned k = 0;
  while (out.size() < nBytes) {
    std::vector<unsigned char> part = poshark_test::GraphEncode(line, k++ & 15);
    out.insert(out.end(), part.begin(), part.end());
  }
  out.resize(nBytes);
  return out;
}

void DecodeBlocks(benchmark::State& state, const char* pszPage, const std::u16string& line) {
  setenv("POSHARK_CODEPAGE", pszPage, 1);
  RCPosHark listener(1);
  const std::vector<unsigned char> block = Stream(line, 512);
  for (auto _ : state) {
    auto out = RCPosHarkTestAccess::DecodeGraph(listener, block);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512);
}

// The plain algorithm: collect a sequence, compute w, one conversion call.
void ConvertEachCharacter(benchmark::State& state, const char* pszPage,
                          const std::u16string& line) {
  setenv("POSHARK_CODEPAGE", pszPage, 1);
  const std::vector<unsigned char> block = Stream(line, 512);
  std::vector<unsigned char> out(1024);
  for (auto _ : state) {
    const poshark::platform::CodePage* pPage = poshark::platform::CodePage::Ansi();
    size_t nOut = 0;
    for (size_t i = 0; i < block.size();) {
      unsigned char seq[4] = {block[i], 0, 0, 0};
      size_t n = seq[0] < 0x80 ? 1 : seq[0] < 0xE0 ? 2 : seq[0] < 0xF0 ? 3 : 4;
      if (i + n > block.size()) break;
      for (size_t j = 1; j < n; ++j) seq[j] = block[i + j];
      i += n;
      uint32_t v = n == 1   ? seq[0]
                   : n == 2 ? ((seq[0] & 0x1Fu) << 6) | (seq[1] & 0x3Fu)
                   : n == 3 ? ((seq[0] & 0x0Fu) << 12) | ((seq[1] & 0x3Fu) << 6) | (seq[2] & 0x3Fu)
                            : ((seq[0] & 0x07u) << 18) | ((seq[1] & 0x3Fu) << 12) |
                                  ((seq[2] & 0x3Fu) << 6) | (seq[3] & 0x3Fu);
      uint32_t w = ((1u << (v & 15)) ^ (v >> 4)) & 0xFFFF;
      int nBytes = pPage->FromUnicode(static_cast<char16_t>(w), out.data() + nOut, 4);
      nOut += nBytes > 0 ? static_cast<size_t>(nBytes) : 1;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512);
}

void BM_PerCharConversionSingleByte(benchmark::State& state) {
  ConvertEachCharacter(state, "windows-1252", u"Espresso doppio        2.40 EUR\n");
}
void BM_PerCharConversionDoubleByte(benchmark::State& state) {
  ConvertEachCharacter(state, "windows-936", u"\u4e2d\u6587\u4ef7\u683c \u5408\u8ba1 12.50\n");
}

void BM_GraphDecodeSingleByte(benchmark::State& state) {
  DecodeBlocks(state, "windows-1252", u"Espresso doppio        2.40 EUR\n");
}
void BM_GraphDecodeDoubleByte(benchmark::State& state) {
  DecodeBlocks(state, "windows-936", u"\u4e2d\u6587\u4ef7\u683c \u5408\u8ba1 12.50\n");
}

BENCHMARK(BM_GraphDecodeSingleByte);
BENCHMARK(BM_GraphDecodeDoubleByte);
BENCHMARK(BM_PerCharConversionSingleByte);
BENCHMARK(BM_PerCharConversionDoubleByte);

}  // namespace

BENCHMARK_MAIN();
