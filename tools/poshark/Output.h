// How `poshark listen` shows delivered lines: text or JSON Lines, with the
// keyword and colour-key catchers' findings when --keys is given.
#pragma once

#include <poshark/KeyRecords.h>

#include "Listen.h"
#include "Text.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace poshark::tool {

// One line as the listener's callback delivered it.
struct DeliveredLine {
  std::string text;   // bytes of the configured code page
  SYSTEMTIME time{};
  bool dst = false;
  int pos = 0;
  int event = -1;
  std::string extra;  // preprocess plug-in's block, "" when none
};

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

// Event code as shown: START, STOP, VOID, OVERFLOW, "" for plain text.
std::string EventName(int event);

// Text output of one line (without colours when colour is false): one
// output line per printed line of the text, then captures and alarms.
std::string FormatText(const DeliveredLine& line, Decoder& decoder, const Findings& findings,
                       bool colour);

// One JSON object (no trailing newline).
std::string FormatJson(const DeliveredLine& line, Decoder& decoder, const Findings& findings);

// Catchers plus formatting, used on the main thread only.
class Printer {
 public:
  // Throws std::runtime_error for an unknown code page.
  explicit Printer(const ListenOptions& options, FILE* out = stdout);
  ~Printer();

  // Loads both catchers from POSKeyFilter.ini for the POS. False with a
  // message naming the file when it is missing.
  bool LoadKeys(int pos, std::string& error);
  // Saves the catchers' limit state; nothing without --keys.
  void SaveKeys(int pos);

  // False once the output cannot be written any more. Buffered: Flush when
  // no further line is waiting.
  bool Print(const DeliveredLine& line);
  bool Flush();

 private:
  Findings Find(const DeliveredLine& line);

  struct Catchers;
  std::unique_ptr<Catchers> catchers_;
  Decoder decoder_;
  uint32_t charset_ = 0;
  bool json_ = false;
  bool colour_ = false;
  FILE* out_;
};

}  // namespace poshark::tool
