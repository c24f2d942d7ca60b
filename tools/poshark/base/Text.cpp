#include "base/Text.h"

#include <unicode/ubidi.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace poshark::tool {

struct Decoder::Impl {
  UConverter* conv = nullptr;
  // Every byte below 0x80 is the character of the same number wherever a
  // character may start: such bytes need no converter.
  bool ascii = false;
  // The converter has read bytes since its last reset: most lines are plain
  // text that never reaches it, and a reset costs as much as the line.
  bool used = false;
};

namespace {

// A converter without shift states whose bytes below 0x80 each convert to
// themselves.
bool KeepsAscii(UConverter* conv) {
  switch (ucnv_getType(conv)) {
    case UCNV_SBCS:
    case UCNV_MBCS:
    case UCNV_LATIN_1:
    case UCNV_UTF8:
    case UCNV_US_ASCII:
      break;
    default:
      return false;
  }
  for (int b = 0; b < 0x80; ++b) {
    const char by = static_cast<char>(b);
    UChar out[4];
    UErrorCode status = U_ZERO_ERROR;
    ucnv_reset(conv);
    int32_t n = ucnv_toUChars(conv, out, 4, &by, 1, &status);
    if (U_FAILURE(status) || n != 1 || out[0] != b) return false;
  }
  ucnv_reset(conv);
  return true;
}

}  // namespace

Decoder::Decoder(const std::string& codepage) : impl_(std::make_unique<Impl>()), name_(codepage) {
  UErrorCode status = U_ZERO_ERROR;
  impl_->conv = ucnv_open(codepage.c_str(), &status);
  if (U_FAILURE(status) || impl_->conv == nullptr) {
    throw std::runtime_error("unknown code page '" + codepage + "'");
  }
  impl_->ascii = KeepsAscii(impl_->conv);
}

Decoder::~Decoder() {
  if (impl_->conv != nullptr) ucnv_close(impl_->conv);
}

namespace {

void AppendCodePoint(std::string& out, UChar32 cp) {
  char buf[U8_MAX_LENGTH];
  int32_t n = 0;
  U8_APPEND_UNSAFE(buf, n, cp);
  out.append(buf, static_cast<size_t>(n));
}

// The length of the run of bytes before the first one that `stops` (bytes
// one by one) stops at. With SSE2, sixteen at a time: `stops16` answers the
// mask of the stopping bytes of sixteen.
template <class Stops, class Stops16>
size_t RunBefore(const char* src, const char* end, Stops stops, [[maybe_unused]] Stops16 stops16) {
  const char* p = src;
#if defined(__SSE2__)
  if (end - src >= 16) {
    for (; end - p >= 16; p += 16) {
      if (const unsigned mask = stops16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))) {
        return static_cast<size_t>(p - src) + static_cast<unsigned>(std::countr_zero(mask));
      }
    }
    // The last bytes: the last sixteen, without those tested already.
    const auto left = static_cast<unsigned>(end - p);
    const unsigned mask =
        stops16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16))) >> (16 - left);
    return static_cast<size_t>(p - src) +
           (mask != 0 ? static_cast<unsigned>(std::countr_zero(mask)) : left);
  }
#endif
  while (p < end && !stops(static_cast<unsigned char>(*p))) ++p;
  return static_cast<size_t>(p - src);
}

#if defined(__SSE2__)
using Bytes16 = __m128i;
#else
using Bytes16 = int;  // not used without SSE2
#endif

// Bytes shown as they are: printable ASCII, and with pictures off every
// byte below 0x80.
size_t PlainRun(const char* src, const char* end, bool pictures) {
  return RunBefore(
      src, end,
      [pictures](unsigned char by) {
        return by >= 0x80 || (pictures && (by < 0x20 || by == 0x7F));
      },
      [pictures]([[maybe_unused]] Bytes16 v) -> unsigned {
#if defined(__SSE2__)
        // A byte of 0x80 or more is negative as a signed byte, so that with
        // pictures one test below 0x20 finds it too.
        const __m128i stops = pictures ? _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                                      _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)))
                                       : v;
        return static_cast<unsigned>(_mm_movemask_epi8(stops));
