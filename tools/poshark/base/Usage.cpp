#include "base/Usage.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace poshark::tool {

void Usage(const std::string& message) { throw UsageError{message}; }

bool ParseSwitchWord(std::string_view text, bool& on) {
  static const char* const kOn[] = {"1", "yes", "on", "true"};
  static const char* const kOff[] = {"0", "no", "off", "false"};
  auto is = [&](const char* word) {
    return text.size() == std::strlen(word) && strncasecmp(text.data(), word, text.size()) == 0;
  };
  for (const char* word : kOn) {
    if (is(word)) return on = true;
  }
  for (const char* word : kOff) {
    if (is(word)) {
      on = false;
      return true;
    }
  }
  return false;
}

bool ParseNumberIn(std::string_view text, long low, long high, long& value) {
  std::string copy(text);
  if (copy.empty() || copy.size() > 20) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(copy.c_str(), &end, 10);
  // The whole text, a NUL byte in it included, must be the number.
  if (errno != 0 || end != copy.c_str() + copy.size() || v < low || v > high) return false;
  if (copy.find_first_of(" \t+") != std::string::npos) return false;
  value = v;
  return true;
}

long ParseNumber(const char* option, const char* text, long low, long high) {
  long v = 0;
  if (!ParseNumberIn(text, low, high, v)) {
    Usage(std::string(option) + " " + text + ": expected a number from " + std::to_string(low) +
          " to " + std::to_string(high));
  }
  return v;
}

std::string_view Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

}  // namespace poshark::tool
