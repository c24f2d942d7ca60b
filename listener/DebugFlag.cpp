#include "listener/DebugFlag.h"

std::atomic<bool> g_bDump{false};
