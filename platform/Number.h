// Text-to-number conversions with a fixed notion of the decimal point.
#pragma once

#include <string>

namespace poshark::platform {

// Converts pszText to a 4-byte real the way the user's locale writes numbers
// (LC_NUMERIC of the environment, read once): blanks around the number are
// accepted, any other text before or after it is refused. Also refuses an
// empty text, a value outside the float range, and null arguments.
// Thread-safe.
bool LocaleTextToFloat(const char* pszText, float* pfValue);

// atof with "." as the decimal point whatever the process locale: leading
// blanks skipped, conversion stops at the first character that does not fit,
// 0 when nothing converts. Null gives 0. Thread-safe.
double AtofC(const char* pszText);

}  // namespace poshark::platform

namespace poshark::platform {

// Writes fValue the way the user's locale writes numbers (the counterpart
// of LocaleTextToFloat, shortest form that reads back to the same float).
// Empty for a value that is not finite.
std::string LocaleFloatToText(float fValue);

}  // namespace poshark::platform
