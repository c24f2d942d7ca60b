// Throughput of colour-key matching: lines per second through FindKeyData
// and GetKeyData with a full table of 32 keys.
#include <poshark/ColorKeyCatcher.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines() {
  return {
      "TOTAL                         12.50 EUR",
      "2 x COFFEE                        5.00",
      "VOID ITEM 0042            -3.20       ",
      "CASH                          20.00   ",
      "\xF9\xEC\xE5\xED 123 RECEIPT \xED\xE5\xEC\xF9 CHANGE    7.50",
      "\xD2\xBB\xD6\xD0 TOTAL \xD6\xD0\xD2\xBB 88.00             ",
  };
}

void Fill(ColorKeyCatcher& c) {
  const char* keys[] = {"TOTAL",    "VOID",   "CASH",
                        "CHANGE",   "COFFEE", "EUR",
                        "-",        "0042",   "\xF9\xEC\xE5\xED",
                        "\xD6\xD0", "REFUND", "DISCOUNT",
                        "CARD",     "TAX",    "SUBTOTAL",
                        "NO SALE"};
  for (int i = 0; i < 32; ++i)
    c.AddKeyWord((std::string(keys[i % 16]) + (i < 16 ? "" : " ")).c_str(), nullptr, 12, -1, 1, 0,
                 0xFF, false, {}, {}, false, nullptr);
}

void Run(benchmark::State& state, const char* pszPage, uint32_t nCharSet) {
  setenv("POSHARK_CODEPAGE", pszPage, 1);
  ColorKeyCatcher c;
  Fill(c);
  std::vector<std::string> lines = Lines();
  SYSTEMTIME t{};
  t.wHour = 12;
  STRUCT_CatchData catches[64];
  STRUCT_AlarmData alarms[64];
  STRUCT_ColorKeyRange ranges[64];
  size_t i = 0, bytes = 0;
  int nCount = 0;
  for (auto _ : state) {
    const std::string& line = lines[i++ % lines.size()];
    c.FindKeyData(line.c_str(), static_cast<int>(line.size()), nCount, t, nCharSet);
    benchmark::DoNotOptimize(c.GetKeyData(catches, alarms, ranges, 64));
    bytes += line.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetItemsProcessed(state.iterations());
  unsetenv("POSHARK_CODEPAGE");
}

void BM_ColorKeysSingleBytePage(benchmark::State& state) { Run(state, "windows-1252", 0); }
void BM_ColorKeysDoubleBytePage(benchmark::State& state) { Run(state, "windows-936", 0); }
void BM_ColorKeysHebrewDisplayOrder(benchmark::State& state) { Run(state, "windows-1255", 177); }
// Every line switches the character set: the worst case, one display-order
// computation per key and line.
void BM_ColorKeysCharSetFlipsEveryLine(benchmark::State& state) {
  setenv("POSHARK_CODEPAGE", "windows-1255", 1);
  ColorKeyCatcher c;
  Fill(c);
  std::string line = Lines()[4];
  SYSTEMTIME t{};
  int nCount = 0;
  uint32_t sets[2] = {177, 178};
  size_t i = 0;
  for (auto _ : state) {
    c.FindKeyData(line.c_str(), 0, nCount, t, sets[i++ & 1]);
    c.FindKeyDataZero();
  }
  state.SetItemsProcessed(state.iterations());
  unsetenv("POSHARK_CODEPAGE");
}

BENCHMARK(BM_ColorKeysSingleBytePage);
BENCHMARK(BM_ColorKeysDoubleBytePage);
BENCHMARK(BM_ColorKeysHebrewDisplayOrder);
BENCHMARK(BM_ColorKeysCharSetFlipsEveryLine);

}  // namespace

BENCHMARK_MAIN();
