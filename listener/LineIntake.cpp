// The byte intake: raw trace, stream decoding and the cutting into line chunks.
#include "listener/LineIntake.h"

#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "listener/ChunkWake.h"
#include "listener/DebugFlag.h"
#include "listener/IntakeHold.h"
#include "listener/RCDataQueue.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Event.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace poshark::listener {
namespace {

constexpr const char* kDebugIni = "KexDeBug.ini";
constexpr const char* kTraceSection = "POSTrace";
constexpr const char* kTraceFolder = "POSTrace";
constexpr uint64_t kMinFreeBytes = 524288000;  // tracing needs more than 500 MiB free
constexpr int kOverlongPiece = 1000;           // a line without end leaves in such pieces
constexpr int kSenderPiece = 4096;             // text-sender bytes decoded per pass
constexpr int kBatch = 256;                    // chunks queued under one lock at most

// A failing query counts as no room.
bool HasTraceRoom(const std::string& path) {
  uint64_t nFree = 0;
  return platform::GetFreeBytes(path, &nFree) && nFree > kMinFreeBytes;
}

std::string FolderOf(const std::string& path) {
  size_t nSlash = path.rfind('/');
  return nSlash == std::string::npos ? std::string(".") : path.substr(0, nSlash);
}

// The chunks of one CutLines call. Every chunk of one call arrived at the
// same moment: the time and the DST flag are taken once, at the first chunk.
// Chunks that follow each other in the line buffer are queued together,
// under one lock: a busy channel cuts tens of thousands of lines a second,
// and the analyzer takes them from the same queue meanwhile.
class ChunkBatch {
 public:
  ChunkBatch(RCDataQueue& queue, const std::function<bool()>& dstQuery)
      : queue_(queue), dstQuery_(dstQuery) {}

  void Add(const unsigned char* pChunk, int n) {
    if (!bPushed_) {
      platform::GetLocalTime(&stNow_);
      bDST_ = dstQuery_ ? dstQuery_() : false;
      bPushed_ = true;
    }
    if (nCount_ == kBatch || (nCount_ > 0 && pChunk != pEnd_)) {
      Flush();
    }
    if (nCount_ == 0) {
      pStart_ = pChunk;
    }
    anLens_[nCount_++] = n;
    pEnd_ = pChunk + n;
  }
  // Must run before the line buffer moves under the batch.
  void Flush() {
    if (nCount_ > 0) {
      queue_.PushBatch(pStart_, anLens_, nCount_, &stNow_, bDST_);
      nCount_ = 0;
    }
  }
  bool Pushed() const { return bPushed_; }

 private:
  RCDataQueue& queue_;
  const std::function<bool()>& dstQuery_;
  bool bPushed_ = false;
  SYSTEMTIME stNow_{};
  bool bDST_ = false;
  int anLens_[kBatch];
  int nCount_ = 0;
  const unsigned char* pStart_ = nullptr;
  const unsigned char* pEnd_ = nullptr;
};

// Queues every line that ends in pLine[i, nEnd); answers where the pending
// line starts. While code tables are followed, a line-end byte that is the
// table number of a select command (10 and 13 are numbers too) ends nothing.
int CutEndedLines(RCCmdSet& set, const unsigned char* pLine, int i, int nEnd, ChunkBatch& batch) {
  const bool bTables = set.tables.Following();
  int nLineStart = 0;
  while (i < nEnd) {
    if (set.nLineEndMatched == 0) {
      i = set.FindLineEndStart(pLine, i, nEnd);
      if (i == nEnd) {
        break;
      }
    }
    unsigned char by = pLine[i];
    if (bTables && set.tables.IsSelectParam(pLine + nLineStart, i - nLineStart)) {
      ++i;
      continue;
    }
    bool bLineEnd = by == 0x0A || set.IsLineEnd(by);
    ++i;
    if (bLineEnd) {
      batch.Add(pLine + nLineStart, i - nLineStart);
      nLineStart = i;
    }
  }
  return nLineStart;
}

}  // namespace

LineIntake::LineIntake(int nPOSNo, RCDataQueue& analyzeQueue,
                       std::unique_ptr<platform::Event>& hAnalyzeEvent, ChunkWake& chunkWake,
                       IntakeHold& hold, commands::CmdSetCatalog& catalog,
                       std::function<bool()> dstQuery)
    : nPOSNo_(nPOSNo),
      analyzeQueue_(analyzeQueue),
      hAnalyzeEvent_(hAnalyzeEvent),
      chunkWake_(chunkWake),
      hold_(hold),
      catalog_(catalog),
      dstQuery_(std::move(dstQuery)) {}

LineIntake::~LineIntake() = default;

void LineIntake::PrepareTrace() {
  g_bDump = platform::GetPrivateProfileIntA(kTraceSection, "Dump", 0, kDebugIni) != 0;

  platform::MutexLock guard(traceLock_);
  if (nPOSNo_ < 1) {
    bTrace_ = false;
    return;
  }
  char szKey[32];
  std::snprintf(szKey, sizeof szKey, "POS%d", nPOSNo_);
  bool bOn = platform::GetPrivateProfileIntA(kTraceSection, szKey, 0, kDebugIni) != 0;

  const std::string home = platform::PosharkHome();
  const std::string folder = platform::JoinPath(home, kTraceFolder);
  if (bOn && !HasTraceRoom(platform::DirectoryExists(folder) ? folder : home)) {
    bOn = false;
  }
  if (bOn) {
    platform::OutputDebugStringA("PosServer::UseTraceMode");
    if (!platform::DirectoryExists(folder)) {
      platform::MakeDirectory(folder);
    }
    SYSTEMTIME st{};
    platform::GetLocalTime(&st);
    char szName[64];
    std::snprintf(szName, sizeof szName, "POS%.2dTrace%.4d%.2d%.2d.bin2", nPOSNo_, st.wYear,
                  st.wMonth, st.wDay);
    strTraceFile_ = platform::JoinPath(folder, szName);
    platform::CreateFileIfMissing(strTraceFile_);
  }
  bTrace_ = bOn;
}

