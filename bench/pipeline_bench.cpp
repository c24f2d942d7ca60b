// Throughput of the byte-to-line pipeline.
//
// BM_MemchrSplit        one pass of memchr over the bytes: the floor to compare with
// BM_Analyze/...        the analyzer alone (Analyze) on merged 100000-byte buffers and on
//                       single lines, with a 40-command ESC/POS-like set
// BM_AnalyzeTablesMerged/T  the analyzer on merged buffers of receipts that switch code
//                       tables mid-line (ESC t n; cp437, windows-1252, cp866), the same set
//                       with its [CodeTables] not followed (T = 0, bytes as they are) and
//                       followed (T = 1, UTF-8 out); each receipt leaves at its cut, so
//                       nearly every byte is decoded
// BM_AnalyzeInPlace     the same buffer analysed by shifting it in place at every removed
//                       command and emitted head, as a plain reading of the steps would
// BM_Intake             GotData alone: the cutting into line chunks
// BM_EndToEnd/R         GotData -> analyzer -> writer -> host at a paced feed of R MB/s
//                       (R = 0: as fast as the feeder can); counters tell whether every
//                       record reached the host or the overflow note replaced some,
//                       and how long the last lines took after the feed ended
//
// Run: build/bench/pipeline_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <poshark/RCPosHark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "commands/RCCmdSet.h"
#include "commands/StreamAnalyzer.h"
#include "listener/RCLineQueue.h"
#include "tests/listener/TestAccess.h"

using namespace std::string_literals;

