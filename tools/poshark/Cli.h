// Pieces shared by the command parsers and the configuration reader: the
// usage error, numbers in a range, and the tool's logging.
#pragma once

#include <string>
#include <string_view>

namespace poshark::tool {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Thrown for usage and configuration errors; main answers exit status 2.
struct UsageError {
  std::string message;
};

[[noreturn]] void Usage(const std::string& message);

// A whole decimal number from low to high; false for anything else.
bool ParseNumberIn(std::string_view text, long low, long high, long& value);

// ParseNumberIn for an option: a usage error names the option and the range.
long ParseNumber(const char* option, const char* text, long low, long high);

// Text with spaces and tabs cut at both ends.
std::string_view Trim(std::string_view text);

enum class LogLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

// "error", "warning", "info" or "debug" (any case); false for others.
bool ParseLogLevel(std::string_view text, LogLevel& level);
void SetLogLevel(LogLevel level);

// One line on standard error, "poshark: " and the message, when the level is
// enabled. Under the journal (JOURNAL_STREAM set) the line starts with the
// priority prefix the journal reads ("<3>" for errors ... "<7>" for debug).
void Log(LogLevel level, const std::string& message);

}  // namespace poshark::tool
