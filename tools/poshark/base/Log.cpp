#include "base/Log.h"

#include <strings.h>

#include <atomic>
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
