// Byte intake: the raw trace of what a POS sent, the decoding of text-sender
// and graph streams, and the cutting of the stream into line chunks for the
// analyzer.
#include <poshark/RCPosHark.h>

#include "commands/RCCmdSet.h"
#include "listener/DebugFlag.h"
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
#include <functional>
#include <mutex>
#include <string>

namespace {

constexpr const char* kDebugIni = "KexDeBug.ini";
constexpr const char* kTraceSection = "POSTrace";
constexpr const char* kTraceFolder = "POSTrace";
constexpr uint64_t kMinFreeBytes = 524288000;  // tracing needs more than 500 MiB free
constexpr int kLineRoom = 4000;                // bytes of pLineBuf in use
constexpr int kOverlongPiece = 1000;           // a line without end leaves in such pieces
constexpr int kSenderPiece = 4096;             // text-sender bytes decoded per pass

// The trace name is set by ListenStart and read by GotData, which in serial
// mode runs on the reader thread: a few striped locks keep the two apart
// without a member of their own.
std::mutex& TraceLock(const void* pOwner) {
  static std::mutex locks[16];
  return locks[(reinterpret_cast<uintptr_t>(pOwner) >> 4) % 16];
}

// A failing query counts as no room.
bool HasTraceRoom(const std::string& path) {
  uint64_t nFree = 0;
  return poshark::platform::GetFreeBytes(path, &nFree) && nFree > kMinFreeBytes;
}

std::string FolderOf(const std::string& path) {
  size_t nSlash = path.rfind('/');
  return nSlash == std::string::npos ? std::string(".") : path.substr(0, nSlash);
}

}  // namespace

void RCPosHark::PrepareTrace() {
  using namespace poshark::platform;
  g_bDump = GetPrivateProfileIntA(kTraceSection, "Dump", 0, kDebugIni) != 0;

  std::lock_guard<std::mutex> guard(TraceLock(this));
  if (nPOSNo < 1) {
    bTrace = false;
    return;
  }
  char szKey[32];
  std::snprintf(szKey, sizeof szKey, "POS%d", nPOSNo);
  bool bOn = GetPrivateProfileIntA(kTraceSection, szKey, 0, kDebugIni) != 0;

  const std::string home = PosharkHome();
  const std::string folder = JoinPath(home, kTraceFolder);
  if (bOn && !HasTraceRoom(DirectoryExists(folder) ? folder : home)) {
    bOn = false;
  }
  if (bOn) {
    OutputDebugStringA("PosServer::UseTraceMode");
    if (!DirectoryExists(folder)) {
      MakeDirectory(folder);
    }
    SYSTEMTIME st{};
    GetLocalTime(&st);
    char szName[64];
    std::snprintf(szName, sizeof szName, "POS%.2dTrace%.4d%.2d%.2d.bin2", nPOSNo, st.wYear,
                  st.wMonth, st.wDay);
    strTraceFile = JoinPath(folder, szName);
    CreateFileIfMissing(strTraceFile);
  }
  bTrace = bOn;
}

void RCPosHark::TraceWrite(int nLen, const unsigned char* pData) {
  std::lock_guard<std::mutex> guard(TraceLock(this));
  if (!bTrace || nLen < 1 || strTraceFile.empty()) {
    return;
  }
  // Record: the count as a 32-bit little-endian integer, then the bytes.
  uint32_t nCount = static_cast<uint32_t>(nLen);
  unsigned char byCount[4] = {static_cast<unsigned char>(nCount),
                              static_cast<unsigned char>(nCount >> 8),
                              static_cast<unsigned char>(nCount >> 16),
                              static_cast<unsigned char>(nCount >> 24)};
  // A file that cannot be opened skips this write; the next bytes retry.
  poshark::platform::AppendToExistingFile(strTraceFile, byCount, sizeof byCount, pData,
                                          static_cast<size_t>(nLen));
  if (!HasTraceRoom(FolderOf(strTraceFile))) {
    bTrace = false;
  }
}

void RCPosHark::GotData(int nLen, unsigned char* pData) {
  if (!pData || nLen < 1) {
    return;
  }
  if (bTrace) {
    TraceWrite(nLen, pData);
  }
  RCCmdSet* pSet = CurSet();
  // Without a command set, or before the first start, the bytes are only traced.
  if (!pSet || !pLineBuf) {
    return;
  }

  if (pSet->bGraphMode) {
    // Decoded in slices whose output always fits pGraphBuf.
    if (pGraphBuf) {
      DecodeGraphAndCut(nLen, pData);
    }
    return;
  }

  if (pSet->bPOSTextSenderMode) {
    // Such streams are traced but not analysed unless decoding is on. The
    // halves are exchanged in a copy: the caller's buffer stays as given.
    if (!bSenderDecode) {
      return;
    }
    unsigned char byDecoded[kSenderPiece];
    for (int nDone = 0; nDone < nLen; nDone += kSenderPiece) {
      int n = std::min(kSenderPiece, nLen - nDone);
      for (int i = 0; i < n; ++i) {
        unsigned char by = pData[nDone + i];
        byDecoded[i] = static_cast<unsigned char>((by << 4) | (by >> 4));
      }
      CutLines(n, byDecoded);
    }
    return;
  }

  CutLines(nLen, pData);
}

