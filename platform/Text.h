// Small text helpers shared by every module: ASCII case-insensitive
// comparison and decimal parsing with one saturation rule.
#pragma once

#include <string_view>

namespace poshark::platform {

// ASCII letters compared without case; other bytes compared as they are.
bool EqualNoCase(std::string_view a, std::string_view b);

// Orders a before b comparing ASCII letters without case; names equal that
// way fall back to byte order, so the order is total and stable.
bool LessNoCase(std::string_view a, std::string_view b);

// True when text ends with suffix, compared without case (".ini", ".so").
bool EndsWithNoCase(std::string_view text, std::string_view suffix);

// Decimal as the C library's atoi reads it: leading blanks, an optional
// sign, digits; anything after them is ignored and no digits give 0. A value
// beyond the int range saturates at INT_MIN / INT_MAX instead of
// overflowing. *pnUsed (when given) receives the number of characters read,
// 0 when no digit was found.
int ParseDecimal(std::string_view text, size_t* pnUsed = nullptr);

// As ParseDecimal, but the whole text (blanks around it aside) must be one
// decimal number: false, and *pnValue untouched, otherwise.
bool ParseWholeDecimal(std::string_view text, int* pnValue);

}  // namespace poshark::platform
