// Load run: one process, F listeners fed as fast as they take data and P
// listeners fed at the pace of a 115200-baud serial line (11520 bytes/s),
// all at once, host-feed mode, for S seconds. Every text line carries its
// listener and a sequence number; the run checks that every line fed comes
// out, in order, and reports overflow notes, CPU per paced listener, memory
// per listener, and the thread and descriptor counts over the run.
//
//   poshark_load [--fast F] [--paced P] [--seconds S]     (default 64 64 60)
//
// Exit code 0 when every line came out and no paced listener saw an
// overflow note; the last line reads "N passed, N failed" over the checks.
#include <poshark/RCPosHark.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxListeners = 512;
constexpr int kWindowLines = 256;        // lines a fast listener may have in flight
constexpr double kPacedBytesPerSec = 11520.0;  // 115200 baud, 8N1
constexpr int kTickMs = 10;

struct Stats {
  std::atomic<long> fed{0};        // text lines handed to GotData
  std::atomic<long> out{0};        // text lines delivered
  std::atomic<long> disorder{0};   // lines delivered out of sequence or malformed
  std::atomic<long> overflow{0};   // overflow notes
  long nextSeq = 0;                // writer thread of the listener only
};
Stats g_stats[kMaxListeners + 1];
std::mutex g_waitLock;
std::condition_variable g_waitCv;

unsigned short LineOut(char* pszText, SYSTEMTIME*, bool, int nPOSNo, int nEvent, char*) {
  if (nPOSNo < 1 || nPOSNo > kMaxListeners) return 0;
  Stats& s = g_stats[nPOSNo];
  if (nEvent == POSHARK_EVENT_OVERFLOW) {
    ++s.overflow;
    return 0;
  }
  if (!pszText) return 0;
  const char* tag = std::strstr(pszText, "P");
  int pos = 0;
  long seq = 0;
  while (tag && std::sscanf(tag, "P%d S%ld", &pos, &seq) != 2) tag = std::strstr(tag + 1, "P");
  if (!tag) return 0;  // a line without a tag (none is fed)
  if (pos != nPOSNo || seq != s.nextSeq) ++s.disorder;
  s.nextSeq = seq + 1;
  long n = ++s.out;
  if ((n & 31) == 0) g_waitCv.notify_all();
  return 0;
}

// One receipt of n text lines for listener pos, numbered from seq on:
// ESC/POS formatting commands inside the lines, a cut at the end.
std::string Receipt(int pos, long& seq, int n) {
  std::string r = "\x1b@";
  char line[96];
  for (int i = 0; i < n; ++i) {
    const char* pre = i == 0 ? "\x1b\x61\x01" : (i == n - 1 ? "\x1b!\x30" : "\x1b\x61");
    std::string head(pre, i == 0 ? 3 : 3);
    if (i > 0 && i < n - 1) head.push_back('\0');
    int len = std::snprintf(line, sizeof line, "P%03d S%07ld item %2d  x 1   %6.2f\x1b!%c\n", pos,
                            seq++, i, 1.25 * i, 0);
    r += head;
    r.append(line, static_cast<size_t>(len));
  }
  r += "\x1dV\x01";
  return r;
}

long ReadStatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string name;
  long value = -1;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      std::istringstream s(line.substr(std::strlen(key)));
      s >> value;
    }
  }
  return value;
}

int CountFds() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n - 1;  // the directory's own descriptor
}

// CPU seconds of the listener threads ("pos<N>.<role>") per POS number.
std::vector<double> ListenerCpu(int maxPos) {
  std::vector<double> cpu(static_cast<size_t>(maxPos) + 1, 0.0);
  DIR* d = ::opendir("/proc/self/task");
  if (!d) return cpu;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream commIn(base + "/comm");
    std::string comm;
    std::getline(commIn, comm);
    int pos = 0;
    if (std::sscanf(comm.c_str(), "pos%d.", &pos) != 1 || pos < 1 || pos > maxPos) continue;
    // schedstat: nanoseconds on a CPU, finer than the tick counts of stat.
    std::ifstream schedIn(base + "/schedstat");
    unsigned long long ns = 0;
    if (!(schedIn >> ns)) continue;
    cpu[static_cast<size_t>(pos)] += static_cast<double>(ns) / 1e9;
  }
  ::closedir(d);
  return cpu;
}

std::string g_workDir;
void Cleanup() {
  std::error_code ec;
  if (!g_workDir.empty()) std::filesystem::remove_all(g_workDir, ec);
}

}  // namespace

