// The service manager's notification protocol (systemd's Type=notify):
// ready, reloading, stopping, and watchdog pings. Without a manager (no
// NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <chrono>
#include <string>

namespace poshark::tool {

void NotifyReady();
void NotifyReloading();
void NotifyStopping();
void NotifyWatchdog();
// A line of text the manager shows (systemctl status): STATUS=text.
void NotifyStatus(const std::string& text);
// How often to ping the watchdog (half its timeout); zero when none is set.
std::chrono::milliseconds WatchdogPeriod();

}  // namespace poshark::tool
