// Line delivery: the writer thread and the call of the host's line callback.
// Interim body: the writer waits and stops by the listener's protocol and
// hands every queued record to WriteOut as it is; the code map, the output
// filter, the splitting at NUL bytes, trimming and the gate come with the
// line-delivery work.
#include <poshark/RCPosHark.h>

#include <cstring>

#include "listener/RCDataQueue.h"
#include "platform/Event.h"

namespace {
constexpr int kWriteRoom = 100000;
constexpr int kExtraRoom = 260;
}  // namespace

void RCPosHark::WriteThread() {
  if (!pWriteBuf) {
    pWriteBuf = std::make_unique<unsigned char[]>(kWriteRoom + 1);
  } else {
    std::memset(pWriteBuf.get(), 0, kWriteRoom + 1);
  }
  unsigned char byExtra[kExtraRoom];
  while (bWriteRun) {
    if (poshark::platform::WaitForAny({hStopEvent.get(), hWriteEvent.get()},
                                      poshark::platform::kInfinite) != 1) {
      break;
    }
    for (;;) {
      std::memset(byExtra, 0, sizeof byExtra);
      int nLen = kWriteRoom;
      int nExtraLen = kExtraRoom - 1;  // keeps a NUL after the block
      SYSTEMTIME stTime = {};
      bool bDST = false;
      int nEvent = POSHARK_EVENT_NONE;
      if (!m_WriteQueue->GetAt(&nLen, pWriteBuf.get(), &stTime, &bDST, nullptr, &nEvent, 0, true,
                               byExtra, &nExtraLen)) {
        break;
      }
      pWriteBuf[nLen] = 0;
      WriteOut(reinterpret_cast<char*>(pWriteBuf.get()), &stTime, bDST, nEvent,
               reinterpret_cast<char*>(byExtra));
    }
  }
}

void RCPosHark::WriteOut(char* pszText, SYSTEMTIME* pTime, bool bDST, int nEvent, char* pExtra) {
  LineOutFt pfn = pfnLineOut.load();
  if (!pfn) {
    return;
  }
  std::lock_guard<std::recursive_mutex> guard(csCallback);
  pfn(pszText, pTime, bDST, nPOSNo, nEvent, pExtra);
}

int RCPosHark::SpaceFilter(char* pszText) {
  char* pStart = pszText;
  while (*pStart == ' ') {
    ++pStart;
  }
  if (*pStart == '\0') {
    return 0;
  }
  size_t nLen = std::strlen(pStart);
  while (nLen > 0 && pStart[nLen - 1] == ' ') {
    --nLen;
  }
  std::memmove(pszText, pStart, nLen);
  pszText[nLen] = '\0';
  return static_cast<int>(nLen);
}
