// The idle stop: while the current command set's idle stop switch is on,
// closes an open transaction after the set's wait time without bytes.
//
// Contract: once a second the set's IdleTick counts an idle second; when it
// reports the wait time reached, an empty record with the transaction-stop
// event is queued for the writer and the writer is woken. The byte intake
// resets the count whenever bytes arrive.
// Owns: the idle thread and its run flag; it waits on the listener's stop
// event and wakes the writer through the writer's event.
// Locking: none of its own. Run is the idle thread's; the queue locks
// itself, the set's idle counter is a single int written whole, and the
// events outlive the thread.
#pragma once

#include <atomic>
#include <memory>

#include "listener/Worker.h"

class RCLineQueue;

namespace poshark::commands {
class CmdSetCatalog;
}
namespace poshark::platform {
class Event;
}

namespace poshark::listener {

class LineWriter;

class IdleStop {
 public:
  // The queue, catalogue, stop event (shared by the listener's workers) and
  // writer are the listener's and outlive the idle stop.
  IdleStop(int nPOSNo, RCLineQueue& writeQueue, commands::CmdSetCatalog& catalog,
           std::unique_ptr<platform::Event>& hStopEvent, LineWriter& writer)
      : worker(nPOSNo, "idle"),
        writeQueue_(writeQueue),
        catalog_(catalog),
        hStopEvent_(hStopEvent),
        writer_(writer) {}

  // Body of the idle thread: ticks until the stop event or the run flag ends it.
  void Run();

  // The idle thread and its run flag (bStopEventRun, hStopEventThread).
  Worker worker;

 private:
  RCLineQueue& writeQueue_;
  commands::CmdSetCatalog& catalog_;
  std::unique_ptr<platform::Event>& hStopEvent_;
  LineWriter& writer_;
};

}  // namespace poshark::listener
