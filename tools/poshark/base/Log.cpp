#include "base/Log.h"

#include <strings.h>
#include <sys/stat.h>

#ifdef POSHARK_HAVE_SYSTEMD
#include <systemd/sd-journal.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace poshark::tool {

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};

// Journal priorities: 3 error, 4 warning, 6 info, 7 debug.
constexpr int kPriority[] = {3, 4, 6, 7};

bool UnderJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    return stream != nullptr && *stream != '\0';
  }();
  return journal;
}

// Standard error is the journal's stream itself (JOURNAL_STREAM is
// "DEVICE:INODE" of it), not a pipe or file it was redirected to since.
bool StderrIsJournal() {
  static const bool same = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 &&
           fstat(2, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
  }();
  return same;
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
  if (UnderJournal()) {
    std::fprintf(stderr, "<%d>poshark: %s\n", kPriority[static_cast<int>(level)], message.c_str());
  } else {
    std::fprintf(stderr, "poshark: %s\n", message.c_str());
  }
}

void Log(LogLevel level, const std::string& message, const LogFields& fields) {
#ifdef POSHARK_HAVE_SYSTEMD
  if (static_cast<int>(level) <= g_level.load() && StderrIsJournal()) {
    const std::string channel(fields.channel), source(fields.source);
    const std::string pos = fields.pos >= 0 ? std::to_string(fields.pos) : "";
    // Empty fields are sent as the empty value, which the journal keeps.
    if (sd_journal_send("MESSAGE=poshark: %s", message.c_str(), "PRIORITY=%d",
                        kPriority[static_cast<int>(level)], "SYSLOG_IDENTIFIER=poshark",
                        "CHANNEL=%s", channel.c_str(), "POS=%s", pos.c_str(), "SOURCE=%s",
                        source.c_str(), nullptr) >= 0)
      return;
  }
#endif
  (void)fields;
  Log(level, message);
}

}  // namespace poshark::tool
