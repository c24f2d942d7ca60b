// The tool's log: one line a message on standard error, filtered by level.
#pragma once

#include <string>
#include <string_view>

namespace poshark::tool {

enum class LogLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

// "error", "warning", "info" or "debug" (any case); false for others.
bool ParseLogLevel(std::string_view text, LogLevel& level);
void SetLogLevel(LogLevel level);

// One line on standard error, "poshark: " and the message, when the level is
// enabled. Under the journal (JOURNAL_STREAM set) the line starts with the
// priority prefix the journal reads ("<3>" for errors ... "<7>" for debug).
void Log(LogLevel level, const std::string& message);

}  // namespace poshark::tool
