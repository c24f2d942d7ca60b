#include "base/JsonText.h"

#include <unicode/utf8.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "base/ByteWords.h"

namespace poshark::tool {

namespace {

// What an ASCII byte becomes inside a JSON string: 0 itself, 1 a
// two-character escape, 2 a \u00XX escape.
constexpr std::array<uint8_t, 128> EscapeKinds() {
  std::array<uint8_t, 128> kinds{};
  for (int c = 0; c < 0x20; ++c) kinds[c] = 2;
  for (char c : {'\b', '\t', '\n', '\f', '\r', '"', '\\'}) kinds[static_cast<uint8_t>(c)] = 1;
  return kinds;
}
constexpr auto kEscapeKind = EscapeKinds();

char ShortEscape(char c) {
  switch (c) {
    case '\b':
      return 'b';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\f':
      return 'f';
    case '\r':
      return 'r';
    default:
      return c;  // '"' and '\\'
  }
}

void AppendEscape(std::string& out, char c) {
  if (kEscapeKind[static_cast<uint8_t>(c)] == 1) {
    const char escape[] = {'\\', ShortEscape(c)};
    out.append(escape, sizeof escape);
    return;
  }
  static const char kHex[] = "0123456789abcdef";
  const char escape[] = {'\\', 'u', '0', '0', kHex[(c >> 4) & 0xF], kHex[c & 0xF]};
  out.append(escape, sizeof escape);
}

// Eight bytes that are all copied as they are: ASCII, no control
// character, no quote, no backslash.
bool PlainWord(const char* p) {
  const uint64_t x = LoadWord(p);
  return (AnyHigh(x) | AnyBelow(x, 0x20) | AnyEqual(x, '"') | AnyEqual(x, '\\')) == 0;
}

// The library's own writing, kept for what the fast path does not take.
void AppendByLibrary(std::string& out, std::string_view text) {
  out += nlohmann::json(std::string(text))
             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  if (text.size() > static_cast<size_t>(INT32_MAX)) {
    AppendByLibrary(out, text);
    return;
  }
  const size_t start = out.size();
  out += '"';
  const auto length = static_cast<int32_t>(text.size());
  int32_t run = 0;  // first byte not yet appended
  for (int32_t i = 0; i < length;) {
    if (i + 8 <= length && PlainWord(text.data() + i)) {
      i += 8;
      continue;
    }
    const auto byte = static_cast<uint8_t>(text[static_cast<size_t>(i)]);
    if (byte < 0x80) {
      if (kEscapeKind[byte] != 0) {
        out.append(text.data() + run, static_cast<size_t>(i - run));
        AppendEscape(out, static_cast<char>(byte));
        run = i + 1;
      }
      ++i;
      continue;
    }
    UChar32 c = 0;
    U8_NEXT(text.data(), i, length, c);
    if (c < 0) {
      // Ill-formed UTF-8 is replaced as the journal and the page replace it:
      // rare, as decoded text is well formed.
      out.resize(start);
      AppendByLibrary(out, text);
      return;
    }
  }
  out.append(text.data() + run, static_cast<size_t>(length - run));
  out += '"';
}

void AppendJsonNumber(std::string& out, int64_t value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, end);
}

}  // namespace poshark::tool
