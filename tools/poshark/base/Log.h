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

// What a line is about, for the journal's fields CHANNEL=, POS= and SOURCE=
// (an empty field, or a negative POS, is sent empty).
struct LogFields {
  std::string_view channel;
  int pos = -1;
  std::string_view source;
};
// Log, and under the journal (standard error is the stream JOURNAL_STREAM
// names, and the tool was built with libsystemd) the line goes to the
// journal directly with the fields and PRIORITY=.
void Log(LogLevel level, const std::string& message, const LogFields& fields);

}  // namespace poshark::tool
