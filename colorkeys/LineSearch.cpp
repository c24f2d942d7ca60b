#include "colorkeys/LineSearch.h"

#include "platform/CodePage.h"

namespace poshark::colorkeys {

uint16_t MinuteOfDay(const SYSTEMTIME& st) {
  return static_cast<uint16_t>(st.wHour * 60u + st.wMinute);
}

bool IsInCatchWindow(uint16_t nStart, uint16_t nEnd, uint16_t nNow) {
  if (nEnd >= nStart) return nStart <= nNow && nNow < nEnd;
  return nNow >= nStart || nNow < nEnd;
}

void LineSearch::Reset(std::string_view line, const platform::CodePage* page) {
  line_ = line;
  all_starts_ = page == nullptr || page->MaxCharSize() == 1;
  if (!all_starts_) page->CharacterStarts(line, &starts_);
}

std::size_t LineSearch::Find(std::string_view needle, std::size_t nFrom) const {
  if (needle.empty()) return std::string_view::npos;
  for (std::size_t pos = line_.find(needle, nFrom); pos != std::string_view::npos;
       pos = line_.find(needle, pos + 1)) {
    if (all_starts_ || starts_[pos]) return pos;
  }
  return std::string_view::npos;
}

}  // namespace poshark::colorkeys
