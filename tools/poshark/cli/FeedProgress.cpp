#include "cli/FeedProgress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace poshark::tool {

namespace {

constexpr double kKilo = 1000.0;

// "18.7 kB", "2.1 MB": bytes in decimal units.
std::string Bytes(double n) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  size_t unit = 0;
  while (n >= kKilo && unit + 1 < std::size(kUnits)) {
    n /= kKilo;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", n, kUnits[unit]);
  return text;
}

}  // namespace

FeedProgress::FeedProgress(const std::string& path, bool quiet, const ChannelCounters& counters)
    : counters_(counters) {
  struct stat st {};
  on_ = !quiet && path != "-" && isatty(STDERR_FILENO) != 0 && stat(path.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode);
  if (!on_) return;
  size_ = static_cast<uint64_t>(st.st_size);
  name_ = path.substr(path.rfind('/') + 1);
  start_ = std::chrono::steady_clock::now();
  next_ = start_ + kProgressEvery;
}

void FeedProgress::Tick() {
  if (!on_ || std::chrono::steady_clock::now() < next_) return;
  next_ = std::chrono::steady_clock::now() + kProgressEvery;
  Show();
}

void FeedProgress::Finish() {
  if (!on_ || !shown_) return;
  Show();
  std::fputc('\n', stderr);
}

void FeedProgress::Show() {
  const auto bytes = static_cast<double>(counters_.bytes.load(std::memory_order_relaxed));
  const auto lines = counters_.lines.load(std::memory_order_relaxed);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const int percent = size_ > 0 ? static_cast<int>(bytes * 100 / static_cast<double>(size_)) : 100;
  // \r and erase to the end: the line is rewritten in place.
  std::fprintf(stderr, "\rposhark: %s: %s of %s (%d%%), %llu lines, %s/s\x1b[K", name_.c_str(),
               Bytes(bytes).c_str(), Bytes(static_cast<double>(size_)).c_str(), percent,
               static_cast<unsigned long long>(lines),
               Bytes(seconds > 0 ? bytes / seconds : 0).c_str());
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace poshark::tool
