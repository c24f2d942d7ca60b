// Line delivery: the writer takes analysed records out of the write queue,
// maps and filters them, cuts them into lines at NUL bytes, trims them,
// holds them back during the gate time and calls the host back.
//
// Contract: each record's text goes through the output code map (when on),
// then the command set's output filter (when loaded); each piece between NUL
// bytes is trimmed of spaces; an empty piece is delivered only while the
// record's event is still due (the first delivered piece carries it, later
// ones -1); a lone character below 0x20 or above 0x80 is dropped; until the
// gate opens (gate time after the port was opened) pieces are dropped.
//
// The writer takes up to kTakeBatchBytes of records out of the queue at a
// time: those no longer count as queued for the overflow rule, as the one
// being delivered did not. Records taken and not delivered when the run
// ends are dropped, as a new start clears the queue.
//
// Owns: the writer thread and its run flag (worker), the write event that
// wakes it, the line callback, the gate time and state, the code map.
// Locking: Run is the writer thread's; its buffer, batch and the record
// state are that thread's alone. csCallback_ makes the calls of the line
// callback mutually exclusive (WriteOut may also be called by a derived
// host); it is re-entrant, because a derived host may call WriteOut from
// inside its own callback. The code map is written by the host and read by
// the writer under codeMapLock_.
// The callback, the gate and the run flag are atomics; the write event is
// made (CreateEvent) by the lifecycle operations before the thread starts
// and closed only after it has ended.
#pragma once

#include <poshark/KeyRecords.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "listener/Worker.h"
#include "platform/PageBuffer.h"
#include "platform/ThreadAnnotations.h"

class RCLineQueue;
struct STRUCT_PosData;

namespace poshark::commands {
class CmdSetCatalog;
}
namespace poshark::platform {
class Event;
}

namespace poshark::listener {

class DrainWatch;

using LineOutFt = unsigned short (*)(char* pszText, SYSTEMTIME* pTime, bool bDST, int nPOSNo,
                                     int nEvent, char* pExtra);

class LineWriter {
 public:
  // The queue, catalogue, stop event (shared by the listener's workers,
  // manual-reset, made with the write event) and drain watch are the
  // listener's and outlive the writer.
  LineWriter(int nPOSNo, RCLineQueue& writeQueue, commands::CmdSetCatalog& catalog,
             std::unique_ptr<platform::Event>& hStopEvent, DrainWatch& drain);
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Body of the writer thread.
  void Run();
  // Calls the line callback (nothing without one), under csCallback_; may
  // be called again from inside the callback on the same thread.
  void WriteOut(char* pszText, SYSTEMTIME* pTime, bool bDST, int nEvent, char* pExtra);
  // Trims spaces in place; answers the new length (0 for a text of spaces
  // only, which is then left as it was).
  static int SpaceFilter(char* pszText);
  // The same for a text of nLen bytes before its NUL.
  static int TrimSpaces(char* pszText, size_t nLen);
  // With a table, copies its 256 bytes; switches the map on or off.
  void EnableCodeMap(bool bOn, const unsigned char* pTable) EXCLUDES(codeMapLock_);
  // Replaces each byte b by the map's entry b while the map is on.
  void ApplyCodeMap(unsigned char* pData, int nLen) EXCLUDES(codeMapLock_);
  // Records finished so far.
  const std::atomic<uint64_t>& Done() const { return nDone_; }

  // Makes the write event (auto-reset), or resets it; false when it cannot
  // be made. Close drops it.
  bool CreateEvent();
  void CloseEvent() { hWriteEvent.reset(); }

  // Shown to derived hosts under these names (RCPosHark's protected members).
  Worker worker;
  std::unique_ptr<platform::Event> hWriteEvent;  // auto-reset: records queued
  std::atomic<LineOutFt> pfnLineOut{nullptr};
  std::atomic<uint32_t> dwGateOpenTime{1000};  // ms after the opening before lines pass
  std::atomic<uint32_t> dwOpenTick{0};         // GetTickCount at the last OpenCom
  std::atomic<bool> bGateOpen{false};

 private:
  struct Record;

  bool TakeRecord(Record& rec);
  // Hands the records of the batch back to the queue for reuse.
  void GiveBackBatch();
  int FilterRecord(Record& rec);
  void DeliverPieces(Record& rec, int nEnd);
  bool PassesGate();

  const int nPOSNo_;
  RCLineQueue& writeQueue_;
  commands::CmdSetCatalog& catalog_;
  std::unique_ptr<platform::Event>& hStopEvent_;
  DrainWatch& drain_;
  platform::PageBuffer pBuf_;  // the writer thread's record buffer
  // Records move out of the write queue up to kTakeBatch (and
  // kTakeBatchBytes) at a time, under one lock, and are delivered from here.
  static constexpr int kTakeBatch = 64;
  static constexpr int kTakeBatchBytes = 4096;
  STRUCT_PosData* apBatch_[kTakeBatch] = {};
  int nBatch_ = 0;  // records in apBatch_
  int nNext_ = 0;   // the next one to deliver
  std::atomic<uint64_t> nDone_{0};
  // Not annotated: the analysis cannot follow a lock taken again by its holder.
  std::recursive_mutex csCallback_;
  platform::Mutex codeMapLock_;
  unsigned char byCodeMap_[256] GUARDED_BY(codeMapLock_);  // identity until a table is given
  std::atomic<bool> bCodeMapOn_{false};
};

}  // namespace poshark::listener
