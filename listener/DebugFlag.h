// The process-wide debug switch: key "Dump" of KexDeBug.ini, read by every
// ListenStart. While it is on the analyzer, the writer and WriteOut write
// their debug strings.
#pragma once

#include <atomic>

extern std::atomic<bool> g_bDump;
