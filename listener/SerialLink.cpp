// The listener's serial side: opening, reopening and releasing the port, and
// the calls to the port-registration library that announce each.
#include "listener/SerialLink.h"

#include <cstring>
#include <memory>

#include "platform/DynLib.h"
#include "platform/Event.h"
#include "platform/Paths.h"

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

namespace poshark::listener {

SerialLink::SerialLink(int nPOSNo)
    : m_Serial(std::make_unique<RCSerialPort>()),
      reader(nPOSNo, "read"),
      watcher(nPOSNo, "resume") {}

SerialLink::~SerialLink() = default;

void SerialLink::RegisterPort(uint32_t nPort, uint32_t nState, const char* pszName) {
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

void SerialLink::RegisterInUse() const {
  RegisterPort(static_cast<uint16_t>(nComPort), kPortInUse,
               strDeviceName.empty() ? "POS Device" : strDeviceName.c_str());
}

int SerialLink::Open(int nPort, int nBaud, int nDataBitsIn, int nStopBitsIn, int nParityIn,
                     void* hHandle, const char* pszName) {
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
  RegisterPort(static_cast<uint32_t>(nPort), kPortInUse,
               strDeviceName.empty() ? "POS Device" : strDeviceName.c_str());
  return 1;
}

int SerialLink::Reopen() {
  m_Serial->Close();
  RegisterPort(static_cast<uint16_t>(nComPort), kPortReleased, "");
  hComHandle = nullptr;
  int nOpened = m_Serial->Open(nComPort, nBaudRate, nDataBits, nStopBits, nParity, nullptr,
                               /*bReopen=*/true);
  if (nOpened) {
    RegisterInUse();
  }
  return nOpened;
}

void SerialLink::Close() {
  Break();
  if (reader.thread.joinable()) {
    reader.thread.join();
  }
  m_Serial->Close();
  RegisterPort(static_cast<uint16_t>(nComPort), kPortReleased, "");
}

void SerialLink::Break() {
  reader.bRun = false;
  m_Serial->Break();
}

}  // namespace poshark::listener
