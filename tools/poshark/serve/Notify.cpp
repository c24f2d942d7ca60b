#include "serve/Notify.h"

#ifdef POSHARK_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <time.h>

#include <cstdint>
#include <string>

namespace poshark::tool {

namespace {

void Send([[maybe_unused]] const std::string& state) {
#ifdef POSHARK_HAVE_SYSTEMD
  sd_notify(0, state.c_str());
#endif
}

}  // namespace

void NotifyReady() { Send("READY=1"); }

void NotifyReloading() {
  // The manager matches a reload by the monotonic time it was announced at.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t usec =
      static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
  Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void NotifyStopping() { Send("STOPPING=1"); }

void NotifyWatchdog() { Send("WATCHDOG=1"); }

void NotifyStatus(const std::string& text) { Send("STATUS=" + text); }

std::chrono::milliseconds WatchdogPeriod() {
#ifdef POSHARK_HAVE_SYSTEMD
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    return std::chrono::milliseconds(usec / 2000);
  }
#endif
  return std::chrono::milliseconds(0);
}

}  // namespace poshark::tool
