// Lines for journal tests, stamped with a given time, and a look into the
// journal a test built.
#pragma once

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "JournalDb.h"
#include "Output.h"

namespace poshark_test {

using poshark::tool::LineRecord;

inline LineRecord JournalLine(const std::string& channel, int event, const std::string& text,
                              int64_t epoch_ms) {
  LineRecord r;
  r.channel = channel;
  r.pos = channel.empty() ? 0 : channel[0] - 'a' + 1;
  r.event = event;
  r.raw = r.text = text;
  std::time_t seconds = static_cast<std::time_t>(epoch_ms / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  r.time = {static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
            static_cast<uint16_t>(tm.tm_wday),        static_cast<uint16_t>(tm.tm_mday),
            static_cast<uint16_t>(tm.tm_hour),        static_cast<uint16_t>(tm.tm_min),
            static_cast<uint16_t>(tm.tm_sec),         static_cast<uint16_t>(epoch_ms % 1000)};
  r.dst = tm.tm_isdst > 0;
  r.time_ms = epoch_ms;
  return r;
}

inline int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Every row of a query, its first `columns` columns joined by '|'.
inline std::vector<std::string> Rows(poshark::tool::Database& db, const std::string& sql,
                                     int columns) {
  std::vector<std::string> rows;
  poshark::tool::Statement s(db, sql);
  while (s.Step()) {
    std::string row;
    for (int c = 0; c < columns; ++c) row += (c ? "|" : "") + s.Text(c);
    rows.push_back(row);
  }
  return rows;
}

}  // namespace poshark_test
