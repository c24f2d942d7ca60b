// One delivered line as the tool keeps it: what the output, the journal and
// the live page take of it.
#pragma once

#include <poshark/KeyRecords.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace poshark::tool {

// Findings of the catchers for one line.
struct Capture {
  std::string name;
  int mdb_type = 0;
  int mdb_id = 0;
  std::string data;
};
struct Alarm {
  std::string name;
  int key_index = -1;
  int source = 0;  // 1 keyword catcher, 2 colour-key catcher
  std::string data;
};
struct ColorRange {
  std::string name;
  int start = 0;
  int end = 0;
  uint32_t color = 0;  // red in the low byte
  uint32_t value1 = 0;
  uint32_t value2 = 0;
};
struct Findings {
  std::vector<Capture> captures;
  std::vector<Alarm> alarms;
  std::vector<ColorRange> ranges;
};

// A delivered line as every consumer takes it (the output, the journal, the
// live page): made once per line, card numbers masked when the channel
// masks, every text in UTF-8 (control characters as they came).
struct LineRecord {
  std::string channel;
  int pos = 0;
  int event = -1;
  SYSTEMTIME time{};
  bool dst = false;
  int64_t time_ms = 0;  // `time` in milliseconds since the epoch
  std::string raw;      // the bytes in the channel's code page, in the order they came
  std::string text;     // logical order when the channel's order is logical
  std::string shown;    // as printed (display order) when `text` is not, else ""
  bool rtl = false;     // the text holds right-to-left letters
  std::string extra;    // the preprocess plug-in's block, "" when none
  Findings findings;    // names and data in UTF-8
};

// Event code as shown: START, STOP, VOID, OVERFLOW, "" for plain text.
std::string EventName(int event);
// The same without building a string, for the events that have a name
// (plain text's is empty); nullopt for any other code.
std::optional<std::string_view> NamedEvent(int event);

}  // namespace poshark::tool
