// Text helpers of the poshark tool: code-page decoding for display, base64,
// display-order text, time stamps.
#pragma once

#include <poshark/KeyRecords.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace poshark::tool {

// Decodes bytes of one code page into UTF-8 for display. Bytes the page does
// not map become U+FFFD. Not thread-safe: one decoder per thread.
class Decoder {
 public:
  // Throws std::runtime_error naming the code page when ICU does not know it.
  explicit Decoder(const std::string& codepage);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // C0 control bytes (except tab) are shown as their control pictures
  // (U+2400 + byte), so that printer bytes that reach a line are visible.
  // With pictures false, control characters are kept as they are.
  std::string ToUtf8(std::string_view bytes, bool pictures = true);
  // The same, appended to out.
  void AppendUtf8(std::string& out, std::string_view bytes, bool pictures = true);
  // How many of the first bytes decode to themselves (plain ASCII, shown
  // as it is): those may be copied without the decoder.
  size_t PlainLength(std::string_view bytes, bool pictures = true) const;

  const std::string& Name() const { return name_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string name_;
};

// Appends UTF-8 text as the text output shows it: C0 control characters
// (except tab) and DEL as their control pictures (U+2400 + byte, U+2421),
// as Decoder::AppendUtf8 shows them with pictures.
void AppendWithPictures(std::string& out, std::string_view utf8);
// How many of the first bytes AppendWithPictures copies as they are.
size_t ShownLength(std::string_view utf8);

// Every byte is below 0x80.
bool IsAscii(std::string_view text);

// Font character set that goes with a code page, as the colour-key catcher
// expects it: 177 for Hebrew pages, 178 for Arabic pages, 0 otherwise.
uint32_t CharsetForCodepage(const std::string& codepage);

std::string Base64(std::string_view bytes);
void AppendBase64(std::string& out, std::string_view bytes);

// A line printed left to right in display order (as POS software sends
// Hebrew and Arabic to a printer), given back in logical order: ICU's
// inverse reordering, mirrored characters put back. UTF-8 in and out.
std::string LogicalOrder(std::string_view utf8);

// The text holds a right-to-left letter (Hebrew, Arabic, ...). UTF-8.
bool HasRightToLeft(std::string_view utf8);

// A colour as "#rrggbb"; red is the low byte of rgb.
std::string HexColour(uint32_t rgb);

// "2024-03-14 09:41:02.123"
std::string FormatLocalTime(const SYSTEMTIME& st);
// The same written to buf, which holds kLocalTimeRoom bytes; answers the
// length written (no NUL).
inline constexpr size_t kLocalTimeRoom = 64;
size_t WriteLocalTime(char* buf, const SYSTEMTIME& st);

// ISO 8601 with milliseconds and UTC offset, "2024-03-14T09:41:02.123+01:00".
// The offset is the local zone's at that time, with the DST flag deciding an
// ambiguous hour.
std::string FormatIsoTime(const SYSTEMTIME& st, bool dst);
// The same written to buf, which holds kIsoTimeRoom bytes; answers the
// length written (no NUL).
inline constexpr size_t kIsoTimeRoom = kLocalTimeRoom + 8;
size_t WriteIsoTime(char* buf, const SYSTEMTIME& st, bool dst);

// The local time of milliseconds since the epoch, and whether DST was in
// force then: EpochMs the other way.
void LocalTimeOf(int64_t epoch_ms, SYSTEMTIME& time, bool& dst);
// The ISO 8601 text of such a count, local time with the zone's offset at
// that instant, as FormatIsoTime writes it.
std::string IsoTimeOf(int64_t epoch_ms);

// Milliseconds since the epoch of a local time; dst settles the hour that
// occurs twice.
int64_t EpochMs(const SYSTEMTIME& time, bool dst);

}  // namespace poshark::tool
