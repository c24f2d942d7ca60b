// The port resume watcher's timing and its access to the lifecycle lock.
//
// The watcher (RCPosHark::USBResumeThread) waits for the serial reader to
// report a lost port; it then stops listening, waits for the device to come
// back (reopening it at once and every kRetryMs), and listens again. Every
// wait of it includes its stop event and none lasts longer than kRetryMs
// (or the settle pause, which the stop event also ends), so a stop is
// honoured promptly without killing the thread.
//
// Threads: both functions run on the watcher's thread.
#pragma once

#include <mutex>

namespace poshark::platform {
class Event;
}

namespace poshark::listener {

inline constexpr int kResumeRetryMs = 100;
inline constexpr int kMaxSettleMs = 5000;

// Optional pause between stopping the workers and the first reopening, for
// adapters whose device node comes back before the driver is ready:
// ComPorts.ini, section [Resume], key SettleTime (ms, 0 to kMaxSettleMs,
// default 0).
int SettleTimeMs();

// Takes the lifecycle lock, unless the watcher is asked to stop first (then
// false, and the lock is not held): the host may hold the lock while it
// waits for a stopping watcher to end. While the host holds it, the watcher
// sleeps on its stop event and tries again every few milliseconds; a free
// lock is taken at once.
bool LockUnlessStopped(std::unique_lock<std::mutex>& lock, platform::Event& stop);

}  // namespace poshark::listener
