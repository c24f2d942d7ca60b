// How long the journal keeps receipts: by age, by size, or both. Written in
// the configuration as `keep = 90d`, `keep = 2GB`, `keep = 90d, 2GB` or
// `keep = all`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace poshark::tool {

inline constexpr char kDefaultKeep[] = "90d, 2GB";
// Largest number before a unit: ages up to 100000 days, sizes up to 100000 GB.
inline constexpr int64_t kMaxKeepNumber = 100000;

struct Keep {
  int64_t age_ms = 0;  // 0: receipts of any age are kept
  int64_t bytes = 0;   // 0: the journal may grow without a limit
  bool operator==(const Keep&) const = default;
};

// One age (N`h` hours or N`d` days), one size (N`MB` or N`GB`, of 1024 * 1024
// and 1024 * 1024 * 1024 bytes), or one of each separated by a comma; `all`
// for no limit. Units in any case. False for anything else.
bool ParseKeep(std::string_view text, Keep& keep);

// What ParseKeep takes, for messages.
inline constexpr char kKeepExpected[] =
    "an age (such as 90d or 12h), a size (such as 500MB or 2GB), both separated by a comma, "
    "or all";

}  // namespace poshark::tool
