// The analyzer's throughput with each bundled ESC/POS-family set on the
// receipts of its own printers (examples/receipts/family-*), code tables
// followed, line by line as the intake hands it lines: the same work as
// pipeline_bench's AnalyzeSingleLines, with the real sets and their plug-in.
//
// BM_AnalyzeFamily/F/0  family F's receipts through its own set:
//                       F = 0 ESC/POS on the Epson, Control iD and TecToy
//                       receipts (the yardstick of the run), 1 ESC/Bema on
//                       the Bematech, Elgin, Sweda, Dataregis and Diebold
//                       receipts, 2 Daruma on Daruma's, 3 Generic ESC/POS on
//                       the generic printer's, 4 Elgin I9 on the I9's
// BM_AnalyzeFamily/F/1  the same bytes through the ESC/POS set: what the
//                       set costs, apart from what its receipts hold
//
// Run: build-bench/bench/dialect_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <poshark/RCPosHark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/listener/TestAccess.h"

namespace {

constexpr size_t kRoom = 100001;  // the analyzer's buffer and a byte for its end
// The receipts are repeated to this many bytes a round, so that the pause
// between rounds (the queues emptied) weighs little.
constexpr size_t kRoundBytes = 1 << 20;

struct Family {
  const char* set;
  std::vector<const char*> models;  // the receipts family-MODEL-1..3
};

const Family kFamilies[] = {
    {"ESC/POS", {"tm-t20", "tm-t88", "printid", "printid-touch", "q4"}},
    {"ESC/Bema", {"mp-4200-th", "mp-2500-th", "vox", "i7", "si-300l", "dt200", "im453"}},
    {"Daruma", {"dr800"}},
    {"Generic ESC/POS", {"pos-80"}},
    {"Elgin I9", {"i9"}},
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The family's receipts, repeated to kRoundBytes, cut into lines after each
// LF as the intake cuts them.
std::vector<std::string> Lines(const Family& family) {
  std::string receipts;
  for (const char* model : family.models) {
    for (int i = 1; i <= 3; ++i) {
      receipts += ReadFile(std::string(POSHARK_RECEIPTS) + "/family-" + model + "-" +
                           std::to_string(i) + ".bin");
    }
  }
  std::string bytes;
  while (!receipts.empty() && bytes.size() < kRoundBytes) bytes += receipts;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n' || i + 1 == bytes.size()) {
      lines.push_back(bytes.substr(start, i + 1 - start));
      start = i + 1;
    }
  }
  return lines;
}

// A listener of the build tree's catalogue with one set selected and its
// tables followed; its analyzer is called directly.
class Probe : public RCPosHark {
 public:
  explicit Probe(const char* set)
      : RCPosHark((::setenv("POSHARK_WORKDIR", POSHARK_WORKDIR, 1), 1)) {
    selected_ = SelectCmdSet(set);
    EnableCodeTables(true, "ibm-850");
    RCPosHarkTestAccess::Analyzer(*this).ResetTables();
  }
  bool Selected() const { return selected_; }
  int Run(unsigned char* pBuf, int& nLen) { return Analyze(pBuf, nLen); }
  void BeginSession() { RCPosHarkTestAccess::Analyzer(*this).BeginSession(); }
  void EndSession() { RCPosHarkTestAccess::Analyzer(*this).EndSession(); }
  void ClearQueues() {
    m_AnalyzeQueue->Clear();
    m_WriteQueue->Clear();
  }

 private:
  bool selected_ = false;
};

void BM_AnalyzeFamily(benchmark::State& state) {
  const Family& family = kFamilies[state.range(0)];
  const char* set = state.range(1) == 0 ? family.set : kFamilies[0].set;
  const std::vector<std::string> lines = Lines(family);
  Probe probe(set);
  if (!probe.Selected() || lines.empty()) {
    state.SkipWithError("set or receipts missing");
    return;
  }
  probe.BeginSession();
  std::vector<unsigned char> buf(kRoom);
  size_t bytes = 0;
  for (auto _ : state) {
    for (const std::string& line : lines) {
      std::memcpy(buf.data(), line.data(), line.size());
      int len = static_cast<int>(line.size());
      probe.Run(buf.data(), len);
      benchmark::DoNotOptimize(buf.data());
      bytes += line.size();
    }
    state.PauseTiming();
    probe.ClearQueues();
    state.ResumeTiming();
  }
  probe.EndSession();
  state.SetLabel(set);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_AnalyzeFamily)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();
