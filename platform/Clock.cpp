#include "platform/Clock.h"

#include <time.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace poshark::platform {

namespace {

std::mutex g_sourceLock;
std::shared_ptr<std::function<SYSTEMTIME()>> g_pSource;  // guarded by g_sourceLock
std::atomic<bool> g_bHasSource{false};                   // fast path for the real clock

// Days since 1970-01-01 of a proleptic Gregorian date, for any year.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

uint32_t TickOf(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  uint64_t nMs =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(nMs);
}

}  // namespace

uint32_t GetTickCount() { return TickOf(CLOCK_MONOTONIC); }

uint32_t GetCoarseTickCount() { return TickOf(CLOCK_MONOTONIC_COARSE); }

void GetLocalTime(SYSTEMTIME* pTime) {
  if (!pTime) {
    return;
  }
  if (g_bHasSource.load(std::memory_order_acquire)) {
    std::shared_ptr<std::function<SYSTEMTIME()>> pSource;
    {
      std::lock_guard<std::mutex> guard(g_sourceLock);
      pSource = g_pSource;
    }
    if (pSource) {
      *pTime = (*pSource)();
      return;
    }
  }
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  pTime->wYear = static_cast<uint16_t>(local.tm_year + 1900);
  pTime->wMonth = static_cast<uint16_t>(local.tm_mon + 1);
  pTime->wDayOfWeek = static_cast<uint16_t>(local.tm_wday);
  pTime->wDay = static_cast<uint16_t>(local.tm_mday);
  pTime->wHour = static_cast<uint16_t>(local.tm_hour);
  pTime->wMinute = static_cast<uint16_t>(local.tm_min);
  // A leap second (tm_sec 60) is folded into 59, as SYSTEMTIME has no room for it.
  pTime->wSecond = static_cast<uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
  pTime->wMilliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

uint16_t DayOfWeek(int nYear, int nMonth, int nDay) {
  // 1970-01-01 was a Thursday (4).
  int64_t nDays = DaysFromCivil(nYear, static_cast<unsigned>(nMonth), static_cast<unsigned>(nDay));
  int64_t nDow = (nDays + 4) % 7;
  return static_cast<uint16_t>(nDow < 0 ? nDow + 7 : nDow);
}

void SetLocalTimeSourceForTesting(std::function<SYSTEMTIME()> source) {
  std::lock_guard<std::mutex> guard(g_sourceLock);
  if (source) {
    g_pSource = std::make_shared<std::function<SYSTEMTIME()>>(std::move(source));
    g_bHasSource.store(true, std::memory_order_release);
  } else {
    g_pSource.reset();
    g_bHasSource.store(false, std::memory_order_release);
  }
}

}  // namespace poshark::platform
