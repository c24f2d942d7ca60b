// RCSerialPort: the listener's serial port object (m_Serial). It opens and
// configures one port and owns the break event that makes the serial reader
// stop waiting.
//
// Threads: Open and Close run on the host thread or on the port resume
// watcher, under the listener's lifecycle lock (which also covers the
// reopening path below); Purge, Break and Port may be called from any thread. The reader takes its
// own reference to the open port (Port()), so a Close on another thread can never pull the
// descriptor away in the middle of a wait: the descriptor closes when the last reference goes.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/ThreadAnnotations.h"

namespace poshark::platform {
class Event;
class SerialPort;
}  // namespace poshark::platform

class RCSerialPort {
 public:
  RCSerialPort();
  ~RCSerialPort();
  RCSerialPort(const RCSerialPort&) = delete;
  RCSerialPort& operator=(const RCSerialPort&) = delete;

  // Opens port nPort (1 = COM1, found through the port map) or adopts the
  // descriptor hHandle carries ((void*)(intptr_t)(fd + 1); the port object
  // then owns it) and configures it. Stop-bit and parity codes as OpenCom
  // takes them; out-of-range codes fall back to 0, data bits outside 5..8 to
  // 8. Already open: with no handle answers 1 and changes nothing; with a
  // handle closes first. Answers 1 when open, 0 otherwise.
  // bReopen (the port resume path): a port last opened from a host's
  // descriptor, whose number the port map does not list, is opened again by
  // the device path that descriptor was on.
  int Open(int nPort, int nBaud, int nDataBits, int nStopBits, int nParity, void* hHandle,
           bool bReopen = false);
  // Sets the break event, drops DTR, purges and releases the port. Always 1.
  int Close();
  // Discards queued input and output, when open.
  void Purge();
  // Sets the break event: a waiting reader stops.
  void Break();

  // The open port, or null. The reader keeps this reference while it runs.
  std::shared_ptr<poshark::platform::SerialPort> Port() const;
  // The break event (never null).
  poshark::platform::Event* BreakEvent() const { return hBreakEvent.get(); }
  bool IsOpen() const { return bOpened.load(); }

 private:
  mutable poshark::platform::Mutex csPort;
  std::shared_ptr<poshark::platform::SerialPort> hPort GUARDED_BY(csPort);  // or null
  // Manual-reset; reset by every Open, closed by the destructor.
  std::unique_ptr<poshark::platform::Event> hBreakEvent;
  std::atomic<bool> bOpened{false};  // open and configured
  // A port opened from a host's descriptor is reopened by its device path
  // when the port map has no entry for its number: the descriptor itself is
  // gone once the port was closed. Open's callers only (lifecycle lock).
  int nHandlePort = 0;
  std::string strHandlePath;
};
