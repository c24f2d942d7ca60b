// What one channel is: a POS, its command set, its source and how its lines
// are shown. `listen` builds one from its options, `serve` one per
// [channel NAME] section.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/SourceSetting.h"

namespace poshark::tool {

enum class TextOrder { kDisplay, kLogical };

// A tcp or tap connection without a byte for this long is closed, so that
// a silent POS never holds back the next one.
inline constexpr int64_t kDefaultIdleMs = 30 * 1000;
inline constexpr int64_t kMaxIdleMs = 3600 * 1000;

// The set name that asks for the set to be guessed from the channel's first
// receipt (channel/AutoSet.h). Not for a serial source, whose port the
// listener reads itself.
inline constexpr char kAutoSet[] = "auto";

struct ChannelSettings {
  std::string name;  // the channel's name in the output ("" for listen)
  int pos = -1;
  std::string set;  // command set by name or number
  SourceSetting source;
  std::string codepage;  // code page of the printed text
  bool keys = false;     // keyword and colour-key catchers
  bool mask = true;      // card numbers masked
  TextOrder order = TextOrder::kDisplay;
  std::vector<Network> allow;  // peers that may connect; empty: any
  int64_t gate_ms = -1;        // -1 keeps the listener's 1000 ms
  int64_t idle_ms = kDefaultIdleMs;

  bool operator==(const ChannelSettings&) const = default;
};

}  // namespace poshark::tool
