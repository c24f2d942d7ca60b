// The service manager's notification protocol (systemd's Type=notify):
// ready, reloading, stopping, and watchdog pings. Without a manager (no
// NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <chrono>

namespace poshark::tool {

void NotifyReady();
void NotifyReloading();
void NotifyStopping();
void NotifyWatchdog();
// How often to ping the watchdog (half its timeout); zero when none is set.
std::chrono::milliseconds WatchdogPeriod();

}  // namespace poshark::tool
