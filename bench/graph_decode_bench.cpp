// Throughput of graph decoding: bytes of a graph-encoded stream decoded per
// second, in a single-byte and a double-byte code page, in serial-read sized
// blocks (512 bytes).
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <string>
#include <vector>

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

void BM_GraphDecodeSingleByte(benchmark::State& state) {
  DecodeBlocks(state, "windows-1252", u"Espresso doppio        2.40 EUR\n");
}
void BM_GraphDecodeDoubleByte(benchmark::State& state) {
  DecodeBlocks(state, "windows-936", u"\u4e2d\u6587\u4ef7\u683c \u5408\u8ba1 12.50\n");
}

BENCHMARK(BM_GraphDecodeSingleByte);
BENCHMARK(BM_GraphDecodeDoubleByte);

}  // namespace

BENCHMARK_MAIN();
