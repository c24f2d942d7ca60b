// The listener's serial port: opening, reopening and releasing it, the
// calls to the port-registration library that announce each, and the serial
// reader's thread and status polls.
#include <poshark/RCPosHark.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "listener/RCSerialPort.h"
#include "listener/SerialReader.h"
#include "listener/ThreadEntry.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/DynLib.h"
#include "platform/Event.h"
#include "platform/Paths.h"
#include "platform/SerialPort.h"

namespace {

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
    bool bLoaded =
        !folder.empty() && pLib->Open(poshark::platform::JoinPath(folder, kRegistrationLibrary));
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
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
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
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
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
  poshark::listener::RunReportingExceptions(nPOSNo, "serial reader", [this] {
    PrepareIntake();
    poshark::listener::SerialReader reader(
        m_Serial->Port(), m_Serial->BreakEvent(), bListenRun,
        [this](int nLen, unsigned char* pData) { GotData(nLen, pData); });
    const bool bLost = reader.Run();
    poshark::platform::OutputDebugStringA("###COM Listen thread Get exit start\r\n");
    if (bLost && hPortLostEvent) {
      hPortLostEvent->Set();
    }
  });
}

int RCPosHark::CheckErrDesert(uint32_t dwEvtMask) {
  return poshark::listener::SerialReader::CheckErrDesert(m_Serial->Port().get(), dwEvtMask);
}

void RCPosHark::CheckComStat(void* hPort, int) {
  poshark::listener::SerialReader::CheckComStat(static_cast<poshark::platform::SerialPort*>(hPort));
}

void RCPosHark::CheckModemStatus(void* hPort, int) {
  poshark::listener::SerialReader::CheckModemStatus(
      static_cast<poshark::platform::SerialPort*>(hPort));
}

void RCPosHark::ReportModemStatus(uint32_t) {}
