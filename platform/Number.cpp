#include "platform/Number.h"

#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace poshark::platform {

namespace {

// Locale objects are created once and kept for the life of the process;
// newlocale's results are safe to share between threads.
locale_t UserNumericLocale() {
  static const locale_t loc = [] {
    locale_t l = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0)) {
      l = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    }
    return l;
  }();
  return loc;
}

locale_t CNumericLocale() {
  static const locale_t loc = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool LocaleTextToFloat(const char* pszText, float* pfValue) {
  if (pszText == nullptr || pfValue == nullptr) {
    return false;
  }
  const char* p = pszText;
  while (IsBlank(*p)) {
    ++p;
  }
  if (*p == '\0') {
    return false;
  }
  // strtof also takes hexadecimal floats, "inf" and "nan"; a number typed by
  // a person in a settings file is none of these. An exponent is fine.
  for (const char* q = p; *q != '\0'; ++q) {
    char c = *q;
    bool bLetter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (bLetter && c != 'e' && c != 'E') {
      return false;
    }
  }
  locale_t loc = UserNumericLocale();
  if (loc == static_cast<locale_t>(0)) {
    return false;
  }
  char* pEnd = nullptr;
  errno = 0;
  float f = strtof_l(p, &pEnd, loc);
  if (pEnd == p || errno == ERANGE || !std::isfinite(f)) {
    return false;
  }
  while (IsBlank(*pEnd)) {
    ++pEnd;
  }
  if (*pEnd != '\0') {
    return false;
  }
  *pfValue = f;
  return true;
}

double AtofC(const char* pszText) {
  if (pszText == nullptr) {
    return 0.0;
  }
  locale_t loc = CNumericLocale();
  if (loc == static_cast<locale_t>(0)) {
    return 0.0;
  }
  return strtod_l(pszText, nullptr, loc);
}

}  // namespace poshark::platform

namespace poshark::platform {

std::string LocaleFloatToText(float fValue) {
  if (!std::isfinite(fValue)) {
    return std::string();
  }
  locale_t loc = UserNumericLocale();
  locale_t old = loc != static_cast<locale_t>(0) ? uselocale(loc) : static_cast<locale_t>(0);
  char szText[64] = {};
  for (int nDigits = 6; nDigits <= 9; ++nDigits) {
    std::snprintf(szText, sizeof szText, "%.*g", nDigits, static_cast<double>(fValue));
    if (loc == static_cast<locale_t>(0) || strtof_l(szText, nullptr, loc) == fValue) {
      break;
    }
  }
  if (old != static_cast<locale_t>(0)) {
    uselocale(old);
  }
  return szText;
}

}  // namespace poshark::platform
