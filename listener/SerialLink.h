// SerialLink: the listener's serial side. It owns the port, the settings it
// was last opened with (for reopening), the serial reader's thread and run
// flag, and the port resume watcher's thread, run flag and events, and it
// announces every opening and release to the port-registration library.
//
// Contract: Open, Reopen and Close are the port's steps of OpenCom,
// ReOpenCom and CloseCom; Release is the destructor's. The listener runs
// the reader and the watcher (their bodies are its ListenThread and
// USBResumeThread) through the two workers.
// Threads and locking: Open, Reopen, Close and the workers' Start and Stop
// run under the listener's lifecycle lock (the host's thread, or the
// watcher's); Break may come from any thread (the port's calls lock
// themselves). The reader reports a lost port by setting hPortLostEvent;
// the events are made by the listener's start and outlive the workers. The
// members are public because the listener shows them to derived hosts under
// their own names (m_Serial, nComPort, bListenRun, ...).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "listener/RCSerialPort.h"
#include "listener/Worker.h"

namespace poshark::platform {
class Event;
}

namespace poshark::listener {

class SerialLink {
 public:
  explicit SerialLink(int nPOSNo);
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Stores the settings (and pszName, when given, as the device name) and
  // opens the port; registers it when open. 1 when open, else 0.
  int Open(int nPort, int nBaud, int nDataBits, int nStopBits, int nParity, void* hHandle,
           const char* pszName);
  // Closes, deregisters, reopens with the saved settings and registers
  // again; a descriptor the host gave is gone with the close, so the port is
  // reopened by the device path it was on. 1 when open, else 0.
  int Reopen();
  // Stops the reader (break event, run flag, join), closes and deregisters,
  // also when never opened (CloseCom, and the listener's destructor).
  void Close();
  // The reader stops at its next wait; the port stays open.
  void Break();
  // The port-registration library's call (nothing without the library).
  static void RegisterPort(uint32_t nPort, uint32_t nState, const char* pszName);

  std::unique_ptr<RCSerialPort> m_Serial;
  std::string strDeviceName;
  int nComPort = 0;
  int nBaudRate = 0;
  int nDataBits = 0;
  int nStopBits = 0;
  int nParity = 0;
  void* hComHandle = nullptr;
  Worker reader;   // the serial reader (bListenRun, hListenThread)
  Worker watcher;  // the port resume watcher (bResumeRun, hResumeThread)
  std::unique_ptr<platform::Event> hResumeStopEvent;  // manual-reset: ends the watcher
  std::unique_ptr<platform::Event> hPortLostEvent;    // manual-reset: the reader lost the port
  // Set as the watcher's body returns; tells a finished watcher from a live
  // one (std::thread cannot be polled). Made on the watcher's first start.
  std::unique_ptr<platform::Event> hResumeExitEvent;  // manual-reset

 private:
  void RegisterInUse() const;
};

}  // namespace poshark::listener