namespace {

// 40 single commands, a cut that ends the line and closes the transaction
// (first, so that a cut at the end of the data is taken without waiting), and
// a NUL-terminated barcode.
const char* kSet =
    "[Main]\nModule_Name=Bench\nC-Num=1\nS-Num=40\n"
    "[TAB]\nSpaceCount=4\n"
    "[ChangeLine-Command]\n1=3,GS,V,0x01\n"
    "[Single-Command]\n"
    "1=3,GS,V,0x01,1,3,0,TRAN_STOP\n"
    "2=2,ESC,@,1,2\n3=2,ESC,!,1,3\n4=2,ESC,E,1,3\n5=2,ESC,-,1,3\n6=2,ESC,a,1,3\n"
    "7=2,ESC,d,1,3\n8=2,ESC,J,1,3\n9=2,ESC,t,1,3\n10=2,ESC,M,1,3\n11=2,ESC,G,1,3\n"
    "12=2,ESC,{,1,3\n13=2,ESC,V,1,3\n14=2,ESC,R,1,3\n15=2,ESC,2,1,2\n16=2,ESC,3,1,3\n"
    "17=2,ESC,$,1,4\n18=2,ESC,\\,1,4\n19=2,ESC,SP,1,3\n20=2,ESC,%,1,3\n21=3,ESC,c,5,1,4\n"
    "22=2,ESC,p,1,5\n23=2,GS,!,1,3\n24=2,GS,B,1,3\n25=2,GS,H,1,3\n26=2,GS,h,1,3\n"
    "27=2,GS,w,1,3\n28=2,GS,f,1,3\n29=2,GS,L,1,4\n30=2,GS,W,1,4\n31=3,GS,v,0,1,8\n"
    "32=2,FS,p,1,4\n33=2,FS,!,1,3\n34=2,DLE,EOT,1,3\n35=2,DLE,DC4,1,5\n36=1,HT,1,1\n"
    "37=2,ESC,D,2\n38=2,ESC,B,1,4\n39=2,ESC,C,1,3\n40=2,ESC,i,1,2,1,\"--- cut ---\"\n"
    "[BARCODE]\n1=2,GS,k,2,1,BARCODE:\n";

// The same set with code tables: ESC t n selects, ESC @ resets.
const std::string kTablesSet = std::string(kSet) +
                               "[CodeTables]\nSelect=Single-Command,9,1\nReset=Single-Command,2\n"
                               "0=ibm-437\n16=windows-1252\n17=ibm-866\n";

std::string Receipt(int n) {
  std::string r =
      "\x1b@\x1b"
      "a\x01\x1b!\x30STORE NUMBER "s +
      std::to_string(n % 97) +
      "\n\x1b!\x00\x1b"
      "a\x00"s;
  for (int i = 0; i < 20; ++i) {
    r += "ITEM " + std::to_string(i) + " DESCRIPTION OF THE ITEM\t" + std::to_string(i + n % 7) +
         ".99\n";
    if (i % 5 == 4)
      r += "\x1b"
           "E\x01SUBTOTAL\x1b"
           "E\x00\n"s;
  }
  r += "\x1d"
       "k\x04"
       "123456789012\x00"s +
       "\n\x1b"
       "d\x03\x1dV\x01"s;
  return r;
}

std::string Stream(size_t nBytes) {
  std::string s;
  for (int n = 0; s.size() < nBytes; ++n) s += Receipt(n);
  return s;
}

// Receipts whose every other item line switches tables twice mid-line and
// back: "Caf\xe9" in windows-1252, "\x8c\xa8\xe0" (Мир) in cp866.
std::string TablesStream(size_t nBytes) {
  std::string s;
  for (int n = 0; s.size() < nBytes; ++n) {
    std::string r = Receipt(n);
    int nLine = 0;
    for (size_t i = r.find("ITEM "); i != std::string::npos; i = r.find("ITEM ", i + 1)) {
      if (nLine++ % 2 == 0) {
        std::string mix = "Caf\x1bt\x10\xe9 \x1bt\x11\x8c\xa8\xe0\x1bt"s + '\0' + " ";
        r.insert(i, mix);
        i += mix.size();
      }
    }
    s += r;
  }
  return s;
}

// Places for the listener: a temporary work folder with the set and a home.
struct Places {
  Places() {
    char szTemplate[] = "/tmp/poshark-bench-XXXXXX";
    root = ::mkdtemp(szTemplate);
    std::filesystem::create_directories(root + "/work/Printer Commands");
    std::filesystem::create_directories(root + "/home");
    std::ofstream(root + "/work/Printer Commands/bench.ini") << kSet;
    std::ofstream(root + "/work/Printer Commands/benchtables.ini") << kTablesSet;
    ::setenv("POSHARK_WORKDIR", (root + "/work").c_str(), 1);
    ::setenv("POSHARK_HOME", (root + "/home").c_str(), 1);
  }
  ~Places() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::string root;
};

Places& GetPlaces() {
  static Places places;
  return places;
}

class BenchProbe : public RCPosHark {
 public:
  // Set 0: bench.ini; set 1: benchtables.ini, its tables followed or not.
  explicit BenchProbe(int nSet = 0, bool bTables = false) : RCPosHark((GetPlaces(), 1)) {
    SelectCmdSet(nSet);
    EnableCodeTables(bTables);
    RCPosHarkTestAccess::Analyzer(*this).ResetTables();
  }
  int RunAnalyze(unsigned char* pBuf, int& nLen) { return Analyze(pBuf, nLen); }
  void PrepareIntake() { RCPosHarkTestAccess::Intake(*this).Prepare(false); }
  // While a session is open the analyzer keeps what it derives from the set,
  // as on the analyzer thread.
  void BeginSession() { RCPosHarkTestAccess::Analyzer(*this).BeginSession(); }
  void EndSession() { RCPosHarkTestAccess::Analyzer(*this).EndSession(); }
  void ClearQueues() {
    m_AnalyzeQueue->Clear();
    m_WriteQueue->Clear();
  }
  RCCmdSet* Set() { return CurSet(); }
};

// One pass of memchr over the same bytes, counting lines.
void BM_MemchrSplit(benchmark::State& state) {
  std::string data = Stream(static_cast<size_t>(state.range(0)));
  size_t nLines = 0;
  for (auto _ : state) {
    const char* p = data.data();
    const char* pEnd = p + data.size();
    while (const void* pLf = std::memchr(p, '\n', static_cast<size_t>(pEnd - p))) {
      ++nLines;
      p = static_cast<const char*>(pLf) + 1;
    }
    benchmark::DoNotOptimize(nLines);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_MemchrSplit)->Arg(100000);

void AnalyzeBuffers(benchmark::State& state, const std::vector<std::string>& pieces, int nSet = 0,
                    bool bTables = false) {
  BenchProbe probe(nSet, bTables);
  probe.BeginSession();
  std::vector<unsigned char> buf(100001);
  size_t nBytes = 0;
  for (auto _ : state) {
    for (const std::string& piece : pieces) {
      std::memcpy(buf.data(), piece.data(), piece.size());
      int nLen = static_cast<int>(piece.size());
      probe.RunAnalyze(buf.data(), nLen);
      benchmark::DoNotOptimize(buf.data());
      nBytes += piece.size();
    }
    state.PauseTiming();
    probe.ClearQueues();
    state.ResumeTiming();
  }
  probe.EndSession();
  state.SetBytesProcessed(static_cast<int64_t>(nBytes));
  state.counters["utf8"] = probe.IsUtf8Text() ? 1 : 0;  // the tables were followed
}

void BM_AnalyzeMerged(benchmark::State& state) {
  AnalyzeBuffers(state, {Stream(200000).substr(0, 100000)});
}
BENCHMARK(BM_AnalyzeMerged);

std::vector<std::string> SingleLines(const std::string& stream) {
  std::vector<std::string> lines;
  size_t nStart = 0;
  for (size_t i = 0; i < stream.size(); ++i) {
    if (stream[i] == '\n') {
      lines.push_back(stream.substr(nStart, i + 1 - nStart));
      nStart = i + 1;
    }
  }
  return lines;
}

void BM_AnalyzeSingleLines(benchmark::State& state) {
  AnalyzeBuffers(state, SingleLines(Stream(100000)));
}
BENCHMARK(BM_AnalyzeSingleLines);

void BM_AnalyzeTablesMerged(benchmark::State& state) {
  AnalyzeBuffers(state, {TablesStream(200000).substr(0, 100000)}, 1, state.range(0) != 0);
}
BENCHMARK(BM_AnalyzeTablesMerged)->Arg(0)->Arg(1);

// The literal reading: every removed command shifts the rest of the buffer
// (MatchCommand on all the bytes left), every emitted head shifts it again.
void BM_AnalyzeInPlace(benchmark::State& state) {
  BenchProbe probe;
  RCCmdSet* pSet = probe.Set();
  std::string data = Stream(200000).substr(0, 100000);
  std::vector<unsigned char> buf(100001 + 4096);
  size_t nBytes = 0;
  for (auto _ : state) {
    std::memcpy(buf.data(), data.data(), data.size());
    int nLen = static_cast<int>(data.size());
    int p = 0;
    while (nLen - p >= 3) {
      int rem = nLen - p;
      int nBefore = rem;
      int nResult = pSet->MatchCommand(buf.data() + p, rem);
      if (nResult == 2) {
        nLen -= nBefore - rem;
        int t = pSet->GetLastCmdText(nullptr);
        if (t > 0) {
          std::memmove(buf.data() + p + t, buf.data() + p, static_cast<size_t>(nLen - p));
          pSet->GetLastCmdText(buf.data() + p);
          nLen += t;
          p += t;
        }
      } else if (nResult == 4) {
        p += pSet->GetLastCmdLen();
      } else if (nResult == 0) {
        ++p;
      } else {
        break;
      }
    }
    benchmark::DoNotOptimize(buf.data());
    nBytes += data.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(nBytes));
}
BENCHMARK(BM_AnalyzeInPlace);

void BM_Intake(benchmark::State& state) {
  BenchProbe probe;
  probe.PrepareIntake();
  std::string data = Stream(1 << 20);
  for (auto _ : state) {
    for (size_t nDone = 0; nDone < data.size(); nDone += 4096) {
      int n = static_cast<int>(std::min<size_t>(4096, data.size() - nDone));
      probe.GotData(n, reinterpret_cast<unsigned char*>(data.data() + nDone));
    }
    state.PauseTiming();
    probe.ClearQueues();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Intake);

// CPU seconds used so far by the process's threads of this name (from
// /proc/self/task/*/stat, in clock ticks).
double ThreadCpuSeconds(const std::string& name) {
  double dTicks = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    if (!std::getline(comm, line) || line != name) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    size_t nParen = text.rfind(')');
    if (nParen == std::string::npos) continue;
    std::istringstream fields(text.substr(nParen + 2));
    std::string field;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) dTicks += std::stod(field);  // utime, stime
    }
  }
  return dTicks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::atomic<int64_t> g_nLines{0};
std::atomic<int64_t> g_nNotes{0};

unsigned short CountLine(char*, SYSTEMTIME*, bool, int, int nEvent, char*) {
  if (nEvent == POSHARK_EVENT_OVERFLOW) {
    g_nNotes.fetch_add(1, std::memory_order_relaxed);
  }
  g_nLines.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// Feeds 64 MB at state.range(0) MB/s (0: unpaced) in 4096-byte calls and
// waits until the host has every line. Each receipt gives three records: the
// barcode, the opening head and the closing rest.
void BM_EndToEnd(benchmark::State& state) {
  GetPlaces();
  const double dRate = static_cast<double>(state.range(0)) * 1e6;
  static std::string data = Stream(64 << 20);
  int64_t nReceipts = 0;
  for (size_t i = data.find("\x1dV\x01"); i != std::string::npos;
       i = data.find("\x1dV\x01", i + 1)) {
    ++nReceipts;
  }
  const int64_t nExpected = 3 * nReceipts;
  int64_t nNotes = 0;
  int64_t nDelivered = 0;
  double dSeconds = 0;
  double dCpuSeconds = 0;
  double dAnalyzeCpu = 0;
  double dWriteCpu = 0;
  double dTailMs = 0;
  for (auto _ : state) {
    std::clock_t cpuStart = std::clock();
    RCPosHark listener(1);
    listener.SelectCmdSet(0);
    listener.SetGateOpenTime(0);
    g_nLines = 0;
    g_nNotes = 0;
    listener.ListenStart(&CountLine, true);
    auto start = std::chrono::steady_clock::now();
    for (size_t nDone = 0; nDone < data.size(); nDone += 4096) {
      int n = static_cast<int>(std::min<size_t>(4096, data.size() - nDone));
      listener.GotData(n, reinterpret_cast<unsigned char*>(data.data() + nDone));
      if (dRate > 0) {
        auto due = start + std::chrono::duration<double>(static_cast<double>(nDone + n) / dRate);
        std::this_thread::sleep_until(due);
      }
    }
    // Every receipt ends with a closing cut, so nothing waits for more data:
    // the host has everything once the count reaches the receipts' records
    // (or, if some were lost, stops growing).
    auto fed = std::chrono::steady_clock::now();
    int64_t nLast = g_nLines.load();
    auto lastGrowth = fed;
    while (g_nLines.load() < nExpected) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      auto now = std::chrono::steady_clock::now();
      if (g_nLines.load() != nLast) {
        nLast = g_nLines.load();
        lastGrowth = now;
      } else if (now - lastGrowth > std::chrono::seconds(1)) {
        break;
      }
    }
    dTailMs +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - fed).count();
    dSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    dCpuSeconds += static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    dAnalyzeCpu += ThreadCpuSeconds("pos1.analyze");
    dWriteCpu += ThreadCpuSeconds("pos1.write");
    listener.ListenStop();
    nNotes += g_nNotes.load();
    nDelivered += g_nLines.load();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["MBps_done"] =
      static_cast<double>(state.iterations() * data.size()) / dSeconds / 1e6;
  // Bytes per second of CPU time of all threads together (feeder, analyzer,
  // writer): what one otherwise idle core could carry through the pipeline.
  state.counters["MBps_per_cpu"] =
      static_cast<double>(state.iterations() * data.size()) / dCpuSeconds / 1e6;
  state.counters["analyzer_MBps_cpu"] =
      static_cast<double>(state.iterations() * data.size()) / dAnalyzeCpu / 1e6;
  state.counters["writer_MBps_cpu"] =
      static_cast<double>(state.iterations() * data.size()) / dWriteCpu / 1e6;
  state.counters["notes"] = static_cast<double>(nNotes);
  // From the last byte fed to the last line delivered: what was still queued
  // when the feed ended. A few ms when the pipeline keeps up with the feed.
  state.counters["tail_ms"] = dTailMs / static_cast<double>(state.iterations());
  state.counters["lines_per_run"] = static_cast<double>(nDelivered) / state.iterations();
  state.counters["expected"] = static_cast<double>(nExpected);
}
BENCHMARK(BM_EndToEnd)
    ->Arg(0)
    ->Arg(50)
    ->Arg(100)
    ->Arg(120)
    ->Arg(150)
    ->Arg(200)
    ->Arg(300)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
