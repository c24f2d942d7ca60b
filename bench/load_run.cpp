// Load run: one process, F listeners fed as fast as they take data and P
// listeners fed at the pace of a 115200-baud serial line (11520 bytes/s),
// all at once, host-feed mode, for S seconds. Every text line carries its
// listener and a sequence number; the run checks that every line fed comes
// out, in order, and reports overflow notes, CPU and wake-ups per paced
// listener, memory per listener, and the thread and descriptor counts over
// the run.
//
//   poshark_load [--fast F] [--paced P] [--seconds S]     (default 64 64 60)
//
// Exit code 0 when every check passed; the last line reads "N passed, N failed".
#include <poshark/RCPosHark.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxListeners = 1000;
constexpr int kWindowLines = 256;  // lines a fast listener may have in flight
constexpr int kLinesPerReceipt = 24;
constexpr double kPacedBytesPerSec = 11520.0;  // 115200 baud, 8N1
constexpr int kTickMs = 10;

struct Stats {
  std::atomic<long> fed{0};       // text lines handed to GotData
  std::atomic<long> out{0};       // text lines delivered
  std::atomic<long> disorder{0};  // lines delivered out of sequence
  std::atomic<long> overflow{0};  // overflow notes
  long nextSeq = 0;               // writer thread of the listener only
};
Stats g_stats[kMaxListeners + 1];
std::mutex g_waitLock;
std::condition_variable g_waitCv;

// Reads a line's tag "P<pos> S<seq>" at p. By hand: the check runs on the
// listeners' writer threads, whose CPU the run reports, and a formatted scan
// there cost more than the listener's own delivery of the line.
bool ReadTag(const char* p, int& pos, long& seq) {
  const char* end = p + std::strlen(p);
  auto [afterPos, posError] = std::from_chars(p + 1, end, pos);
  if (posError != std::errc() || end - afterPos < 2 || afterPos[0] != ' ' || afterPos[1] != 'S') {
    return false;
  }
  return std::from_chars(afterPos + 2, end, seq).ec == std::errc();
}

unsigned short LineOut(char* pszText, SYSTEMTIME*, bool, int nPOSNo, int nEvent, char*) {
  if (nPOSNo < 1 || nPOSNo > kMaxListeners) return 0;
  Stats& s = g_stats[nPOSNo];
  if (nEvent == POSHARK_EVENT_OVERFLOW) {
    ++s.overflow;
    return 0;
  }
  int pos = 0;
  long seq = 0;
  const char* tag = pszText ? std::strchr(pszText, 'P') : nullptr;
  while (tag && !ReadTag(tag, pos, seq)) tag = std::strchr(tag + 1, 'P');
  if (!tag) return 0;  // a line without a tag (none is fed)
  if (pos != nPOSNo || seq != s.nextSeq) ++s.disorder;
  s.nextSeq = seq + 1;
  if ((++s.out & 31) == 0) g_waitCv.notify_all();
  return 0;
}

// One receipt of n text lines for listener pos, numbered from seq on:
// ESC/POS formatting commands inside the lines, a cut at the end.
std::string Receipt(int pos, long& seq, int n) {
  std::string r = "\x1b@";
  char line[96];
  for (int i = 0; i < n; ++i) {
    r += i == 0       ? std::string("\x1b\x61\x01", 3)
         : i == n - 1 ? std::string("\x1b!\x30", 3)
                      : std::string("\x1b\x61\0\0", 4);
    int len = std::snprintf(line, sizeof line, "P%03d S%07ld item %2d  x 1   %6.2f\x1b!%c\n", pos,
                            seq++, i, 1.25 * i, 0);
    r.append(line, static_cast<size_t>(len));
  }
  return r + "\x1dV\x01";
}

long ReadStatusKb(const std::string& key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  }
  return -1;
}

int CountFds() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n - 1;  // the directory's own descriptor
}

// Per POS number: CPU seconds of the listener threads ("pos<N>.<role>"),
// from schedstat (nanoseconds on a CPU, finer than the tick counts of
// stat), and the time slices of its analyzer and writer threads (each
// wake-up starts one).
struct ListenerTimes {
  std::vector<double> cpu;
  std::vector<long> analyzeSlices;
  std::vector<long> writeSlices;
};

