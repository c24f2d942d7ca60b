#include "platform/Debug.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace poshark::platform {

namespace {

std::mutex g_sinkLock;
std::shared_ptr<DebugSink> g_pSink;  // guarded by g_sinkLock; null means syslog

std::shared_ptr<DebugSink> CurrentSink() {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  return g_pSink;
}

}  // namespace

void OutputDebugStringA(const char* pszText) {
  if (!pszText) {
    return;
  }
  std::shared_ptr<DebugSink> pSink = CurrentSink();
  // Called outside the lock, so a sink may itself write debug strings.
  if (pSink) {
    (*pSink)(pszText);
  } else {
    syslog(LOG_USER | LOG_DEBUG, "%s", pszText);
  }
}

void WarningPrintf(const char* pszFormat, ...) {
  char szText[1024];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof szText, pszFormat, args);
  va_end(args);
  std::shared_ptr<DebugSink> pSink = CurrentSink();
  if (pSink) {
    (*pSink)(szText);
  } else {
    std::fprintf(stderr, "%s\n", szText);
  }
}

void DebugPrintf(const char* pszFormat, ...) {
  char szText[1024];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof szText, pszFormat, args);
  va_end(args);
  OutputDebugStringA(szText);
}

void SetDebugSink(DebugSink sink) {
  std::shared_ptr<DebugSink> pNew = sink ? std::make_shared<DebugSink>(std::move(sink)) : nullptr;
  std::lock_guard<std::mutex> guard(g_sinkLock);
  g_pSink = std::move(pNew);
}

}  // namespace poshark::platform
