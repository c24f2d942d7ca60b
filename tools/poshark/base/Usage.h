// What the command parsers and the configuration reader share: exit
// statuses, the usage error, numbers in a range and trimmed text.
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

// A switch as every setting and option takes it: 1, yes, on, true or 0,
// no, off, false, in any case; false for other text.
bool ParseSwitchWord(std::string_view text, bool& on);
// The words ParseSwitchWord takes, for messages.
inline constexpr char kSwitchWords[] = "0, 1, yes, no, on, off, true or false";

// Text with spaces and tabs cut at both ends.
std::string_view Trim(std::string_view text);

}  // namespace poshark::tool
