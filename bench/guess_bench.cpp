// `poshark sets guess` on a 1 MiB capture: every bundled set (ESC/POS,
// ESC/Bema, Daruma, Generic ESC/POS, Elgin I9, Star Line, Star PRNT, as the build
// has them beside the tool) scored over the capture through listeners of
// their own.
//
// BM_GuessCapture/0   a capture of the ESC/POS sample receipts, repeated
// BM_GuessCapture/1   a capture of the Star sample receipts, repeated
// BM_GuessCapture/2   a capture of the ESC/Bema printers' receipts, repeated
// BM_MemchrSplit      one pass of memchr for line ends over the same ESC/POS
//                     capture: the yardstick of the run
//
// Run: build-bench/bench/guess_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "guess/SetGuess.h"

namespace {

constexpr size_t kCaptureBytes = 1024 * 1024;

// Capture k: the ESC/POS samples (0), the Star ones (1), the receipts of
// the ESC/Bema printers (2).
std::vector<unsigned char> Capture(int64_t k) {
  static const std::vector<std::vector<const char*>> kSamples = {
      {"plain", "latin", "barcodes", "qrcode", "void", "long", "escpos-tables"},
      {"star-line", "star-line-tables"},
      {"family-mp-4200-th-1", "family-mp-4200-th-2", "family-mp-4200-th-3", "family-vox-1",
       "family-vox-2", "family-vox-3", "family-im453-1", "family-im453-2", "family-im453-3"}};
  std::string receipts;
  for (const char* name : kSamples[static_cast<size_t>(k)]) {
    std::ifstream in(std::string(POSHARK_RECEIPTS) + "/" + name + ".bin", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    receipts += ss.str();
  }
  std::vector<unsigned char> bytes;
  while (bytes.size() < kCaptureBytes) bytes.insert(bytes.end(), receipts.begin(), receipts.end());
  bytes.resize(kCaptureBytes);
  return bytes;
}

void BM_GuessCapture(benchmark::State& state) {
  const std::vector<unsigned char> bytes = Capture(state.range(0));
  std::string named;
  for (auto _ : state) {
    poshark::tool::SetGuess guess;
    std::string error;
    if (!poshark::tool::GuessSet(bytes, "cp437", guess, error) || !guess.found) {
      state.SkipWithError(("no guess: " + error + guess.reason).c_str());
      return;
    }
    named = guess.ranked.front().name;
  }
  state.SetLabel(named);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_GuessCapture)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemchrSplit(benchmark::State& state) {
  const std::vector<unsigned char> bytes = Capture(0);
  size_t lines = 0;
  for (auto _ : state) {
    const unsigned char* p = bytes.data();
    const unsigned char* end = p + bytes.size();
    while (const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p))) {
      ++lines;
      p = static_cast<const unsigned char*>(lf) + 1;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_MemchrSplit)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("POSHARK_WORKDIR", POSHARK_WORKDIR, 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
