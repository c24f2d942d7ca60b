#include "Text.h"

#include <unicode/ubidi.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <vector>

namespace poshark::tool {

struct Decoder::Impl {
  UConverter* conv = nullptr;
};

Decoder::Decoder(const std::string& codepage) : impl_(std::make_unique<Impl>()), name_(codepage) {
  UErrorCode status = U_ZERO_ERROR;
  impl_->conv = ucnv_open(codepage.c_str(), &status);
  if (U_FAILURE(status) || impl_->conv == nullptr) {
    throw std::runtime_error("unknown code page '" + codepage + "'");
  }
}

Decoder::~Decoder() {
  if (impl_->conv != nullptr) ucnv_close(impl_->conv);
}

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string Decoder::ToUtf8(std::string_view bytes, bool pictures) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  ucnv_reset(impl_->conv);
  const char* src = bytes.data();
  const char* end = src + bytes.size();
  while (src < end) {
    UErrorCode status = U_ZERO_ERROR;
    UChar32 c = ucnv_getNextUChar(impl_->conv, &src, end, &status);
    if (U_FAILURE(status)) {
      if (status == U_INDEX_OUTOFBOUNDS_ERROR) break;
      c = 0xFFFD;
    }
    if (pictures && c >= 0 && c < 0x20 && c != '\t') c = 0x2400 + c;
    if (pictures && c == 0x7F) c = 0x2421;
    AppendUtf8(out, static_cast<uint32_t>(c));
  }
  return out;
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

std::string Base64(std::string_view bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                 static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string FormatLocalTime(const SYSTEMTIME& st) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
  return buf;
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

// UTC offset of a local wall-clock time, in seconds, when it is read with the
// given DST hint; false when the hint does not fit that wall-clock time.
bool OffsetOf(const SYSTEMTIME& st, int isdst, long& offset, bool& dst_out) {
  std::tm tm = BrokenDown(st, isdst);
  std::time_t t = std::mktime(&tm);
  std::tm back{};
  if (t == static_cast<std::time_t>(-1) || localtime_r(&t, &back) == nullptr) return false;
  if (back.tm_hour != st.wHour || back.tm_min != st.wMinute || back.tm_mday != st.wDay) {
    return false;
  }
  offset = back.tm_gmtoff;
  dst_out = back.tm_isdst > 0;
  return true;
}

}  // namespace

std::string FormatIsoTime(const SYSTEMTIME& st, bool dst) {
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
  char sign = offset < 0 ? '-' : '+';
  long a = offset < 0 ? -offset : offset;
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02ld:%02ld", st.wYear,
                st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, sign,
                a / 3600, (a / 60) % 60);
  return buf;
}

int64_t EpochMs(const SYSTEMTIME& time, bool dst) {
  std::tm tm = BrokenDown(time, dst ? 1 : 0);
  return static_cast<int64_t>(std::mktime(&tm)) * 1000 + time.wMilliseconds;
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