void RCPosHark::CutLines(int nLen, const unsigned char* pData) {
  RCCmdSet* pSet = CurSet();
  if (!pSet || !pLineBuf || nLen < 1) {
    return;
  }
  unsigned char* const pLine = pLineBuf.get();

  // Bytes at which the line-end test must look while no change-line match is
  // under way: LF and the first byte of every change-line command.
  bool bStop[256] = {};
  bStop[0x0A] = true;
  bool bChangeLines = false;
  if (pSet->pLineEndBuf) {
    for (const auto& pCmd : pSet->arChangeLine) {
      if (pCmd && pCmd->nCmdLen >= 1) {
        bStop[pCmd->pCmd[0]] = true;
        bChangeLines = true;
      }
    }
  }

  // Every chunk of one call arrived at the same moment: the time and the
  // DST flag are taken once, at the first chunk. Chunks that follow each
  // other in the line buffer are queued together, under one lock: a busy
  // channel cuts tens of thousands of lines a second, and the analyzer takes
  // them from the same queue meanwhile.
  bool bPushed = false;
  SYSTEMTIME stNow{};
  bool bDST = false;
  constexpr int kBatch = 256;
  int anLens[kBatch];
  int nBatch = 0;
  const unsigned char* pBatchStart = nullptr;
  const unsigned char* pBatchEnd = nullptr;
  auto flush = [&] {
    if (nBatch > 0) {
      m_AnalyzeQueue->PushBatch(pBatchStart, anLens, nBatch, &stNow, bDST);
      nBatch = 0;
    }
  };
  auto push = [&](const unsigned char* pChunk, int n) {
    if (!bPushed) {
      poshark::platform::GetLocalTime(&stNow);
      DstFt pfnDst = pfnDstFt.load();
      bDST = pfnDst ? pfnDst(nullptr) : false;
      bPushed = true;
    }
    if (nBatch == kBatch || (nBatch > 0 && pChunk != pBatchEnd)) {
      flush();
    }
    if (nBatch == 0) {
      pBatchStart = pChunk;
    }
    anLens[nBatch++] = n;
    pBatchEnd = pChunk + n;
  };

  int nDone = 0;
  nLineFill = std::clamp(nLineFill, 0, kLineRoom);
  while (nDone < nLen) {
    int n = std::min(nLen - nDone, kLineRoom - nLineFill);
    std::memcpy(pLine + nLineFill, pData + nDone, static_cast<size_t>(n));
    nDone += n;
    if (pSet->bStopEvent) {
      pSet->ResetIdle();
    }

    int nLineStart = 0;
    int i = nLineFill;
    const int nEnd = nLineFill + n;
    while (i < nEnd) {
      if (pSet->nLineEndMatched == 0) {
        if (!bChangeLines) {
          auto* pLf = static_cast<unsigned char*>(
              std::memchr(pLine + i, 0x0A, static_cast<size_t>(nEnd - i)));
          i = pLf ? static_cast<int>(pLf - pLine) : nEnd;
        } else {
          while (i < nEnd && !bStop[pLine[i]]) {
            ++i;
          }
        }
        if (i == nEnd) {
          break;
        }
      }
      unsigned char by = pLine[i];
      bool bLineEnd = by == 0x0A || pSet->IsLineEnd(by);
      ++i;
      if (bLineEnd) {
        push(pLine + nLineStart, i - nLineStart);
        nLineStart = i;
      }
    }

    int nPending = nEnd - nLineStart;
    if (nPending >= kLineRoom) {
      while (nPending >= kOverlongPiece) {
        push(pLine + nLineStart, kOverlongPiece);
        nLineStart += kOverlongPiece;
        nPending -= kOverlongPiece;
      }
    }
    flush();  // before the line buffer moves under the batch
    if (nLineStart > 0 && nPending > 0) {
      std::memmove(pLine, pLine + nLineStart, static_cast<size_t>(nPending));
    }
    nLineFill = nPending;
  }
  // One wake-up for every chunk of this call: the analyzer drains the queue.
  if (bPushed && hAnalyzeEvent) {
    hAnalyzeEvent->Set();
  }
}

void RCPosHark::AddBuffAnalyze(unsigned char*, int) {}
