// Serial reader of the listener: opening, reading and releasing the port,
// its status polls, and the calls to the port-registration library.
#include <poshark/RCPosHark.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "listener/RCSerialPort.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/DynLib.h"
#include "platform/Event.h"
#include "platform/Paths.h"
#include "platform/SerialPort.h"

using poshark::platform::SerialIo;
using poshark::platform::SerialPort;
using poshark::platform::SerialWake;

namespace {

constexpr int kReadBlock = 512;
constexpr int kReaderWaitMs = 500;  // the run flag is tested at least this often
constexpr uint32_t kCommEventMask = poshark::platform::kEvCts | poshark::platform::kEvDsr |
                                    poshark::platform::kEvRlsd | poshark::platform::kEvBreak |
                                    poshark::platform::kEvErr | poshark::platform::kEvRing;
static_assert(kCommEventMask == 0x1F8);

constexpr uint32_t kPortInUse = 96;
constexpr uint32_t kPortReleased = 0;
constexpr size_t kDeviceNameSize = 64;  // the library is handed names of at most 63 characters
constexpr const char* kRegistrationLibrary = "libKXComPort.so";
constexpr const char* kRegistrationEntry = "RegKexComPort";

using RegKexComPortFt = int (*)(unsigned int nPort, unsigned int nState, const char* pszName);

// The registration library, loaded on first use and kept for the life of the
// process (a listener may be destroyed late during exit, so nothing here has
// a destructor). A missing library or entry makes every call a no-op.
struct Registration {
  poshark::platform::DynLib* pLib = nullptr;
  RegKexComPortFt pfnEntry = nullptr;
};

const Registration& TheRegistration() {
  static const Registration s_registration = [] {
    Registration reg;
    auto pLib = std::make_unique<poshark::platform::DynLib>();
    std::string folder =
        poshark::platform::DynLib::FolderOf(reinterpret_cast<const void*>(&TheRegistration));
    bool bLoaded = !folder.empty() &&
                   pLib->Open(poshark::platform::JoinPath(folder, kRegistrationLibrary));
    if (!bLoaded) {
      bLoaded = pLib->Open(kRegistrationLibrary);
    }
    if (bLoaded) {
      reg.pfnEntry = reinterpret_cast<RegKexComPortFt>(pLib->Symbol(kRegistrationEntry));
    }
    if (reg.pfnEntry) {
      reg.pLib = pLib.release();
    }
    return reg;
  }();
  return s_registration;
}

}  // namespace

void RCPosHark::RegisterPort(uint32_t nPort, uint32_t nState, const char* pszName) {
  RegKexComPortFt pfnReg = TheRegistration().pfnEntry;
  if (!pfnReg) {
    return;
  }
  char szName[kDeviceNameSize] = {};
  if (pszName) {
    std::strncpy(szName, pszName, sizeof szName - 1);
  }
  pfnReg(nPort, nState, szName);
}

int RCPosHark::OpenCom(int nPort, int nBaud, int nDataBitsIn, int nStopBitsIn, int nParityIn,
                       void* hHandle, char* pszName) {
  std::lock_guard<std::recursive_mutex> lifecycle(csLifecycle);
  if (pszName) {
    strDeviceName = pszName;
  }
  int nOpened = m_Serial->Open(nPort, nBaud, nDataBitsIn, nStopBitsIn, nParityIn, hHandle);
  nComPort = nPort;
  nBaudRate = nBaud;
  nDataBits = nDataBitsIn;
  nStopBits = nStopBitsIn;
  nParity = nParityIn;
  if (!nOpened) {
    return 0;
  }
  hComHandle = hHandle;
  dwOpenTick = poshark::platform::GetTickCount();
  RegisterPort(static_cast<uint32_t>(nPort), kPortInUse,
               strDeviceName.empty() ? "POS Device" : strDeviceName.c_str());
  return 1;
}

int RCPosHark::ReOpenCom() {
  m_Serial->Close();
  RegisterPort(static_cast<uint16_t>(nComPort), kPortReleased, "");
  // A descriptor the host gave is gone with the Close above; the port object
  // reopens such a port by the device path it was on.
  hComHandle = nullptr;
  int nOpened = m_Serial->Open(nComPort, nBaudRate, nDataBits, nStopBits, nParity, nullptr,
                               /*bReopen=*/true);
  if (nOpened) {
    RegisterPort(static_cast<uint16_t>(nComPort), kPortInUse,
                 strDeviceName.empty() ? "POS Device" : strDeviceName.c_str());
  }
  return nOpened;
}

