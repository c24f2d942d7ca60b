// Serial ports on termios, shaped after the overlapped model the serial
// reader is written for: one read and one comm-event wait may be under way at
// a time, and Wait reports the first of the break event, a completed read, a
// comm event, or a time-out.
//
// A read completes when its buffer is full or 100 ms pass after a byte
// without another one; it never completes empty. A lost port (hang-up, EIO,
// ENXIO, ENODEV) completes the outstanding read and comm-event wait with a
// failure.
//
// Tests substitute their own SerialPort (a port that reports a line error)
// through SetSerialPortOpenerForTesting.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct termios;

namespace poshark::platform {

class Event;

// Comm event bits, with the values the reader's event mask 0x1F8 uses.
inline constexpr uint32_t kEvCts = 0x0008;
inline constexpr uint32_t kEvDsr = 0x0010;
inline constexpr uint32_t kEvRlsd = 0x0020;
inline constexpr uint32_t kEvBreak = 0x0040;
inline constexpr uint32_t kEvErr = 0x0080;
inline constexpr uint32_t kEvRing = 0x0100;

// Modem status bits (GetModemStatus).
inline constexpr uint32_t kMsCtsOn = 0x0010;
inline constexpr uint32_t kMsDsrOn = 0x0020;
inline constexpr uint32_t kMsRingOn = 0x0040;
inline constexpr uint32_t kMsRlsdOn = 0x0080;

// Line error bits (ClearError).
inline constexpr uint32_t kCeRxOver = 0x0001;   // input buffer overrun
inline constexpr uint32_t kCeOverrun = 0x0002;  // character lost by the UART
inline constexpr uint32_t kCeRxParity = 0x0004;
inline constexpr uint32_t kCeFrame = 0x0008;
inline constexpr uint32_t kCeBreak = 0x0010;

struct SerialSettings {
  int nBaud = 9600;
  int nDataBits = 8;  // 5..8
  int nStopBits = 0;  // 0 one, 1 one and a half (two on Linux), 2 two
  int nParity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

enum class SerialIo {
  kComplete,  // finished at once; the result is ready
  kPending,   // under way; Wait reports its completion
  kFailed,    // the port is lost or unusable
};

enum class SerialWake { kBreak, kRead, kCommEvent, kTimeout };

// One open port. Thread use: the reader drives StartRead, StartWaitCommEvent,
// Wait and the results; Purge, SetDtr and the polls may come from another
// thread (each call is short and internally locked).
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Applies the settings (raw mode). False when the driver refuses them.
  virtual bool Configure(const SerialSettings& settings) = 0;
  virtual void SetDtr(bool bOn) = 0;
  virtual void SetRts(bool bOn) = 0;

  // Starts a read of up to nSize bytes into pBuf (which must stay valid until
  // the read completes or is cancelled). kComplete only when nSize bytes are
  // in at once; *pnRead then holds the count.
  virtual SerialIo StartRead(unsigned char* pBuf, int nSize, int* pnRead) = 0;
  // Starts a wait for a comm event of the mask's kinds. kComplete with
  // *pdwMask when one is already pending.
  virtual SerialIo StartWaitCommEvent(uint32_t dwMask, uint32_t* pdwMask) = 0;
  // Waits up to nTimeoutMs (-1: no limit) for the first of: pBreak set (may
  // be null), the read under way completed, the comm-event wait completed.
  virtual SerialWake Wait(Event* pBreak, int nTimeoutMs) = 0;
  // Result of the completed read: true with the count (at least 1), false
  // when the port was lost. The read is no longer under way.
  virtual bool GetReadResult(int* pnRead) = 0;
  // Result of the completed comm-event wait, as GetReadResult.
  virtual bool GetCommEventResult(uint32_t* pdwMask) = 0;
  // Drops the read and the comm-event wait under way.
  virtual void CancelIo() = 0;
  // Discards queued input and output and the read under way.
  virtual void Purge() = 0;

  // Modem lines (kMs* bits). False when the driver has none to report.
  virtual bool GetModemStatus(uint32_t* pdwStatus) = 0;
  // Line errors since the last call (kCe* bits), and clears them.
  virtual bool ClearError(uint32_t* pdwErrors) = 0;

  // The device path the port was opened on ("" when unknown).
  virtual std::string DevicePath() const = 0;
};

// Turns the settings into raw-mode termios (flow control off, parity
// checking with the parity, mark and space through CMSPAR, one and a half
// stop bits as two). False for a baud rate without a B constant.
bool MakeSerialTermios(const SerialSettings& settings, termios* pTio);

// Device path of port nPort: key "COM<n>" of section [Ports] in ComPorts.ini
// in the poshark home, else /dev/ttyS<n-1>. "" for nPort < 1.
std::string SerialPortPath(int nPort);
// The port map's entry for nPort, or "" when it has none.
std::string SerialPortMapEntry(int nPort);

// Opens port nPort exclusively (O_NOCTTY, TIOCEXCL and a non-blocking flock,
// so a second opener is refused). Null on failure, with the reason in
// *pstrError when given.
std::unique_ptr<SerialPort> OpenSerialPort(int nPort, std::string* pstrError = nullptr);
// Takes over an open descriptor (closed by the port object, or here on
// failure). Null when it is not an open terminal or is held by another opener.
std::unique_ptr<SerialPort> AdoptSerialPort(int nFd, std::string* pstrError = nullptr);
// Opens a device path as OpenSerialPort does.
std::unique_ptr<SerialPort> OpenSerialPath(const std::string& path,
                                           std::string* pstrError = nullptr);

// Test hook: replaces OpenSerialPort (an empty function restores it).
using SerialPortOpener = std::function<std::unique_ptr<SerialPort>(int nPort)>;
void SetSerialPortOpenerForTesting(SerialPortOpener opener);

}  // namespace poshark::platform