#else
        return 0;
#endif
      });
}

// Bytes of UTF-8 text shown as they are: all but C0 controls and DEL (a
// tab stops the run too; it is kept by the caller).
size_t ShownRun(const char* src, const char* end) {
  return RunBefore(
      src, end, [](unsigned char by) { return by < 0x20 || by == 0x7F; },
      []([[maybe_unused]] Bytes16 v) -> unsigned {
#if defined(__SSE2__)
        // Bytes of 0x80 or more are negative: below 0x20 only when not.
        const __m128i c0 = _mm_and_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                         _mm_cmpgt_epi8(v, _mm_set1_epi8(-1)));
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(c0, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)))));
#else
        return 0;
#endif
      });
}

}  // namespace

size_t Decoder::PlainLength(std::string_view bytes, bool pictures) const {
  return impl_->ascii ? PlainRun(bytes.data(), bytes.data() + bytes.size(), pictures) : 0;
}

std::string Decoder::ToUtf8(std::string_view bytes, bool pictures) {
  std::string out;
  AppendUtf8(out, bytes, pictures);
  return out;
}

void Decoder::AppendUtf8(std::string& out, std::string_view bytes, bool pictures) {
  // Room for a text that is mostly ASCII, asked for only when it is not
  // there: most rows are appended to a buffer that has it.
  const size_t room = bytes.size() + bytes.size() / 2;
  if (out.capacity() - out.size() < room) out.reserve(out.size() + room);
  if (impl_->used) {
    ucnv_reset(impl_->conv);
    impl_->used = false;
  }
  const char* src = bytes.data();
  const char* end = src + bytes.size();
  while (src < end) {
    if (impl_->ascii) {
      size_t n = PlainRun(src, end, pictures);
      out.append(src, n);
      src += n;
      if (src == end) break;
    }
    UChar32 c;
    if (impl_->ascii && static_cast<unsigned char>(*src) < 0x80) {
      c = static_cast<unsigned char>(*src++);
    } else {
      UErrorCode status = U_ZERO_ERROR;
      impl_->used = true;
      c = ucnv_getNextUChar(impl_->conv, &src, end, &status);
      if (U_FAILURE(status)) {
        if (status == U_INDEX_OUTOFBOUNDS_ERROR) break;
        c = 0xFFFD;
      }
    }
    if (pictures && c >= 0 && c < 0x20 && c != '\t') c = 0x2400 + c;
    if (pictures && c == 0x7F) c = 0x2421;
    AppendCodePoint(out, c);
  }
}

void AppendWithPictures(std::string& out, std::string_view utf8) {
  const char* p = utf8.data();
  const char* end = p + utf8.size();
  while (p < end) {
    const size_t n = ShownRun(p, end);
    out.append(p, n);
    p += n;
    if (p == end) break;
    const auto by = static_cast<unsigned char>(*p++);
    if (by == '\t') {
      out += '\t';
    } else {
      AppendCodePoint(out, by == 0x7F ? 0x2421 : 0x2400 + by);
    }
  }
}

size_t ShownLength(std::string_view utf8) {
  return ShownRun(utf8.data(), utf8.data() + utf8.size());
}

bool IsAscii(std::string_view text) {
  return PlainRun(text.data(), text.data() + text.size(), false) == text.size();
}

uint32_t CharsetForCodepage(const std::string& codepage) {
  std::string n;
  for (char c : codepage) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  if (n == "windows1255" || n == "cp1255" || n == "ibm862" || n == "cp862" || n == "iso88598" ||
      n == "hebrew") {
    return 177;
  }
  if (n == "windows1256" || n == "cp1256" || n == "ibm864" || n == "cp864" || n == "iso88596" ||
      n == "arabic") {
    return 178;
  }
  return 0;
}

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12 bits: three bytes are written in two looks.
constexpr std::array<std::array<char, 2>, 4096> Base64Pairs() {
  std::array<std::array<char, 2>, 4096> pairs{};
  for (size_t v = 0; v < pairs.size(); ++v) pairs[v] = {kBase64[v >> 6], kBase64[v & 63]};
  return pairs;
}
constexpr auto kBase64Pairs = Base64Pairs();

}  // namespace

