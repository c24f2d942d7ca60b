// The idle stop thread.
#include "listener/IdleStop.h"

#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "listener/LineWriter.h"
#include "listener/RCLineQueue.h"
#include "platform/Event.h"

namespace poshark::listener {
namespace {

constexpr int kTickMs = 1000;

}  // namespace

void IdleStop::Run() {
  while (worker.bRun) {
    if (platform::WaitForAny({hStopEvent_.get()}, kTickMs) != platform::kWaitTimeout) {
      worker.bRun = false;
      break;
    }
    RCCmdSet* pSet = catalog_.Current();
    if (pSet && pSet->IdleTick()) {
      writeQueue_.Push(nullptr, 0, nullptr, false, 0, TRAN_STOP);
      if (writer_.hWriteEvent) {
        writer_.hWriteEvent->Set();
      }
    }
  }
}

}  // namespace poshark::listener
