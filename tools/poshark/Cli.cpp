#include "Cli.h"

#include <strings.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace poshark::tool {

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};

bool UnderJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    return stream != nullptr && *stream != '\0';
  }();
  return journal;
}

}  // namespace

void Usage(const std::string& message) { throw UsageError{message}; }

bool ParseNumberIn(std::string_view text, long low, long high, long& value) {
  std::string copy(text);
  if (copy.empty() || copy.size() > 20) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(copy.c_str(), &end, 10);
  if (errno != 0 || end == copy.c_str() || *end != '\0' || v < low || v > high) return false;
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

bool ParseLogLevel(std::string_view text, LogLevel& level) {
  static const char* const kNames[] = {"error", "warning", "info", "debug"};
  for (int i = 0; i < 4; ++i) {
    if (text.size() == std::string_view(kNames[i]).size() &&
        strncasecmp(text.data(), kNames[i], text.size()) == 0) {
      level = static_cast<LogLevel>(i);
      return true;
    }
  }
  return false;
}

void SetLogLevel(LogLevel level) { g_level = static_cast<int>(level); }

void Log(LogLevel level, const std::string& message) {
  if (static_cast<int>(level) > g_level.load()) return;
  // Journal priorities: 3 error, 4 warning, 6 info, 7 debug.
  static const char* const kPrefix[] = {"<3>", "<4>", "<6>", "<7>"};
  std::fprintf(stderr, "%sposhark: %s\n", UnderJournal() ? kPrefix[static_cast<int>(level)] : "",
               message.c_str());
}

}  // namespace poshark::tool
