// `poshark sets guess` on a 1 MiB capture: every bundled set (ESC/POS, Star
// Line, Star PRNT, as the build tree has them beside the tool) scored over
// the capture through listeners of their own.
//
// BM_GuessCapture/0   a capture of the ESC/POS sample receipts, repeated
// BM_GuessCapture/1   a capture of the Star sample receipts, repeated
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

std::vector<unsigned char> Capture(bool star) {
  static const char* const kEscPos[] = {"plain", "latin", "barcodes",     "qrcode",
                                        "void",  "long",  "escpos-tables"};
  static const char* const kStar[] = {"star-line", "star-line-tables"};
  std::string receipts;
  const auto add = [&](const char* name) {
    std::ifstream in(std::string(POSHARK_RECEIPTS) + "/" + name + ".bin", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    receipts += ss.str();
  };
  if (star) {
    for (const char* name : kStar) add(name);
  } else {
    for (const char* name : kEscPos) add(name);
  }
  std::vector<unsigned char> bytes;
  while (bytes.size() < kCaptureBytes) bytes.insert(bytes.end(), receipts.begin(), receipts.end());
  bytes.resize(kCaptureBytes);
  return bytes;
}

void BM_GuessCapture(benchmark::State& state) {
  const bool star = state.range(0) == 1;
  const std::vector<unsigned char> bytes = Capture(star);
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
BENCHMARK(BM_GuessCapture)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemchrSplit(benchmark::State& state) {
  const std::vector<unsigned char> bytes = Capture(false);
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
