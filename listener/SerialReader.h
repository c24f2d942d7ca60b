// SerialReader: one run of the listener's serial reader. It reads the port
// in blocks of up to kReadBlock bytes, hands each block to the intake, drops
// the block read after a line error, polls the modem status and the error
// state while the line is idle, and ends on a cleared run flag, a break or a
// lost port.
//
// Contract and locking: Run is called once, on the reader thread, and the
// object lives there; its own state (block buffer, drop mark) is touched by
// that thread only. It shares with other threads only what it is given: the
// port (its own reference, so a Close elsewhere cannot pull the descriptor
// away during a read; every port call is internally locked), the break event
// and the run flag. It blocks in the port's read, which ends when bytes come
// in, the break event is set, or kReadTimeoutMs pass; so a cleared run flag
// is seen within that time, and an idle line costs one wake-up per time-out.
// No lock is held while the intake runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace poshark::platform {
class Event;
class SerialPort;
}  // namespace poshark::platform

namespace poshark::listener {

class SerialReader {
 public:
  static constexpr int kReadBlock = 512;
  static constexpr int kReadTimeoutMs = 500;
  // The comm events watched: CTS, DSR, RLSD, break, line error, ring.
  static constexpr uint32_t kCommEventMask = 0x1F8;

  using Intake = std::function<void(int nLen, unsigned char* pData)>;

  // pPort may be null (never opened): Run then reports a lost port at once.
  SerialReader(std::shared_ptr<poshark::platform::SerialPort> pPort,
               poshark::platform::Event* pBreak, std::atomic<bool>& bRun, Intake intake);
  SerialReader(const SerialReader&) = delete;
  SerialReader& operator=(const SerialReader&) = delete;

  // Reads until bRun is cleared, the break event is set (the port is then
  // purged) or the port is lost; clears bRun when it ends by itself. True
  // when the port was lost.
  bool Run();

  // The status polls, on any port (null: nothing). CheckErrDesert polls the
  // modem status and answers 1 when dwEvtMask holds a line error (the next
  // block is to be dropped); otherwise it also clears the error state and
  // answers 0. The values read are not used further.
  static int CheckErrDesert(poshark::platform::SerialPort* pPort, uint32_t dwEvtMask);
  static void CheckComStat(poshark::platform::SerialPort* pPort);
  static void CheckModemStatus(poshark::platform::SerialPort* pPort);

 private:
  // Takes pending comm events and sets the drop mark from them; false when
  // there were none.
  bool TakeCommEvents();
  void Deliver(int nRead);

  const std::shared_ptr<poshark::platform::SerialPort> pPort_;
  poshark::platform::Event* const pBreak_;
  std::atomic<bool>& bRun_;
  const Intake intake_;
  bool bDrop_ = false;  // the next block read is damaged by a line error
  unsigned char byRead_[kReadBlock] = {};
};

}  // namespace poshark::listener
