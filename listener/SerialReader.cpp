// The serial reader: a blocking read loop that feeds the intake, and the
// port's status polls.
#include "listener/SerialReader.h"

#include <utility>

#include "platform/Debug.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"

using poshark::platform::SerialPort;
using poshark::platform::SerialRead;

namespace poshark::listener {

static_assert(SerialReader::kCommEventMask ==
              (platform::kEvCts | platform::kEvDsr | platform::kEvRlsd | platform::kEvBreak |
               platform::kEvErr | platform::kEvRing));

SerialReader::SerialReader(std::shared_ptr<SerialPort> pPort, platform::Event* pBreak,
                           std::atomic<bool>& bRun, Intake intake)
    : pPort_(std::move(pPort)), pBreak_(pBreak), bRun_(bRun), intake_(std::move(intake)) {}

bool SerialReader::Run() {
  if (!pPort_) {
    bRun_ = false;
    return true;
  }
  CheckModemStatus(pPort_.get());
  CheckComStat(pPort_.get());
  bool bLost = false;
  while (bRun_ && !bLost) {
    int nRead = 0;
    switch (pPort_->Read(byRead_, kReadBlock, &nRead, kReadTimeoutMs, pBreak_)) {
      case SerialRead::kData:
        TakeCommEvents();  // a line error while the block came in damages it
        Deliver(nRead);
        break;
      case SerialRead::kTimeout:
        if (!TakeCommEvents()) {
          CheckModemStatus(pPort_.get());
          CheckComStat(pPort_.get());
        }
        break;
      case SerialRead::kBreak:
        pPort_->Purge();
        bRun_ = false;
        break;
      case SerialRead::kLost:
        bLost = true;
        bRun_ = false;
        break;
    }
  }
  return bLost;
}

bool SerialReader::TakeCommEvents() {
  const uint32_t dwEvents = pPort_->TakeCommEvents(kCommEventMask);
  if (dwEvents != 0) {
    bDrop_ = CheckErrDesert(pPort_.get(), dwEvents) != 0;
  }
  return dwEvents != 0;
}

void SerialReader::Deliver(int nRead) {
  if (bDrop_) {
    bDrop_ = false;
  } else if (nRead > 0) {
    intake_(nRead, byRead_);
  }
}

int SerialReader::CheckErrDesert(SerialPort* pPort, uint32_t dwEvtMask) {
  CheckModemStatus(pPort);
  if (dwEvtMask & platform::kEvErr) {
    return 1;
  }
  CheckComStat(pPort);
  return 0;
}

void SerialReader::CheckComStat(SerialPort* pPort) {
  uint32_t dwErrors = 0;
  if (pPort) {
    pPort->ClearError(&dwErrors);
  }
}

void SerialReader::CheckModemStatus(SerialPort* pPort) {
  uint32_t dwStatus = 0;
  if (pPort) {
    pPort->GetModemStatus(&dwStatus);
  }
}

}  // namespace poshark::listener
