// The byte intake: the raw trace of what a POS sent, the decoding of
// text-sender and graph streams, and the cutting of the stream into line
// chunks for the analyze queue.
//
// Contract: Take is the one entry of raw bytes. It appends them to the trace
// file when tracing is on, then cuts lines: a chunk ends at LF or at the end
// of a change-line command of the current set; 4000 bytes without a line end
// leave in pieces of 1000. The bytes of a line not yet ended wait in the
// line buffer for the next call. Every chunk is queued with the time and DST
// flag of the call that completed it; the analyzer is woken once per call
// while it waits for every chunk, else once the queue holds enough
// (ChunkWake). A host that feeds faster than the analyzer takes is held
// after a block once enough is queued (IntakeHold).
//
// Locking: Take, Prepare and the line buffer belong to one thread at a time
// (the serial reader, or the host in host-feed mode); the owner must not call
// them concurrently. The trace file name is shared between PrepareTrace (on
// the host's thread) and Take, under traceLock_.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "commands/GraphDecoder.h"
#include "platform/ThreadAnnotations.h"

class RCDataQueue;

namespace poshark::commands {
class CmdSetCatalog;
}
namespace poshark::platform {
class Event;
}

namespace poshark::listener {

class ChunkWake;
class IntakeHold;

// Bytes of the line buffer in use, and the buffer with its spare byte.
inline constexpr int kLineRoom = 4000;
inline constexpr int kLineBufSize = kLineRoom + 1;

class LineIntake {
 public:
  // All references are the listener's own and outlive the intake; dstQuery
  // answers the DST flag for chunks stamped now.
  LineIntake(int nPOSNo, RCDataQueue& analyzeQueue, std::unique_ptr<platform::Event>& hAnalyzeEvent,
             ChunkWake& chunkWake, IntakeHold& hold, commands::CmdSetCatalog& catalog,
             std::function<bool()> dstQuery);
  ~LineIntake();
  LineIntake(const LineIntake&) = delete;
  LineIntake& operator=(const LineIntake&) = delete;

  // Reads the debug and trace switches and names today's trace file.
  void PrepareTrace();
  // Makes the line buffer (and in graph mode the decoder) ready for a new run.
  void Prepare(bool bGraph);
  // Takes nLen raw bytes; bSenderDecode: text-sender streams are decoded
  // rather than dropped.
  void Take(int nLen, const unsigned char* pData, bool bSenderDecode);
  // Cuts decoded bytes into chunks.
  void CutLines(int nLen, const unsigned char* pData);
  // Queues the bytes of the line not yet ended as a chunk of their own (the
  // host has said that no more bytes will come).
  void FlushPending();

  commands::GraphDecoder& Graph() { return graph_; }
  int LineFill() const { return nLineFill_; }

 private:
  void TraceWrite(int nLen, const unsigned char* pData) EXCLUDES(traceLock_);
  void TakeSenderStream(int nLen, const unsigned char* pData);

  const int nPOSNo_;
  RCDataQueue& analyzeQueue_;
  std::unique_ptr<platform::Event>& hAnalyzeEvent_;
  ChunkWake& chunkWake_;
  IntakeHold& hold_;
  commands::CmdSetCatalog& catalog_;
  const std::function<bool()> dstQuery_;

  std::unique_ptr<unsigned char[]> pLineBuf_;  // kLineBufSize bytes, null before Prepare
  int nLineFill_ = 0;                          // bytes waiting in pLineBuf_
  commands::GraphDecoder graph_;

  platform::Mutex traceLock_;
  std::string strTraceFile_ GUARDED_BY(traceLock_);
  std::atomic<bool> bTrace_{false};  // checked without the lock before each write
};

}  // namespace poshark::listener
