// Throughput of KeyDataCatcher::FindKeyData on receipt-like lines.
#include <poshark/KeyDataCatcher.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

void AddKeys(KeyDataCatcher& catcher, int nKeys) {
  static const char* const kWords[] = {"TOTAL", "SUBTOTAL", "TAX",    "CASH",   "CHANGE",
                                       "VISA",  "DISCOUNT", "VOID",   "ITEMS",  "CARD",
                                       "TIP",   "DEPOSIT",  "REFUND", "COUPON", "BALANCE"};
  SYSTEMTIME st{};
  for (int i = 0; i < nKeys; ++i) {
    std::string word = kWords[i % 15];
    if (i >= 15) word += std::to_string(i);
    catcher.AddKeyWord(word.c_str(), 7, false, 0, nullptr, 2, i, '.', ',', 0, 0, 0, false, st, st,
                       false, nullptr);
  }
  catcher.ReBuildGroupFromAll();
}

void BM_FindKeyDataReceiptLines(benchmark::State& state) {
  KeyDataCatcher catcher;
  AddKeys(catcher, static_cast<int>(state.range(0)));
  const std::vector<std::string> lines = {
      "2 x COFFEE LARGE                 7.80", "SANDWICH TUNA                    4.25",
      "SUBTOTAL                        12.05", "TAX 7%                           0.84",
      "TOTAL                        1,212.89", "CASH                            20.00",
      "CHANGE                           7.11", "THANK YOU FOR YOUR VISIT - STORE 0042"};
  STRUCT_CatchData caught[16];
  STRUCT_AlarmData alarms[16];
  STRUCT_ColorKeyRange ranges[16];
  int64_t nBytes = 0;
  for (auto _ : state) {
    for (const std::string& line : lines) {
      int nCount = 0;
      catcher.FindKeyData(line.data(), static_cast<int>(line.size()), nCount);
      int nGot = catcher.GetKeyData(caught, alarms, ranges, 16);
      for (int i = 0; i < nGot; ++i) std::free(caught[i].pszData);
      nBytes += static_cast<int64_t>(line.size());
    }
  }
  state.SetBytesProcessed(nBytes);
}
BENCHMARK(BM_FindKeyDataReceiptLines)->Arg(5)->Arg(15)->Arg(60);

void BM_FindKeyDataLongBlock(benchmark::State& state) {
  KeyDataCatcher catcher;
  AddKeys(catcher, 15);
  std::string block;
  while (block.size() < 40000) block += "ITEM ABC 1.00 TEXT WITHOUT KEYWORDS HERE ";
  int64_t nBytes = 0;
  for (auto _ : state) {
    int nCount = 0;
    catcher.FindKeyData(block.data(), static_cast<int>(block.size()), nCount);
    catcher.FindKeyDataZero();
    nBytes += static_cast<int64_t>(block.size());
  }
  state.SetBytesProcessed(nBytes);
}
BENCHMARK(BM_FindKeyDataLongBlock);

}  // namespace

BENCHMARK_MAIN();
