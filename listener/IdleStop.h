// The idle stop: while the current command set's idle stop switch is on,
// closes an open transaction after the set's wait time without bytes.
//
// Contract: once a second the set's IdleTick counts an idle second; when it
// reports the wait time reached, an empty record with the transaction-stop
// event is queued for the writer and the writer is woken. The byte intake
// resets the count whenever bytes arrive.
// Locking: none of its own. Run is the idle thread's; the queue locks
// itself, the set's idle counter is a single int written whole, and the
// events outlive the thread.
#pragma once

#include <atomic>
#include <memory>

class RCLineQueue;

namespace poshark::commands {
class CmdSetCatalog;
}
namespace poshark::platform {
class Event;
}

namespace poshark::listener {

class IdleStop {
 public:
  // All references are the listener's own and outlive the idle stop.
  IdleStop(RCLineQueue& writeQueue, commands::CmdSetCatalog& catalog, std::atomic<bool>& bRun,
           std::unique_ptr<platform::Event>& hStopEvent,
           std::unique_ptr<platform::Event>& hWriteEvent)
      : writeQueue_(writeQueue),
        catalog_(catalog),
        bRun_(bRun),
        hStopEvent_(hStopEvent),
        hWriteEvent_(hWriteEvent) {}

  // Body of the idle thread: ticks until the stop event or the run flag ends it.
  void Run();

 private:
  RCLineQueue& writeQueue_;
  commands::CmdSetCatalog& catalog_;
  std::atomic<bool>& bRun_;
  std::unique_ptr<platform::Event>& hStopEvent_;
  std::unique_ptr<platform::Event>& hWriteEvent_;
};

}  // namespace poshark::listener
