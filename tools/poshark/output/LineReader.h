// The one place where a delivered line becomes its record: card numbers
// masked, both catchers run, the text decoded to UTF-8. Each line is read
// once; the output, the journal and the live page take the record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/Text.h"
#include "output/LineRecord.h"
#include "settings/ChannelSettings.h"

namespace poshark::tool {

// One line as the listener's callback delivered it.
struct DeliveredLine;

// One channel's reader, used on the output thread only.
class LineReader {
 public:
  // Throws std::runtime_error for an unknown code page.
  explicit LineReader(const ChannelSettings& settings);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Loads both catchers from POSKeyFilter.ini for the POS. False with a
  // message naming the file when it is missing.
  bool LoadKeys(std::string& error);
  // Saves the catchers' limit state; nothing without keys.
  void SaveKeys();

  // Fills the record of the line; its earlier contents are replaced, its
  // room reused. Card numbers are masked in line.text itself when the
  // channel masks.
  void Read(DeliveredLine& line, LineRecord& record);

  // The channel's decoder: colour ranges count bytes of the code page, so
  // a terminal paints them on the bytes.
  Decoder& CodePage() { return *decoder_; }
  // The listener delivers UTF-8 text (its set's code tables are followed):
  // the channel's code page no longer applies. Before the first line.
  void UseUtf8();

 private:
  Findings Find(const DeliveredLine& line);
  void Decode(Findings& findings);
  int64_t EpochMsOf(const SYSTEMTIME& time, bool dst);

  struct Catchers;
  std::unique_ptr<Catchers> catchers_;
  std::unique_ptr<Decoder> decoder_;
  uint32_t charset_ = 0;
  int pos_ = 0;
  std::string channel_;
  bool mask_ = true;
  TextOrder order_ = TextOrder::kDisplay;
  // The epoch second of the last line's second: most lines share it, and
  // the C library's conversion takes a look at the zone every time.
  SYSTEMTIME last_second_{};
  bool last_dst_ = false;
  int64_t last_epoch_ms_ = -1;
};

}  // namespace poshark::tool
