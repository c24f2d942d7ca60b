// How delivered lines are shown: text or JSON Lines, card numbers masked,
// in display or logical order, with the keyword and colour-key catchers'
// findings when the channel's keys are on.
#pragma once

#include <poshark/KeyRecords.h>

#include "base/Text.h"
#include "output/LineRecord.h"
#include "settings/ChannelSettings.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace poshark::tool {

class Printer;

// One line as the listener's callback delivered it.
struct DeliveredLine {
  std::string text;  // bytes of the configured code page
  SYSTEMTIME time{};
  bool dst = false;
  int pos = 0;
  int event = -1;
  std::string extra;                 // preprocess plug-in's block, "" when none
  std::shared_ptr<Printer> printer;  // the channel's, as it was when the line came
};

// Appends the text output of one line (without colours when colour is
// false): one output line per printed line of the text, then captures and
// alarms.
void FormatText(std::string& out, const DeliveredLine& line, Decoder& decoder,
                const Findings& findings, bool colour, TextOrder order);

// Appends one JSON object (no trailing newline); `channel` first when not
// empty.
void FormatJson(std::string& out, const DeliveredLine& line, Decoder& decoder,
                const Findings& findings, const std::string& channel, TextOrder order);

// Catchers plus formatting of one channel's lines, used on the output
// thread only.
class Printer {
 public:
  // Throws std::runtime_error for an unknown code page.
  Printer(const ChannelSettings& settings, bool json, bool colour);
  ~Printer();

  // Loads both catchers from POSKeyFilter.ini for the POS. False with a
  // message naming the file when it is missing.
  bool LoadKeys(std::string& error);
  // Saves the catchers' limit state; nothing without keys.
  void SaveKeys();

  // Appends the line as it is written out, ending in a newline. Card
  // numbers are masked in the line itself when the channel masks. With a
  // record, also fills it.
  void Format(DeliveredLine& line, std::string& out, LineRecord* record = nullptr);

 private:
  Findings Find(const DeliveredLine& line);
  void Record(const DeliveredLine& line, const Findings& findings, LineRecord& record);

  struct Catchers;
  std::unique_ptr<Catchers> catchers_;
  Decoder decoder_;
  uint32_t charset_ = 0;
  int pos_ = 0;
  std::string channel_;
  bool mask_ = true;
  TextOrder order_ = TextOrder::kDisplay;
  bool json_ = false;
  bool colour_ = false;
};

}  // namespace poshark::tool
