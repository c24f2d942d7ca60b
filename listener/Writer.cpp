// Line delivery: the writer thread takes analysed records out of the write
// queue, maps and filters them, cuts them into lines at NUL bytes, trims
// them, holds them back during the gate time and calls the host back.
#include <poshark/RCPosHark.h>

#include "commands/Plugins.h"
#include "commands/RCCmdSet.h"
#include "listener/DebugFlag.h"
#include "listener/RCDataQueue.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Event.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int kWriteRoom = 100000;  // bytes of a record the writer takes
constexpr int kExtraRoom = poshark::commands::kMaxExtraLen;  // bytes of the extra block delivered

}  // namespace

void RCPosHark::WriteThread() {
  if (!pWriteBuf) {
    pWriteBuf.reset(new unsigned char[kWriteRoom + 1]);
  }
  std::memset(pWriteBuf.get(), 0, kWriteRoom + 1);
  unsigned char* const pBuf = pWriteBuf.get();
  // One byte more than the block, so that it always reads as a string.
  unsigned char byExtra[kExtraRoom + 1];

  while (bWriteRun) {
    if (poshark::platform::WaitForAny({hStopEvent.get(), hWriteEvent.get()},
                                      poshark::platform::kInfinite) != 1) {
      break;
    }
    if (g_bDump) {
      poshark::platform::DebugPrintf("POS%d:WaitWrite\r\n", nPOSNo);
    }
    for (;;) {
      std::memset(byExtra, 0, sizeof byExtra);
      int nLen = kWriteRoom;
      int nExtraLen = kExtraRoom;
      int nEvent = POSHARK_EVENT_NONE;
      SYSTEMTIME stTime{};
      bool bDST = false;
      if (!m_WriteQueue->GetAt(&nLen, pBuf, &stTime, &bDST, nullptr, &nEvent, 0, true, byExtra,
                               &nExtraLen)) {
        if (nLen <= kWriteRoom) {
          break;  // the queue is empty
        }
        // Only a preprocess plug-in makes records this long. Left at the head
        // it would hold back every record behind it: take it out and drop it.
        std::unique_ptr<unsigned char[]> pBig(new (std::nothrow) unsigned char[nLen]);
        nExtraLen = kExtraRoom;
        if (!pBig || !m_WriteQueue->GetAt(&nLen, pBig.get(), &stTime, &bDST, nullptr, &nEvent, 0,
                                          true, byExtra, &nExtraLen)) {
          break;
        }
        if (nLen > kWriteRoom) {
          poshark::platform::DebugPrintf("POS%d:WriteThread drops a record of %d bytes\r\n",
                                         nPOSNo, nLen);
          continue;
        }
        // The queue was emptied in between and this is the record after it.
        std::memcpy(pBuf, pBig.get(), static_cast<size_t>(nLen));
      }

      pBuf[nLen] = 0;
      ApplyCodeMap(pBuf, nLen);
      int nEnd = nLen;
      RCCmdSet* pSet = pCurCmdSet.get();
      if (pSet && pSet->bUseFilterDll && pSet->pfnFilter) {
        pBuf[kWriteRoom] = 0;
        pSet->pfnFilter(reinterpret_cast<char*>(pBuf), kWriteRoom);
        // A filter that lengthened the text wrote over the NUL after it: the
        // record then ends at the next NUL.
        if (pBuf[nLen] != 0) {
          nEnd = nLen + static_cast<int>(::strnlen(reinterpret_cast<char*>(pBuf + nLen),
                                                   static_cast<size_t>(kWriteRoom - nLen)));
        }
      }

      // Pieces between NUL bytes, up to the end of the record.
      int nPending = nEvent;
      int nStart = 0;
      for (;;) {
        auto* pNul = static_cast<unsigned char*>(
            std::memchr(pBuf + nStart, 0, static_cast<size_t>(nEnd - nStart)));
        int nStop = pNul ? static_cast<int>(pNul - pBuf) : nEnd;
        pBuf[nStop] = 0;
        char* pszPiece = reinterpret_cast<char*>(pBuf + nStart);
        int nPiece = nStop - nStart;

        bool bDeliver = true;
        bool bBlank = nPiece == 0;
        if (!bBlank) {
          int nTrimmed = SpaceFilter(pszPiece);
          bBlank = nTrimmed == 0;
          nPiece = bBlank ? nPiece : nTrimmed;
        }
        if (bBlank) {
          bDeliver = nPending != POSHARK_EVENT_NONE;
        } else if (nPiece == 1) {
          unsigned char by = static_cast<unsigned char>(pszPiece[0]);
          bDeliver = by >= 0x20 && by <= 0x80;
        }
        if (bDeliver && !bGateOpen) {
          if (poshark::platform::GetTickCount() - dwOpenTick.load() > dwGateOpenTime.load()) {
            bGateOpen = true;
          } else {
            bDeliver = false;
          }
        }
        if (bDeliver) {
          WriteOut(pszPiece, &stTime, bDST, nPending, reinterpret_cast<char*>(byExtra));
          nPending = POSHARK_EVENT_NONE;
        }
        if (nStop >= nEnd) {
          break;
        }
        nStart = nStop + 1;
      }
    }
  }
}

void RCPosHark::WriteOut(char* pszText, SYSTEMTIME* pTime, bool bDST, int nEvent, char* pExtra) {
  LineOutFt pfn = pfnLineOut.load();
  if (!pfn) {
    return;
  }
  if (g_bDump) {
    poshark::platform::DebugPrintf("POS%d:WriteOut Event=%d \"%s\"\r\n", nPOSNo, nEvent, pszText);
  }
  std::lock_guard<std::recursive_mutex> guard(csCallback);
  try {
    pfn(pszText, pTime, bDST, nPOSNo, nEvent, pExtra);
  } catch (...) {
    // A host callback that throws must not end the writer.
  }
}

int RCPosHark::SpaceFilter(char* pszText) {
  if (!pszText) {
    return 0;
  }
  char* pFirst = pszText;
  while (*pFirst == ' ') {
    ++pFirst;
  }
  if (*pFirst == 0) {
    return 0;
  }
  size_t nLen = std::strlen(pFirst);
  while (nLen > 0 && pFirst[nLen - 1] == ' ') {
    --nLen;
  }
  std::memmove(pszText, pFirst, nLen);
  pszText[nLen] = 0;
  return static_cast<int>(nLen);
}