ListenerTimes ReadListenerTimes(int maxPos) {
  const auto n = static_cast<size_t>(maxPos) + 1;
  ListenerTimes t{std::vector<double>(n, 0.0), std::vector<long>(n, 0), std::vector<long>(n, 0)};
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream commIn(e.path() / "comm");
    std::ifstream schedIn(e.path() / "schedstat");
    std::string comm;
    int pos = 0;
    char role[16] = {};
    unsigned long long ns = 0, waitNs = 0;
    long slices = 0;
    if (std::getline(commIn, comm) && std::sscanf(comm.c_str(), "pos%d.%15s", &pos, role) == 2 &&
        pos >= 1 && pos <= maxPos && schedIn >> ns >> waitNs >> slices) {
      const auto i = static_cast<size_t>(pos);
      t.cpu[i] += static_cast<double>(ns) / 1e9;
      if (std::strcmp(role, "analyze") == 0) t.analyzeSlices[i] += slices;
      if (std::strcmp(role, "write") == 0) t.writeSlices[i] += slices;
    }
  }
  return t;
}

void Give(RCPosHark& listener, std::string& bytes) {
  listener.GotData(static_cast<int>(bytes.size()), reinterpret_cast<unsigned char*>(bytes.data()));
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
    int* pValue = a == "--fast"      ? &nFast
                  : a == "--paced"   ? &nPaced
                  : a == "--seconds" ? &nSeconds
                                     : nullptr;
    if (!pValue) {
      std::fprintf(stderr, "usage: %s [--fast F] [--paced P] [--seconds S]\n", argv[0]);
      return 2;
    }
    *pValue = std::atoi(argv[i + 1]);
  }
  const int nAll = nFast + nPaced;
  if (nFast < 0 || nPaced < 0 || nAll < 1 || nAll > kMaxListeners || nSeconds < 1) {
    std::fprintf(stderr, "bad counts\n");
    return 2;
  }

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
    listeners.push_back(std::make_unique<RCPosHark>(pos));
    if (!listeners.back()->SelectCmdSet(0)) {
      std::fprintf(stderr, "no command set\n");
      return 2;
    }
    listeners.back()->SetGateOpenTime(0);
    listeners.back()->ListenStart(&LineOut, true);
  }
  const long rssStarted = ReadStatusKb("VmRSS:");
  auto listener = [&](int pos) -> RCPosHark& { return *listeners[static_cast<size_t>(pos - 1)]; };
  std::atomic<bool> run{true};

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
        Give(listener(pos), r);
        s.fed += kLinesPerReceipt;
        any = true;
      }
      if (!any) {
        std::unique_lock<std::mutex> lock(g_waitLock);
        g_waitCv.wait_for(lock, std::chrono::milliseconds(1));
      }
    }
  });

  // Paced listeners F+1..F+P: every 10 ms the bytes a 115200-baud line has
  // carried since the start and were not given yet, cut wherever they fall.
  // A tick that came late gives more, so the pace holds as long as this
  // thread can feed them all at all.
  long pacedBytes = 0;
  double pacedSeconds = 0;  // both read after the thread has ended
  std::thread paced([&] {
    struct Feed {
      std::string pending;
      long seq = 0;
      long given = 0;
    };
    std::vector<Feed> feeds(static_cast<size_t>(nAll) + 1);
    const auto start = Clock::now();
    for (auto next = start; run; std::this_thread::sleep_until(next)) {
      next += std::chrono::milliseconds(kTickMs);
      const auto due = static_cast<long>(
          kPacedBytesPerSec * std::chrono::duration<double>(Clock::now() - start).count());
      for (int pos = nFast + 1; pos <= nAll; ++pos) {
        Feed& f = feeds[static_cast<size_t>(pos)];
        const auto n = static_cast<size_t>(std::max(0L, due - f.given));
        f.given += static_cast<long>(n);
        pacedBytes += static_cast<long>(n);
        while (f.pending.size() < n) {
          f.pending += Receipt(pos, f.seq, kLinesPerReceipt);
          g_stats[pos].fed += kLinesPerReceipt;
        }
        std::string chunk = f.pending.substr(0, n);
        f.pending.erase(0, n);
        Give(listener(pos), chunk);
      }
    }
    pacedSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    // The lines counted as fed but not yet sent whole: send the rest.
    for (int pos = nFast + 1; pos <= nAll; ++pos)
      Give(listener(pos), feeds[static_cast<size_t>(pos)].pending);
  });

  // Samples once a second.
  long threadsMin = 1 << 30, threadsMax = 0, rssMax = 0, rssAt10 = 0;
  int fdsMin = 1 << 30, fdsMax = 0;
  const ListenerTimes timesStart = ReadListenerTimes(nAll);
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
  const ListenerTimes timesEnd = ReadListenerTimes(nAll);
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

  // Sums per group: [0] fast, [1] paced.
  long fed[2] = {}, out[2] = {}, ovf[2] = {}, disorder = 0;
  double cpu[2] = {};
  long analyzeSlices[2] = {}, writeSlices[2] = {};
  for (int pos = 1; pos <= nAll; ++pos) {
    const Stats& s = g_stats[pos];
    int g = pos > nFast;
    fed[g] += s.fed;
    out[g] += s.out;
    ovf[g] += s.overflow;
    const auto i = static_cast<size_t>(pos);
    cpu[g] += timesEnd.cpu[i] - timesStart.cpu[i];
    analyzeSlices[g] += timesEnd.analyzeSlices[i] - timesStart.analyzeSlices[i];
    writeSlices[g] += timesEnd.writeSlices[i] - timesStart.writeSlices[i];
    disorder += s.disorder;
  }
  std::printf("listeners: %d fast + %d paced (115200 baud), %.1f s\n", nFast, nPaced, elapsed);
  std::printf("fast:  %ld lines in, %ld out, %.0f lines/s, %ld overflow notes, CPU %.2f s\n",
              fed[0], out[0], static_cast<double>(out[0]) / elapsed, ovf[0], cpu[0]);
  std::printf(
      "paced: %ld lines in, %ld out, %ld overflow notes, CPU %.3f s = %.3f%% of a core "
      "per listener\n",
      fed[1], out[1], ovf[1], cpu[1], nPaced ? 100.0 * cpu[1] / nPaced / elapsed : 0.0);
  if (nPaced) {
    std::printf("paced wake-ups: %.1f analyzer and %.1f writer per listener and second\n",
                static_cast<double>(analyzeSlices[1]) / nPaced / elapsed,
                static_cast<double>(writeSlices[1]) / nPaced / elapsed);
  }
  const double pacedRate =
      nPaced ? static_cast<double>(pacedBytes) / nPaced / std::max(pacedSeconds, 1e-3) : 0.0;
  std::printf("paced rate: %.0f bytes/s per listener (115200 baud carries %.0f)\n", pacedRate,
              kPacedBytesPerSec);
  std::printf("lines out of sequence: %ld\n", disorder);
  std::printf(
      "resident memory: %ld KiB before, %ld KiB started (%.1f KiB per listener), "
      "%ld KiB at 10 s, %ld KiB at end, %ld KiB max\n",
      rssBefore, rssStarted, static_cast<double>(rssStarted - rssBefore) / nAll, rssAt10, rssEnd,
      rssMax);
  std::printf("threads: %ld before, %ld..%ld during, %ld after stop\n", threadsBefore, threadsMin,
              threadsMax, threadsAfter);
  std::printf("descriptors: %d before, %d..%d during, %d after stop\n", fdsBefore, fdsMin, fdsMax,
              fdsAfter);

  int passed = 0, failed = 0;
  auto check = [&](bool ok, const char* what) {
    (ok ? passed : failed)++;
    if (!ok) std::printf("FAILED: %s\n", what);
  };
  check(out[0] == fed[0], "every line fed to a fast listener came out");
  check(out[1] == fed[1], "every line fed to a paced listener came out");
  check(ovf[1] == 0, "no overflow note at the paced rate");
  check(nPaced == 0 || pacedRate >= 0.99 * kPacedBytesPerSec, "paced listeners fed at the pace");
  check(disorder == 0, "lines in sequence");
  check(threadsMin == threadsMax, "thread count stable while running");
  check(fdsMin == fdsMax, "descriptor count stable while running");
  check(threadsAfter == threadsBefore && fdsAfter == fdsBefore,
        "threads and descriptors back to the start after stopping");
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