int main(int argc, char** argv) {
  int nFast = 64, nPaced = 64, nSeconds = 60;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    int v = std::atoi(argv[i + 1]);
    if (a == "--fast") nFast = v;
    else if (a == "--paced") nPaced = v;
    else if (a == "--seconds") nSeconds = v;
    else {
      std::fprintf(stderr, "usage: %s [--fast F] [--paced P] [--seconds S]\n", argv[0]);
      return 2;
    }
  }
  if (nFast < 0 || nPaced < 0 || nFast + nPaced < 1 || nFast + nPaced > kMaxListeners ||
      nSeconds < 1) {
    std::fprintf(stderr, "bad counts\n");
    return 2;
  }
  const int nAll = nFast + nPaced;

  // A private home with the ESC/POS command set (and its plug-in).
  char tmpl[] = "/tmp/poshark-load-XXXXXX";
  if (!::mkdtemp(tmpl)) return 2;
  g_workDir = tmpl;
  std::atexit(Cleanup);
  std::filesystem::create_directories(g_workDir + "/Printer Commands");
  std::filesystem::copy_file(POSHARK_LOAD_CMDSET, g_workDir + "/Printer Commands/ESCPOS.ini");
#ifdef POSHARK_LOAD_PLUGIN
  std::error_code ec;
  std::filesystem::copy_file(POSHARK_LOAD_PLUGIN,
                             g_workDir + "/Printer Commands/libposhark-escpos.so", ec);
