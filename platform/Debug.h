// Debug strings: one function hands each text to a sink. The default sink
// writes to syslog at debug priority; tests install their own.
#pragma once

#include <functional>
#include <string>

namespace poshark::platform {

void OutputDebugStringA(const char* pszText);
// printf-style convenience, bounded to 1024 bytes per message.
void DebugPrintf(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// A warning an operator must see (a refused plug-in): to the installed sink,
// else to standard error (the system journal under a service manager).
// Bounded to 1024 bytes; a newline is added.
void WarningPrintf(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

using DebugSink = std::function<void(const char*)>;
// Installs a sink (thread-safe); an empty sink restores syslog.
void SetDebugSink(DebugSink sink);

}  // namespace poshark::platform
