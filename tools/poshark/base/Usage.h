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

// Text with spaces and tabs cut at both ends.
std::string_view Trim(std::string_view text);

}  // namespace poshark::tool