int RCPosHark::CloseCom() {
  std::lock_guard<std::recursive_mutex> lifecycle(csLifecycle);
  bListenRun = false;
  m_Serial->Break();
  if (hListenThread.joinable()) {
    hListenThread.join();
  }
  m_Serial->Close();
  RegisterPort(static_cast<uint16_t>(nComPort), kPortReleased, "");
  return 1;
}

void RCPosHark::BreakCom() {
  bListenRun = false;
  m_Serial->Break();
}

void RCPosHark::ListenThread() {
  PrepareIntake();

  // Our own reference: a Close on another thread cannot take the port away
  // while we wait on it.
  std::shared_ptr<SerialPort> port = m_Serial->Port();
  poshark::platform::Event* pBreak = m_Serial->BreakEvent();
  unsigned char byRead[kReadBlock] = {};
  if (port) {
    CheckModemStatus(port.get(), 0);
    CheckComStat(port.get(), 0);
  }

  bool bReading = false;
  bool bWaiting = false;
  bool bDrop = false;  // the next block read is damaged by a line error
  bool bLost = false;
  auto lose = [&] {
    bLost = true;
    bListenRun = false;
  };
  auto deliver = [&](int nRead) {
    if (bDrop) {
      bDrop = false;
    } else if (nRead > 0) {
      GotData(nRead, byRead);
    }
  };

  while (bListenRun) {
    if (!bReading) {
      std::memset(byRead, 0, sizeof byRead);
      int nRead = 0;
      SerialIo io = port ? port->StartRead(byRead, kReadBlock, &nRead) : SerialIo::kFailed;
      if (io == SerialIo::kFailed) {
        lose();
        continue;
      }
      if (io == SerialIo::kComplete) {
        // Handed over once; it is not under way any more, so the next pass
        // starts the next read instead of waiting for this one again.
        deliver(nRead);
      } else {
        bReading = true;
      }
    }
    if (!bWaiting) {
      uint32_t dwMask = 0;
      SerialIo io = port->StartWaitCommEvent(kCommEventMask, &dwMask);
      if (io == SerialIo::kComplete) {
        bDrop = CheckErrDesert(dwMask) != 0;
        continue;
      }
      if (io == SerialIo::kFailed) {
        lose();
        continue;
      }
      bWaiting = true;
    }
    if (!bReading) {
      continue;
    }
    switch (port->Wait(pBreak, kReaderWaitMs)) {
      case SerialWake::kBreak:
        port->CancelIo();
        port->Purge();
        bReading = false;
        bWaiting = false;
        bListenRun = false;
        break;
      case SerialWake::kRead: {
        int nRead = 0;
        bReading = false;
        if (port->GetReadResult(&nRead)) {
          deliver(nRead);
        } else {
          lose();
        }
        break;
      }
      case SerialWake::kCommEvent: {
        uint32_t dwMask = 0;
        bWaiting = false;
        if (port->GetCommEventResult(&dwMask)) {
          bDrop = CheckErrDesert(dwMask) != 0;
        } else {
          lose();
        }
        break;
      }
      case SerialWake::kTimeout:
        CheckModemStatus(port.get(), 0);
        CheckComStat(port.get(), 0);
        break;
    }
  }

  poshark::platform::OutputDebugStringA("###COM Listen thread Get exit start\r\n");
  if (port && (bReading || bWaiting)) {
    port->CancelIo();
  }
  if (bLost && hPortLostEvent) {
    hPortLostEvent->Set();
  }
}

int RCPosHark::CheckErrDesert(uint32_t dwEvtMask) {
  auto port = m_Serial->Port();
  CheckModemStatus(port.get(), 0);
  if (dwEvtMask & poshark::platform::kEvErr) {
    return 1;
  }
  CheckComStat(port.get(), 0);
  return 0;
}

void RCPosHark::CheckComStat(void* hPort, int) {
  if (!hPort) {
    return;
  }
  uint32_t dwErrors = 0;
  static_cast<SerialPort*>(hPort)->ClearError(&dwErrors);
}

void RCPosHark::CheckModemStatus(void* hPort, int) {
  if (!hPort) {
    return;
  }
  uint32_t dwStatus = 0;
  static_cast<SerialPort*>(hPort)->GetModemStatus(&dwStatus);
}

void RCPosHark::ReportModemStatus(uint32_t) {}