void LineIntake::TraceWrite(int nLen, const unsigned char* pData) {
  platform::MutexLock guard(traceLock_);
  if (!bTrace_ || nLen < 1 || strTraceFile_.empty()) {
    return;
  }
  // Record: the count as a 32-bit little-endian integer, then the bytes.
  uint32_t nCount = static_cast<uint32_t>(nLen);
  unsigned char byCount[4] = {
      static_cast<unsigned char>(nCount), static_cast<unsigned char>(nCount >> 8),
      static_cast<unsigned char>(nCount >> 16), static_cast<unsigned char>(nCount >> 24)};
  // A file that cannot be opened skips this write; the next bytes retry.
  platform::AppendToExistingFile(strTraceFile_, byCount, sizeof byCount, pData,
                                 static_cast<size_t>(nLen));
  if (!HasTraceRoom(FolderOf(strTraceFile_))) {
    bTrace_ = false;
  }
}

void LineIntake::Prepare(bool bGraph) {
  if (!pLineBuf_) {
    pLineBuf_ = std::make_unique<unsigned char[]>(kLineBufSize);
  }
  std::memset(pLineBuf_.get(), 0, kLineBufSize);
  if (bGraph) {
    graph_.Reset();
  }
  nLineFill_ = 0;
}

void LineIntake::Take(int nLen, const unsigned char* pData, bool bSenderDecode) {
  if (!pData || nLen < 1) {
    return;
  }
  if (bTrace_) {
    TraceWrite(nLen, pData);
  }
  RCCmdSet* pSet = catalog_.Current();
  // Without a command set, or before the first start, the bytes are only traced.
  if (!pSet || !pLineBuf_) {
    return;
  }
  if (pSet->bGraphMode) {
    if (graph_.Ready()) {
      graph_.DecodeInSlices(nLen, pData,
                            [this](const unsigned char* pOut, int nOut) { CutLines(nOut, pOut); });
    }
    return;
  }
  if (pSet->bPOSTextSenderMode) {
    // Such streams are traced but not analysed unless decoding is on.
    if (bSenderDecode) {
      TakeSenderStream(nLen, pData);
    }
    return;
  }
  CutLines(nLen, pData);
}

// The halves of each byte are exchanged in a copy: the caller's buffer stays
// as given.
void LineIntake::TakeSenderStream(int nLen, const unsigned char* pData) {
  unsigned char byDecoded[kSenderPiece];
  for (int nDone = 0; nDone < nLen; nDone += kSenderPiece) {
    int n = std::min(kSenderPiece, nLen - nDone);
    for (int i = 0; i < n; ++i) {
      unsigned char by = pData[nDone + i];
      byDecoded[i] = static_cast<unsigned char>((by << 4) | (by >> 4));
    }
    CutLines(n, byDecoded);
  }
}

void LineIntake::CutLines(int nLen, const unsigned char* pData) {
  RCCmdSet* pSet = catalog_.Current();
  if (!pSet || !pLineBuf_ || nLen < 1) {
    return;
  }
  unsigned char* const pLine = pLineBuf_.get();
  ChunkBatch batch(analyzeQueue_, dstQuery_);

  int nDone = 0;
  nLineFill_ = std::clamp(nLineFill_, 0, kLineRoom);
  while (nDone < nLen) {
    int n = std::min(nLen - nDone, kLineRoom - nLineFill_);
    std::memcpy(pLine + nLineFill_, pData + nDone, static_cast<size_t>(n));
    nDone += n;
    if (pSet->bStopEvent) {
      pSet->ResetIdle();
    }
    const int nEnd = nLineFill_ + n;
    int nLineStart = CutEndedLines(*pSet, pLine, nLineFill_, nEnd, batch);
    int nPending = nEnd - nLineStart;
    if (nPending >= kLineRoom) {
      while (nPending >= kOverlongPiece) {
        batch.Add(pLine + nLineStart, kOverlongPiece);
        nLineStart += kOverlongPiece;
        nPending -= kOverlongPiece;
      }
    }
    batch.Flush();
    hold_.AfterQueue();
    if (nLineStart > 0 && nPending > 0) {
      std::memmove(pLine, pLine + nLineStart, static_cast<size_t>(nPending));
    }
    nLineFill_ = nPending;
  }
  // At most one wake-up for every chunk of this call: the analyzer drains
  // the queue.
  if (batch.Pushed() && hAnalyzeEvent_ && chunkWake_.WakeFor(analyzeQueue_.GetTotalBytes())) {
    hAnalyzeEvent_->Set();
  }
}

// The bytes of a line not yet ended go to the analyzer as they are.
void LineIntake::FlushPending() {
  if (!pLineBuf_ || nLineFill_ <= 0) {
    return;
  }
  ChunkBatch batch(analyzeQueue_, dstQuery_);
  batch.Add(pLineBuf_.get(), std::min(nLineFill_, kLineRoom));
  batch.Flush();
  nLineFill_ = 0;
  if (hAnalyzeEvent_) {
    hAnalyzeEvent_->Set();
  }
}

}  // namespace poshark::listener
