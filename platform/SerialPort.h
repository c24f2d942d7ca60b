// Serial ports on termios behind a plain blocking interface: open and
// configure, a read that blocks until bytes come in, a break event is set,
// a time-out passes or the port is lost; a write; the modem lines; and the
// comm events and line errors the driver counts.
//
// A read that has bytes goes on until its buffer is full or 100 ms pass
// after a byte without another one, so a block is never cut inside a burst.
// A lost port (hang-up, a read of 0, EIO, ENXIO, ENODEV) ends the read under
// way (with the bytes already in, if any) and every later read at once.
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

// Quiet time after a byte that ends a read short of a full buffer.
inline constexpr int kSerialReadIntervalMs = 100;

struct SerialSettings {
  int nBaud = 9600;
  int nDataBits = 8;  // 5..8
  int nStopBits = 0;  // 0 one, 1 one and a half (two on Linux), 2 two
  int nParity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

enum class SerialRead {
  kData,     // *pnRead bytes (at least 1) are in
  kTimeout,  // nothing came in within the time-out
  kBreak,    // the break event is set (bytes already in are dropped)
  kLost,     // the port is gone; every later read answers this at once
};

// One open port. Thread use: one thread at a time reads; every other call is
// short, internally locked, and may come from any thread (also during a
// read: Purge and the polls do not wait for it).
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Applies the settings (raw mode). False when the driver refuses them.
  virtual bool Configure(const SerialSettings& settings) = 0;
  virtual void SetDtr(bool bOn) = 0;
  virtual void SetRts(bool bOn) = 0;

  // Reads up to nSize bytes into pBuf: blocks until a byte comes in, pBreak
  // (may be null) is set, nTimeoutMs pass (-1: no limit) or the port is lost;
  // once bytes are in, until nSize bytes or the quiet interval.
  virtual SerialRead Read(unsigned char* pBuf, int nSize, int* pnRead, int nTimeoutMs,
                          Event* pBreak) = 0;
  // Writes all nLen bytes unless the port is lost or does not take them
  // within a second; answers the count written.
  virtual int Write(const unsigned char* pData, int nLen) = 0;
  // Discards queued input and output.
  virtual void Purge() = 0;

  // Modem lines (kMs* bits). False when the driver has none to report.
  virtual bool GetModemStatus(uint32_t* pdwStatus) = 0;
  // Comm events of the mask's kinds (kEv* bits) since they were last taken,
  // and takes them; 0 when none.
  virtual uint32_t TakeCommEvents(uint32_t dwMask) = 0;
  // Line errors since the last call (kCe* bits), and clears them. False when
  // the port is lost.
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
