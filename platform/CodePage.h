// Code pages and display order, on ICU.
//
// The "ANSI code page" of the process is the ICU converter named by the
// environment variable POSHARK_CODEPAGE (default windows-1252). Double-byte
// pages such as windows-936 work: conversions produce one or two bytes per
// character, and text searches can ask where characters start.
//
// Thread safety: every function and every CodePage member may be called from
// any thread at once. CodePage objects are created once per name and live
// until the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace poshark::platform {

inline constexpr const char* kDefaultCodePage = "windows-1252";

// Font character sets whose text is written right to left.
inline constexpr uint32_t kHebrewCharset = 177;
inline constexpr uint32_t kArabicCharset = 178;

class CodePage {
 public:
  // The page of that ICU name, or null when ICU does not know it.
  static const CodePage* Get(const std::string& name);
  // The configured ANSI page: POSHARK_CODEPAGE, else windows-1252. Falls back
  // to windows-1252 when the configured name is unknown. Never null.
  static const CodePage* Ansi();

  ~CodePage();
  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;

  const std::string& Name() const { return name_; }
  // Longest character of the page, in bytes (1 for single-byte pages).
  int MaxCharSize() const { return max_char_size_; }

  // Converts one UTF-16 code unit. A character the page lacks becomes the
  // substitution character '?' (as Windows pages do); a lone surrogate too.
  // Answers the number of bytes written to pOut (at most nOutSize), 0 for the
  // unit 0 or when the bytes do not fit.
  int FromUnicode(char16_t wChar, unsigned char* pOut, int nOutSize) const;
  std::string FromUnicode(std::u16string_view text) const;

  // Page bytes to UTF-16 / UTF-8. Malformed or unassigned bytes become
  // U+FFFD or the page's replacement; nothing is dropped silently.
  std::u16string ToUnicode(std::string_view bytes) const;
  std::string ToUtf8(std::string_view bytes) const;

  bool IsLeadByte(unsigned char byte) const { return lead_[byte] != 0; }

  // Marks for each byte of text whether a character starts there (1) or the
  // byte continues the character before it (0), walking from text[0].
  // A lead byte followed by a byte that cannot follow it is a character of
  // its own, as is a lead byte at the end of the text.
  void CharacterStarts(std::string_view text, std::vector<uint8_t>* pStarts) const;
  // True when the byte at pos continues a character that starts before it.
  // Walks from the start of the line.
  bool IsTrailingByte(std::string_view line, std::size_t pos) const;

 private:
  struct Impl;
  // The page of that name from the table of pages opened so far, opened and
  // added on first use.
  static const CodePage* Lookup(std::string_view name);
  explicit CodePage(std::string name);
  bool Open();
  // Length in bytes of the character at text[pos] (>= 1).
  std::size_t CharLength(std::string_view text, std::size_t pos) const;

  std::string name_;
  int max_char_size_ = 1;
  uint8_t lead_[256] = {};
  // For double-byte pages: bit (trail) of row (lead) set when lead+trail form
  // one character.
  std::vector<uint64_t> pair_ok_;
  std::unique_ptr<Impl> impl_;
};

// The display order of a right-to-left key: the key's bytes, read in the page
// of the character set (177 Hebrew: windows-1255, 178 Arabic: windows-1256),
// laid out as one line of a left-to-right paragraph (no mirroring, no
// shaping), and given back as the same bytes in the order in which they show
// from left to right. False, with *pOut untouched, for any other character
// set, an empty key, or when the reordering fails.
bool ToDisplayOrder(std::string_view key, uint32_t nCharSet, std::string* pOut);

}  // namespace poshark::platform
