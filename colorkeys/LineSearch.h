// Searching colour keys in one line: daily catch windows and a substring
// search that honours the characters of the configured code page.
#pragma once

#include <poshark/KeyRecords.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace poshark::platform {
class CodePage;
}

namespace poshark::colorkeys {

// hour * 60 + minute in 16-bit unsigned arithmetic, as the catch windows
// compare them.
uint16_t MinuteOfDay(const SYSTEMTIME& st);

// A window [nStart, nEnd) of minutes since midnight. When nEnd < nStart the
// window runs across midnight. A window whose start equals its end is never
// open.
bool IsInCatchWindow(uint16_t nStart, uint16_t nEnd, uint16_t nNow);

// One line prepared for repeated searches: where its characters start is
// worked out once, from the first byte, so that no occurrence is reported at
// the second byte of a double-byte character, whatever position a search
// resumes from.
class LineSearch {
 public:
  // Takes the line (not copied: it must outlive the searches) and the code
  // page whose characters count; page null or single-byte: every byte starts
  // a character. The character-start buffer is kept across Reset calls.
  void Reset(std::string_view line, const platform::CodePage* page);

  // Byte position of the first occurrence of needle that starts at or after
  // nFrom and on a character start; npos when there is none or the needle is
  // empty.
  std::size_t Find(std::string_view needle, std::size_t nFrom) const;

  std::string_view Line() const { return line_; }

 private:
  std::string_view line_;
  bool all_starts_ = true;
  std::vector<uint8_t> starts_;
};

}  // namespace poshark::colorkeys
