#include "settings/JournalKeep.h"

#include <strings.h>

#include "base/Usage.h"

namespace poshark::tool {

namespace {

constexpr int64_t kHourMs = 3600LL * 1000;
constexpr int64_t kMegabyte = 1024LL * 1024;

struct Unit {
  const char* name;
  int64_t scale;
  bool age;
};
constexpr Unit kUnits[] = {{"h", kHourMs, true},
                           {"d", 24 * kHourMs, true},
                           {"MB", kMegabyte, false},
                           {"GB", 1024 * kMegabyte, false}};

// One item: a number from 1 and a unit right after it.
bool ParseItem(std::string_view item, Keep& keep) {
  size_t digits = 0;
  while (digits < item.size() && item[digits] >= '0' && item[digits] <= '9') ++digits;
  long n = 0;
  if (!ParseNumberIn(item.substr(0, digits), 1, kMaxKeepNumber, n)) return false;
  std::string unit(item.substr(digits));
  for (const Unit& u : kUnits) {
    if (strcasecmp(unit.c_str(), u.name) != 0) continue;
    int64_t& slot = u.age ? keep.age_ms : keep.bytes;
    if (slot != 0) return false;  // a second age or a second size
    slot = n * u.scale;
    return true;
  }
  return false;
}

}  // namespace

bool ParseKeep(std::string_view text, Keep& keep) {
  text = Trim(text);
  if (text.size() == 3 && strncasecmp(text.data(), "all", 3) == 0) {
    keep = Keep{};
    return true;
  }
  Keep parsed;
  size_t comma = text.find(',');
  if (!ParseItem(Trim(text.substr(0, comma)), parsed)) return false;
  if (comma != std::string_view::npos && !ParseItem(Trim(text.substr(comma + 1)), parsed)) {
    return false;
  }
  keep = parsed;
  return true;
}

}  // namespace poshark::tool
