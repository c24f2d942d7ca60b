#include "listener/RCSerialPort.h"

#include <cstdint>

#include "platform/Debug.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace {

using poshark::platform::SerialPort;
using poshark::platform::SerialSettings;

const char* StopBitsName(int nCode) {
  static const char* const kNames[] = {"1", "1.5", "2"};
  return nCode >= 0 && nCode <= 2 ? kNames[nCode] : "?";
}

const char* ParityName(int nCode) {
  static const char* const kNames[] = {"None", "Odd", "Even", "Mark", "Space"};
  return nCode >= 0 && nCode <= 4 ? kNames[nCode] : "?";
}

}  // namespace

// The break event exists from the start (rather than from the first Open) so
// that Break never races with its creation; Open resets it all the same.
RCSerialPort::RCSerialPort()
    : hBreakEvent(std::make_unique<poshark::platform::Event>(
          poshark::platform::Event::kManualReset, false, poshark::platform::Event::Poll::kYes)) {}

RCSerialPort::~RCSerialPort() {
  Close();
  hBreakEvent.reset();
}

int RCSerialPort::Open(int nPort, int nBaud, int nDataBits, int nStopBits, int nParity,
                       void* hHandle, bool bReopen) {
  if (bOpened.load()) {
    if (!hHandle) {
      return 1;
    }
    Close();
  }

  std::unique_ptr<SerialPort> port;
  std::string strError;
  if (hHandle) {
    // The handle carries fd + 1, so that null means "none".
    intptr_t nFd = reinterpret_cast<intptr_t>(hHandle) - 1;
    port = poshark::platform::AdoptSerialPort(static_cast<int>(nFd), &strError);
    if (port) {
      nHandlePort = nPort;
      strHandlePath = port->DevicePath();
    }
  } else if (bReopen && nPort == nHandlePort && !strHandlePath.empty() &&
             poshark::platform::SerialPortMapEntry(nPort).empty()) {
    port = poshark::platform::OpenSerialPath(strHandlePath, &strError);
  } else {
    port = poshark::platform::OpenSerialPort(nPort, &strError);
    if (port) {
      nHandlePort = 0;
      strHandlePath.clear();
    }
  }
  if (!port) {
    if (!bReopen) {  // the resume watcher retries every 100 ms: stay quiet there
      poshark::platform::DebugPrintf("POS Open COM%d failed: %s\n", nPort, strError.c_str());
    }
    poshark::platform::MutexLock lock(csPort);
    hPort.reset();
    return 0;
  }

  hBreakEvent->Reset();

  SerialSettings settings;
  settings.nBaud = nBaud;
  settings.nDataBits = nDataBits >= 5 && nDataBits <= 8 ? nDataBits : 8;
  settings.nParity = nParity >= 0 && nParity <= 4 ? nParity : 0;
  settings.nStopBits = nStopBits >= 0 && nStopBits <= 2 ? nStopBits : 0;

  poshark::platform::DebugPrintf("POS Try to Open COM%d(%d,1,%d,s=%s,p=%s)\n", nPort, nBaud,
                                 settings.nDataBits, StopBitsName(settings.nStopBits),
                                 ParityName(settings.nParity));

  if (!port->Configure(settings)) {
    poshark::platform::MutexLock lock(csPort);
    hPort.reset();
    return 0;  // the port object closes its descriptor
  }
  port->SetRts(true);
  port->SetDtr(true);
  {
    poshark::platform::MutexLock lock(csPort);
    hPort = std::move(port);
  }
  bOpened = true;
  return 1;
}

int RCSerialPort::Close() {
  std::shared_ptr<SerialPort> port;
  {
    poshark::platform::MutexLock lock(csPort);
    port = std::move(hPort);
    hPort.reset();
  }
  if (bOpened.load() && port) {
    hBreakEvent->Set();
    port->SetDtr(false);
    port->Purge();
  }
  bOpened = false;
  return 1;  // the descriptor closes with the last reference
}

void RCSerialPort::Purge() {
  if (!bOpened.load()) {
    return;
  }
  if (auto port = Port()) {
    port->Purge();
  }
}

void RCSerialPort::Break() { hBreakEvent->Set(); }

std::shared_ptr<SerialPort> RCSerialPort::Port() const {
  poshark::platform::MutexLock lock(csPort);
  return hPort;
}
