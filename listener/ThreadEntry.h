// The outermost frame of a listener's worker thread: an exception that
// would otherwise end the process is reported through the debug sink, and
// the worker ends as if it had returned.
#pragma once

#include <exception>

#include "platform/Debug.h"

namespace poshark::listener {

template <class Body>
void RunReportingExceptions(int nPOSNo, const char* pszWorker, Body&& body) noexcept {
  try {
    body();
  } catch (const std::exception& e) {
    poshark::platform::DebugPrintf("POS%d:%s ended by an exception: %s\n", nPOSNo, pszWorker,
                                   e.what());
  } catch (...) {
    poshark::platform::DebugPrintf("POS%d:%s ended by an exception\n", nPOSNo, pszWorker);
  }
}

}  // namespace poshark::listener