#endif
  ::setenv("POSHARK_HOME", g_workDir.c_str(), 1);
  ::setenv("POSHARK_WORKDIR", g_workDir.c_str(), 1);

  // One listener started and stopped first, so that what a runtime starts
  // lazily (a sanitizer's own thread) is already in the baseline.
  {
    RCPosHark warmup(1);
    if (warmup.SelectCmdSet(0)) {
      warmup.ListenStart(&LineOut, true);
      warmup.ListenStop();
    }
  }
  const long rssBefore = ReadStatusKb("VmRSS:");
  const long threadsBefore = ReadStatusKb("Threads:");
  const int fdsBefore = CountFds();

  std::vector<std::unique_ptr<RCPosHark>> listeners;
  for (int pos = 1; pos <= nAll; ++pos) {
    auto l = std::make_unique<RCPosHark>(pos);
    if (!l->SelectCmdSet(0)) {
      std::fprintf(stderr, "no command set\n");
      return 2;
    }
    l->SetGateOpenTime(0);
    l->ListenStart(&LineOut, true);
    listeners.push_back(std::move(l));
  }
  const long rssStarted = ReadStatusKb("VmRSS:");

  std::atomic<bool> run{true};
  const int kLinesPerReceipt = 24;

  // Fast listeners 1..F: a receipt whenever the listener has room in its
  // window of lines in flight.
  std::thread fast([&] {
    std::vector<long> seq(static_cast<size_t>(nAll) + 1, 0);
    while (run) {
      bool any = false;
      for (int pos = 1; pos <= nFast; ++pos) {
        Stats& s = g_stats[pos];
        if (s.fed - s.out.load() + kLinesPerReceipt > kWindowLines) continue;
        std::string r = Receipt(pos, seq[static_cast<size_t>(pos)], kLinesPerReceipt);
        listeners[static_cast<size_t>(pos - 1)]->GotData(static_cast<int>(r.size()),
                                                          reinterpret_cast<unsigned char*>(r.data()));
        s.fed += kLinesPerReceipt;
        any = true;
      }
      if (!any) {
        std::unique_lock<std::mutex> lock(g_waitLock);
        g_waitCv.wait_for(lock, std::chrono::milliseconds(1));
      }
    }
  });

  // Paced listeners F+1..F+P: every 10 ms the bytes a 115200-baud line
  // carries in that time, cut wherever they fall.
  std::thread paced([&] {
    struct Feed {
      std::string pending;
      long seq = 0;
      double credit = 0;
    };
    std::vector<Feed> feeds(static_cast<size_t>(nAll) + 1);
    auto next = Clock::now();
    while (run) {
      next += std::chrono::milliseconds(kTickMs);
      for (int pos = nFast + 1; pos <= nAll; ++pos) {
        Feed& f = feeds[static_cast<size_t>(pos)];
        f.credit += kPacedBytesPerSec * kTickMs / 1000.0;
        size_t n = static_cast<size_t>(f.credit);
        f.credit -= static_cast<double>(n);
        while (f.pending.size() < n) {
          f.pending += Receipt(pos, f.seq, kLinesPerReceipt);
          g_stats[pos].fed += kLinesPerReceipt;
        }
        std::string chunk = f.pending.substr(0, n);
        f.pending.erase(0, n);
        listeners[static_cast<size_t>(pos - 1)]->GotData(
            static_cast<int>(chunk.size()), reinterpret_cast<unsigned char*>(chunk.data()));
      }
      std::this_thread::sleep_until(next);
    }
    // The lines not yet sent whole are not counted as fed: send the rest.
    for (int pos = nFast + 1; pos <= nAll; ++pos) {
      Feed& f = feeds[static_cast<size_t>(pos)];
      if (!f.pending.empty())
        listeners[static_cast<size_t>(pos - 1)]->GotData(
            static_cast<int>(f.pending.size()), reinterpret_cast<unsigned char*>(f.pending.data()));
    }
  });

  // Samples once a second.
  long threadsMin = 1 << 30, threadsMax = 0, rssMax = 0;
  int fdsMin = 1 << 30, fdsMax = 0;
  long rssAt10 = 0;
  const std::vector<double> cpuStart = ListenerCpu(nAll);
  const auto t0 = Clock::now();
  for (int sec = 1; sec <= nSeconds; ++sec) {
    std::this_thread::sleep_until(t0 + std::chrono::seconds(sec));
    long th = ReadStatusKb("Threads:");
    long rss = ReadStatusKb("VmRSS:");
    int fds = CountFds();
    threadsMin = std::min(threadsMin, th);
    threadsMax = std::max(threadsMax, th);
    fdsMin = std::min(fdsMin, fds);
    fdsMax = std::max(fdsMax, fds);
    rssMax = std::max(rssMax, rss);
    if (sec == std::min(10, nSeconds)) rssAt10 = rss;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const std::vector<double> cpuEnd = ListenerCpu(nAll);
  const long rssEnd = ReadStatusKb("VmRSS:");
  run = false;
  fast.join();
  paced.join();

  // Everything fed must come out: wait (bounded) for the tail.
  const auto drainEnd = Clock::now() + std::chrono::seconds(60);
  auto pendingLines = [&] {
    long n = 0;
    for (int pos = 1; pos <= nAll; ++pos) n += g_stats[pos].fed - g_stats[pos].out;
    return n;
  };
  while (pendingLines() > 0 && Clock::now() < drainEnd)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (auto& l : listeners) l->ListenStop();
  listeners.clear();
  const long threadsAfter = ReadStatusKb("Threads:");
  const int fdsAfter = CountFds();

  long fedFast = 0, outFast = 0, fedPaced = 0, outPaced = 0, disorder = 0, ovfFast = 0,
       ovfPaced = 0;
  double cpuPaced = 0, cpuFast = 0;
  for (int pos = 1; pos <= nAll; ++pos) {
    Stats& s = g_stats[pos];
    double c = cpuEnd[static_cast<size_t>(pos)] - cpuStart[static_cast<size_t>(pos)];
    if (pos <= nFast) {
      fedFast += s.fed;
      outFast += s.out;
      ovfFast += s.overflow;
      cpuFast += c;
    } else {
      fedPaced += s.fed;
      outPaced += s.out;
      ovfPaced += s.overflow;
      cpuPaced += c;
    }
    disorder += s.disorder;
  }

  std::printf("listeners: %d fast + %d paced (115200 baud), %.1f s\n", nFast, nPaced, elapsed);
  std::printf("fast:  %ld lines in, %ld out, %.0f lines/s, %ld overflow notes, CPU %.2f s\n",
              fedFast, outFast, static_cast<double>(outFast) / elapsed, ovfFast, cpuFast);
  std::printf("paced: %ld lines in, %ld out, %ld overflow notes, CPU %.3f s = %.3f%% of a core "
              "per listener\n",
              fedPaced, outPaced, ovfPaced, cpuPaced,
              nPaced ? 100.0 * cpuPaced / nPaced / elapsed : 0.0);
  std::printf("lines out of sequence: %ld\n", disorder);
  std::printf("resident memory: %ld KiB before, %ld KiB started (%.1f KiB per listener), "
              "%ld KiB at 10 s, %ld KiB at end, %ld KiB max\n",
              rssBefore, rssStarted, static_cast<double>(rssStarted - rssBefore) / nAll, rssAt10,
              rssEnd, rssMax);
  std::printf("threads: %ld before, %ld..%ld during, %ld after stop\n", threadsBefore, threadsMin,
              threadsMax, threadsAfter);
  std::printf("descriptors: %d before, %d..%d during, %d after stop\n", fdsBefore, fdsMin, fdsMax,
              fdsAfter);

  int passed = 0, failed = 0;
  auto check = [&](bool ok, const char* what) {
    (ok ? passed : failed)++;
    if (!ok) std::printf("FAILED: %s\n", what);
  };
  check(outFast == fedFast, "every line fed to a fast listener came out");
  check(outPaced == fedPaced, "every line fed to a paced listener came out");
  check(ovfPaced == 0, "no overflow note at the paced rate");
  check(disorder == 0, "lines in sequence");
  check(threadsMin == threadsMax, "thread count stable while running");
  check(fdsMin == fdsMax, "descriptor count stable while running");
  check(threadsAfter == threadsBefore && fdsAfter == fdsBefore,
        "threads and descriptors back to the start after stopping");
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