void AppendBase64(std::string& out, std::string_view bytes) {
  // Written in place: every JSON row has one, most a few dozen bytes long.
  const size_t start = out.size();
  out.resize(start + (bytes.size() + 2) / 3 * 4);
  char* to = out.data() + start;
  const auto* from = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3, to += 4) {
    const uint32_t v = from[i] << 16 | from[i + 1] << 8 | from[i + 2];
    std::memcpy(to, kBase64Pairs[v >> 12].data(), 2);
    std::memcpy(to + 2, kBase64Pairs[v & 0xFFF].data(), 2);
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = from[i] << 16;
    if (rest == 2) v |= from[i + 1] << 8;
    to[0] = kBase64[v >> 18];
    to[1] = kBase64[(v >> 12) & 63];
    to[2] = rest == 2 ? kBase64[(v >> 6) & 63] : '=';
    to[3] = '=';
  }
}

std::string Base64(std::string_view bytes) {
  std::string out;
  AppendBase64(out, bytes);
  return out;
}

std::string HexColour(uint32_t rgb) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", rgb & 0xFF, (rgb >> 8) & 0xFF,
                (rgb >> 16) & 0xFF);
  return buf;
}

size_t WriteLocalTime(char* buf, const SYSTEMTIME& st) {
  // Every line has a time stamp: the usual case is written digit by digit,
  // anything out of its field's width as printf writes it.
  if (st.wYear > 9999 || st.wMonth > 99 || st.wDay > 99 || st.wHour > 99 || st.wMinute > 99 ||
      st.wSecond > 99 || st.wMilliseconds > 999) {
    int n = std::snprintf(buf, kLocalTimeRoom, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear,
                          st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return std::min(static_cast<size_t>(std::max(n, 0)), kLocalTimeRoom - 1);
  }
  static constexpr char kZero[] = "0000-00-00 00:00:00.000";
  auto put = [](char* to, size_t end, unsigned value) {
    for (size_t i = end; value != 0; value /= 10) to[--i] = static_cast<char>('0' + value % 10);
  };
  // The lines of one second share all but the milliseconds.
  thread_local std::array<uint16_t, 6> last{};
  thread_local char second[sizeof kZero] = "";
  const std::array<uint16_t, 6> now = {st.wYear, st.wMonth,  st.wDay,
                                       st.wHour, st.wMinute, st.wSecond};
  if (second[0] == '\0' || now != last) {
    std::memcpy(second, kZero, sizeof kZero);
    put(second, 4, st.wYear);
    put(second, 7, st.wMonth);
    put(second, 10, st.wDay);
    put(second, 13, st.wHour);
    put(second, 16, st.wMinute);
    put(second, 19, st.wSecond);
    last = now;
  }
  std::memcpy(buf, second, sizeof kZero - 1);
  const unsigned ms = st.wMilliseconds;  // 999 at most, checked above
  buf[20] = static_cast<char>('0' + ms / 100);
  buf[21] = static_cast<char>('0' + ms / 10 % 10);
  buf[22] = static_cast<char>('0' + ms % 10);
  return sizeof kZero - 1;
}

std::string FormatLocalTime(const SYSTEMTIME& st) {
  char buf[kLocalTimeRoom];
  return std::string(buf, WriteLocalTime(buf, st));
}

namespace {

// A local wall-clock time as the C library's broken-down time.
std::tm BrokenDown(const SYSTEMTIME& st, int isdst) {
  std::tm tm{};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  tm.tm_isdst = isdst;
  return tm;
}

// mktime of a local wall-clock time with a DST hint (-1, 0 or 1). mktime
// looks at the zone file at every call and lines come many to a second, so
// each thread keeps the last second asked with each hint.
std::time_t LocalToEpoch(const SYSTEMTIME& st, int isdst) {
  struct Memo {
    std::array<uint16_t, 6> when{};
    std::time_t epoch = -1;
    bool known = false;
  };
  thread_local std::array<Memo, 3> memos;
  Memo& memo = memos[static_cast<size_t>(std::clamp(isdst, -1, 1) + 1)];
  const std::array<uint16_t, 6> when = {st.wYear, st.wMonth,  st.wDay,
                                        st.wHour, st.wMinute, st.wSecond};
  if (!memo.known || memo.when != when) {
    std::tm tm = BrokenDown(st, isdst);
    memo = {when, std::mktime(&tm), true};
  }
  return memo.epoch;
}

// UTC offset of a local wall-clock time, in seconds, when it is read with the
// given DST hint; false when the hint does not fit that wall-clock time.
bool OffsetOf(const SYSTEMTIME& st, int isdst, long& offset, bool& dst_out) {
  std::time_t t = LocalToEpoch(st, isdst);
  if (t == static_cast<std::time_t>(-1)) return false;
  // The broken-down time of the last second asked, kept as mktime's answer
  // is: every JSON row asks it at least once.
  thread_local std::time_t last = -1;
  thread_local std::tm back{};
  thread_local bool known = false;
  if (t != last) {
    known = localtime_r(&t, &back) != nullptr;
    last = t;
  }
  if (!known) return false;
  if (back.tm_hour != st.wHour || back.tm_min != st.wMinute || back.tm_mday != st.wDay) {
    return false;
  }
  offset = back.tm_gmtoff;
  dst_out = back.tm_isdst > 0;
  return true;
}

// "+hh:mm" or "-hh:mm".
constexpr size_t kOffsetLength = 6;

// An offset from UTC in seconds as ISO 8601 writes it.
void WriteOffsetText(char* buf, long offset) {
  // A zone's offset is under a day, so its hours have two digits.
  long a = std::min(offset < 0 ? -offset : offset, 99 * 3600L + 59 * 60);
  const long hours = a / 3600;
  const long minutes = (a / 60) % 60;
  const char text[kOffsetLength] = {offset < 0 ? '-' : '+',
                                    static_cast<char>('0' + hours / 10),
                                    static_cast<char>('0' + hours % 10),
                                    ':',
                                    static_cast<char>('0' + minutes / 10),
                                    static_cast<char>('0' + minutes % 10)};
  std::memcpy(buf, text, sizeof text);
}

// The UTC offset of a local wall-clock time as ISO 8601 writes it.
void WriteOffset(char* buf, const SYSTEMTIME& st, bool dst) {
  long offset = 0;
  bool zone_dst = false;
  long hinted = 0;
  bool hinted_dst = false;
  // The zone decides; the record's flag only settles the hour that occurs
  // twice when the clocks go back.
  if (OffsetOf(st, -1, offset, zone_dst) && zone_dst != dst &&
      OffsetOf(st, dst ? 1 : 0, hinted, hinted_dst) && hinted_dst == dst) {
    offset = hinted;
  }
  WriteOffsetText(buf, offset);
}

}  // namespace

size_t WriteIsoTime(char* buf, const SYSTEMTIME& st, bool dst) {
  // Every JSON row has one: written without printf, the local time as the
  // text rows show it with 'T' for the space, then the offset, which the
  // rows of one second share.
  thread_local std::array<uint16_t, 7> last{};
  thread_local char offset[kOffsetLength] = {};
  const std::array<uint16_t, 7> now = {st.wYear,   st.wMonth,  st.wDay,          st.wHour,
                                       st.wMinute, st.wSecond, uint16_t(dst + 1)};
  if (now != last) {
    WriteOffset(offset, st, dst);
    last = now;
  }
  size_t n = WriteLocalTime(buf, st);
  if (auto* space = static_cast<char*>(std::memchr(buf, ' ', n))) *space = 'T';
  std::memcpy(buf + n, offset, sizeof offset);
  return n + sizeof offset;
}

std::string FormatIsoTime(const SYSTEMTIME& st, bool dst) {
  char buf[kIsoTimeRoom];
  return std::string(buf, WriteIsoTime(buf, st, dst));
}

namespace {

// The local time of a count of milliseconds, with the zone's answer.
std::tm LocalTm(int64_t epoch_ms, SYSTEMTIME& st) {
  const auto seconds = static_cast<std::time_t>(epoch_ms / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  st = SYSTEMTIME{};
  st.wYear = static_cast<uint16_t>(tm.tm_year + 1900);
  st.wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
  st.wDay = static_cast<uint16_t>(tm.tm_mday);
  st.wHour = static_cast<uint16_t>(tm.tm_hour);
  st.wMinute = static_cast<uint16_t>(tm.tm_min);
  st.wSecond = static_cast<uint16_t>(tm.tm_sec);
  st.wMilliseconds = static_cast<uint16_t>(epoch_ms % 1000);
  return tm;
}

}  // namespace

void LocalTimeOf(int64_t epoch_ms, SYSTEMTIME& st, bool& dst) {
  dst = LocalTm(epoch_ms, st).tm_isdst > 0;
}

std::string IsoTimeOf(int64_t epoch_ms) {
  // The zone's own offset of that instant: no look-up of a wall-clock time.
  SYSTEMTIME st{};
  const std::tm tm = LocalTm(epoch_ms, st);
  char buf[kIsoTimeRoom];
  size_t n = WriteLocalTime(buf, st);
  if (auto* space = static_cast<char*>(std::memchr(buf, ' ', n))) *space = 'T';
  WriteOffsetText(buf + n, tm.tm_gmtoff);
  return std::string(buf, n + kOffsetLength);
}

int64_t EpochMs(const SYSTEMTIME& time, bool dst) {
  return static_cast<int64_t>(LocalToEpoch(time, dst ? 1 : 0)) * 1000 + time.wMilliseconds;
}

bool HasRightToLeft(std::string_view utf8) {
  const auto length = static_cast<int32_t>(utf8.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(utf8.data(), i, length, c);
    UCharDirection d = u_charDirection(c < 0 ? 0xFFFD : c);
    if (d == U_RIGHT_TO_LEFT || d == U_RIGHT_TO_LEFT_ARABIC) return true;
  }
  return false;
}

std::string LogicalOrder(std::string_view utf8) {
  if (utf8.empty()) return "";
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8WithSub(nullptr, 0, &length, utf8.data(), static_cast<int32_t>(utf8.size()), 0xFFFD,
                       nullptr, &status);
  std::vector<UChar> display(static_cast<size_t>(length) + 1);
  status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(display.data(), length + 1, nullptr, utf8.data(),
                       static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
  std::vector<UChar> logical(static_cast<size_t>(length) * 2 + 1);
  UBiDi* bidi = ubidi_open();
  if (bidi == nullptr) return std::string(utf8);
  // The line was printed left to right in display order: the inverse
  // algorithm gives back the order in which it was typed.
  ubidi_setReorderingMode(bidi, UBIDI_REORDER_INVERSE_NUMBERS_AS_L);
  ubidi_setPara(bidi, display.data(), length, UBIDI_LTR, nullptr, &status);
  int32_t written = ubidi_writeReordered(bidi, logical.data(), static_cast<int32_t>(logical.size()),
                                         UBIDI_DO_MIRRORING, &status);
  ubidi_close(bidi);
  if (U_FAILURE(status)) return std::string(utf8);
  std::string out(static_cast<size_t>(written) * 3 + 1, '\0');
  int32_t bytes = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &bytes, logical.data(), written,
              &status);
  if (U_FAILURE(status)) return std::string(utf8);
  out.resize(static_cast<size_t>(bytes));
  return out;
}

}  // namespace poshark::tool
